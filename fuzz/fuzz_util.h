// Helpers the fuzz targets share: a failed property aborts, so libFuzzer keeps the input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#define FUZZ_CHECK(cond)                                                                     \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

// Splits the input at NUL bytes into at most max_args arguments after argv[0].
struct fuzz_args {
    std::vector<std::string> words;
    std::vector<char*> argv;
    fuzz_args(const char* prog, const uint8_t* data, size_t size, size_t max_args = 24) {
        words.emplace_back(prog);
        std::string cur;
        for (size_t i = 0; i < size && words.size() <= max_args; i++) {
            if (data[i] == 0) {
                words.push_back(cur);
                cur.clear();
            } else {
                cur += static_cast<char>(data[i]);
            }
        }
        if (!cur.empty() && words.size() <= max_args) words.push_back(cur);
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(argv.size()) - 1; }
};
