// The receive side of a channel: the receive worker, its single overlapped read, the receive check
// and the overrun watcher.
#pragma once

#include <cstdint>
#include <string>

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

// The receive margin. The driver's input queue in bytes (GET_PROPERTIES), 0 when it does not tell.
uint32_t rx_queue_size(ser::handle hndl);
// For the monitor's sample: the bytes waiting now and the driver's own peak since the last sample,
// where it keeps one, raise the channel's peak.
void sample_rx_queue(chnl_struct* chnl, uint32_t in_queue);
// The peak as a percentage of the queue (at most 100), or -1 when the queue's size is not known.
int chnl_rx_queue_percent(const chnl_struct* c);
// The channel that came closest to an overrun (fullest queue, then longest read gap); -1: none.
int headroom_worst();
// "Headroom: worst COM7, receive queue 61% full, longest read gap 27 ms" for the run just stopped.
std::string headroom_line();
// The channel's margin as fields appended to its JSON object (rx_queue_peak, rx_queue_size or null,
// read_gap_max_ms) or to its CSV row (the same three, an unknown size empty).
std::string headroom_fields(const chnl_struct* c, bool json);
// The batch text's table of margins, one row per channel.
std::string headroom_table();

// Thread entries; the argument is the channel record.
void read(void* chnl);
void ovld_check(void* chnl);

}  // namespace zentrel
