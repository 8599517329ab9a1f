// The kernel layer's system calls on Windows: QueryPerformanceCounter for the clock, a one-
// millisecond timer resolution for waits and sleeps, thread priorities through SetThreadPriority.
//
// Threads themselves are the standard library's (MinGW-w64's POSIX thread model); they are never
// ended with TerminateThread, which would leave the heap and the layer's lock held and run no
// unwinding: termination stays cooperative, as on every platform.
#include <windows.h>
// windows.h first: mmsystem needs its types.
#include <mmsystem.h>

#include <cstdlib>

#include "platform/kernel/os_hooks.h"

namespace kern::os {

namespace {
int64_t qpc_frequency() {
    static const int64_t f = [] {
        LARGE_INTEGER v;
        QueryPerformanceFrequency(&v);
        return static_cast<int64_t>(v.QuadPart);
    }();
    return f;
}

void end_timer_period() {
    timeEndPeriod(1);
}

// Windows 11 drops a process's timer resolution request while its window is hidden or minimised
// (power throttling) unless the process opts out. Looked up at run time: older systems lack it.
void keep_timer_resolution() {
    using set_info_fn = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
    auto set_info = reinterpret_cast<set_info_fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetProcessInformation")));
    if (!set_info) return;
    PROCESS_POWER_THROTTLING_STATE state{};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask = PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
    state.StateMask = 0;  // controlled, and off: the resolution asked for stays
    set_info(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state);
}
}  // namespace

void init() {
    // Without it waits are rounded up to the 15.6 ms system tick, which slows every paced line.
    keep_timer_resolution();
    if (timeBeginPeriod(1) == TIMERR_NOERROR) std::atexit(end_timer_period);
}

int64_t now_ns() {
    LARGE_INTEGER v;
    QueryPerformanceCounter(&v);
    const int64_t f = qpc_frequency();
    // Whole seconds and the remainder apart, so the product cannot overflow.
    return (v.QuadPart / f) * 1000000000LL + (v.QuadPart % f) * 1000000000LL / f;
}

bool current_native(uintptr_t* native) {
    HANDLE h = OpenThread(THREAD_SET_INFORMATION | THREAD_QUERY_INFORMATION, FALSE, GetCurrentThreadId());
    if (!h) return false;
    *native = reinterpret_cast<uintptr_t>(h);
    return true;
}

bool raise_priority(uintptr_t native) {
    return SetThreadPriority(reinterpret_cast<HANDLE>(native), THREAD_PRIORITY_HIGHEST) != 0;
}

void release_native(uintptr_t native) {
    CloseHandle(reinterpret_cast<HANDLE>(native));
}

}  // namespace kern::os
