// The test pattern every port sends, and the check of what comes back.
#pragma once

#include <cstdint>

#include "model/chnl.h"

namespace zentrel {

constexpr int wstuff_len = 8192;

// Byte i of the pattern is 32 + (i mod 64): the 64 characters blank to underscore, over and over.
void make_pattern(uint8_t* buf, int len);

// Compares a received buffer (len >= 1) with the pattern, starting at in_nextchar: at most one error
// per buffer, and the expectation for the next buffer follows from this buffer's last byte.
void rx_ck(const uint8_t* buf, int len, chnl_struct* chnl);

// The same check walked byte by byte, exactly as the rule reads; rx_ck must agree with it always.
void rx_ck_bytewise(const uint8_t* buf, int len, chnl_struct* chnl);

}  // namespace zentrel
