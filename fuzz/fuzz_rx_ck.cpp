// The receive check against the byte-by-byte rule: for any expectation and any buffers, split at any
// points, rx_ck and the rule agree on the error count and on the next expectation.
#include <vector>

#include "fuzz_util.h"
#include "model/chnl.h"
#include "read.h"

using namespace zentrel;

namespace {

uint8_t pattern_byte(unsigned start, size_t i) {
    return static_cast<uint8_t>(32 + (start - 32 + i) % 64);
}

}  // namespace

// Input: expectation, mode, split seed, then the bytes. Mode 0 takes the bytes as received; mode 1
// turns them into the pattern with sparse faults (a byte above 0xEF is lost, one above 0xDF is
// replaced), which reaches the paths a random buffer never does: long matches, slips, resyncs.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const unsigned start = 32 + data[0] % 64;
    const bool shaped = data[1] & 1;
    unsigned split = data[2] | 1u;
    std::vector<uint8_t> buf;
    size_t at = 0;  // position in the pattern
    for (size_t i = 3; i < size; i++) {
        const uint8_t b = data[i];
        if (!shaped) {
            buf.push_back(b);
        } else if (b > 0xEF) {
            at++;
        } else if (b > 0xDF) {
            buf.push_back(static_cast<uint8_t>(b - 0xE0 + 85));
            at++;
        } else {
            buf.push_back(pattern_byte(start, at++));
        }
    }
    chnl_struct fast{}, rule{};
    fast.in_nextchar = rule.in_nextchar = static_cast<uint8_t>(start);
    size_t pos = 0;
    while (pos < buf.size()) {
        split = split * 1103515245u + 12345u;
        size_t len = 1 + (split >> 8) % (buf.size() - pos);
        if (split & 0x10000) len = buf.size() - pos;                    // often the rest in one read
        if (len > static_cast<size_t>(rstuff_size)) len = rstuff_size;  // the largest read
        rx_ck(buf.data() + pos, static_cast<int>(len), &fast);
        rx_ck_bytewise(buf.data() + pos, static_cast<int>(len), &rule);
        FUZZ_CHECK(fast.in_errs == rule.in_errs);
        FUZZ_CHECK(fast.in_nextchar == rule.in_nextchar);
        FUZZ_CHECK(rule.in_nextchar >= 32 && rule.in_nextchar <= 95);
        pos += len;
    }
    FUZZ_CHECK(rule.in_errs <= buf.size());
    return 0;
}
