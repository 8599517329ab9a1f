// Throughput of the receive check: the byte rule against the fast path, on full and random-length reads.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "read.h"
#include "write.h"

namespace {

using namespace zentrel;
using check_fn = void (*)(const uint8_t*, int, chnl_struct*);

void run_check(benchmark::State& state, check_fn fn, bool random_lengths) {
    std::vector<uint8_t> stream(16384 * 4);
    make_pattern(stream.data(), static_cast<int>(stream.size()));
    std::mt19937 rng(1);
    std::vector<int> lengths(1024);
    for (auto& l : lengths) l = random_lengths ? 1 + static_cast<int>(rng() % 16384) : 16384;
    chnl_struct c;
    c.in_nextchar = 32;
    size_t pos = 0, k = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        int len = lengths[k++ % lengths.size()];
        if (pos + static_cast<size_t>(len) > stream.size()) pos %= 64;  // stay in phase with the cycle
        fn(stream.data() + pos, len, &c);
        pos += static_cast<size_t>(len);
        bytes += len;
    }
    if (c.in_errs != 0u) state.SkipWithError("clean pattern reported an error");
    state.SetBytesProcessed(bytes);
}

void BM_rx_ck_bytewise_16k(benchmark::State& s) {
    run_check(s, rx_ck_bytewise, false);
}
void BM_rx_ck_fast_16k(benchmark::State& s) {
    run_check(s, rx_ck, false);
}
void BM_rx_ck_bytewise_random(benchmark::State& s) {
    run_check(s, rx_ck_bytewise, true);
}
void BM_rx_ck_fast_random(benchmark::State& s) {
    run_check(s, rx_ck, true);
}

BENCHMARK(BM_rx_ck_bytewise_16k);
BENCHMARK(BM_rx_ck_fast_16k);
BENCHMARK(BM_rx_ck_bytewise_random);
BENCHMARK(BM_rx_ck_fast_random);

}  // namespace
