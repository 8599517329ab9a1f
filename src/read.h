// The receive side of a channel: the receive worker, its single overlapped read, the receive check
// and the overrun watcher.
#pragma once

#include <cstdint>

#include "model/chnl.h"

namespace zentrel {

constexpr int rstuff_size = 16384;
// Pause after a read or write the driver refused at once, so a vanished device does not spin a core.
constexpr uint32_t refused_backoff_ms = 30;

// Compares a received buffer (len >= 1) with the pattern, starting at in_nextchar: at most one error
// per buffer, and the expectation for the next buffer follows from this buffer's last byte.
void rx_ck(const uint8_t* buf, int len, chnl_struct* chnl);
// The same check walked byte by byte, exactly as the rule reads; rx_ck must agree with it always.
void rx_ck_bytewise(const uint8_t* buf, int len, chnl_struct* chnl);

// One overlapped read: 1 when done (count may be 0), 0 when waiting for it failed (port purged).
int aread(ser::handle hndl, uint8_t* stuff, uint32_t stuff_len, uint32_t* count, ser::overlapped* osRead);

// Waits until the request of an overlapped record is no longer in flight.
void settle(ser::handle hndl, ser::overlapped* ov);

// Thread entries; the argument is the channel record.
void read(void* chnl);
void ovld_check(void* chnl);

}  // namespace zentrel
