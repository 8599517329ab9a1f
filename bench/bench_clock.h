// Process CPU time and wall time, for the benchmarks' figures.
#pragma once

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <chrono>

#ifdef _WIN32
double cpu_seconds();  // cpu_win32.cpp: windows.h stays out of the benchmarks' own files
#else
inline double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}
#endif

inline double wall_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}
