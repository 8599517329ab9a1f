#include "model/pattern.h"

#include <cstring>

namespace zentrel {
namespace {

constexpr int cycle = 64;
constexpr int max_read = 16384;

// The pattern long enough that any read of up to max_read bytes, starting anywhere in the cycle, is
// one contiguous slice of it.
struct reference {
    uint8_t bytes[max_read + cycle];
    reference() { make_pattern(bytes, sizeof bytes); }
};
const reference ref;

uint8_t next_after_last(uint8_t last) {
    uint8_t n = static_cast<uint8_t>(last + 1);
    return (n < 32 || n >= 96) ? 32 : n;
}

}  // namespace

void make_pattern(uint8_t* buf, int len) {
    for (int i = 0; i < len; i++) buf[i] = static_cast<uint8_t>(32 + (i % cycle));
}

void rx_ck_bytewise(const uint8_t* buf, int len, chnl_struct* chnl) {
    uint8_t expected = chnl->in_nextchar;
    for (int i = 0; i < len; i++) {
        if (buf[i] != expected) {
            ++chnl->in_errs;
            break;
        }
        expected = static_cast<uint8_t>(expected + 1);
        if (expected >= 96) expected = 32;
    }
    chnl->in_nextchar = next_after_last(buf[len - 1]);
}

void rx_ck(const uint8_t* buf, int len, chnl_struct* chnl) {
    uint8_t expected = chnl->in_nextchar;
    // Only whether the buffer matches matters (one error at most), so one memcmp against the
    // pattern slice starting at the expected byte decides it. An expectation outside the cycle
    // never occurs between calls; the byte walk handles it should it ever.
    if (expected < 32 || expected >= 96 || len > max_read) {
        rx_ck_bytewise(buf, len, chnl);
        return;
    }
    if (std::memcmp(buf, ref.bytes + (expected - 32), static_cast<size_t>(len)) != 0) ++chnl->in_errs;
    chnl->in_nextchar = next_after_last(buf[len - 1]);
}

}  // namespace zentrel
