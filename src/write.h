// The transmit side of a channel: the transmit worker and the write monitor with its watchdog.
#pragma once

#include <cstdint>

#include "model/chnl.h"

namespace zentrel {

constexpr int wstuff_len = 8192;
constexpr int write_slots = 5;

// Byte i of the pattern is 32 + (i mod 64): the 64 characters blank to underscore, over and over.
void make_pattern(uint8_t* buf, int len);

// One port's status as the monitor takes it, true with a sample in *st: overlapped on the channel's
// own record, so that a driver that never completes it holds back only this port (skipped until the
// request is over). Also the drain's, once the monitor is gone.
bool mon_status(chnl_struct* chnl, ser::SERIAL_STATUS* st);

// One channel's sample as the monitor takes it once a second; also the drain's last one at the stop.
void mon_sample(chnl_struct* chnl);

// Thread entries: the transmit worker gets its channel record, the monitor nothing.
void write(void* chnl);
void wrmon(void* unused);

// One step of the monitor watchdog, run at every tick of the one-second window timer: replaces the
// monitor when channel 0's heartbeat has stood still for three ticks of a run.
void wrmon_watchdog();
// The watchdog's memory, for tests.
uint32_t watchdog_loops_count();
}  // namespace zentrel
