// Loop control: starting a run, stopping it, and the end-of-run summary.
#pragma once

#include <cstdint>

#include "platform/serial/serial.h"

namespace zentrel {

// Opens and configures the ports of channels 0 to chnl_count - 1 and starts the workers.
// Returns 0, or 100 + n for the port n that could not be opened or configured, with 10000 added
// when nothing was opened (10000 alone: chnl_count was 0). Since 100 + n does not always decode
// (port numbers below -100 or above 9899), *none_opened, when given, tells plainly whether the run
// has no port and no worker.
int loop_init(bool* none_opened = nullptr);

// Sets the handshake bits of a flow-control setting (0 none, 1 Xon/Xoff, 2 DTR/DSR, 3 RTS/CTS) in a
// handflow record, keeping every bit the setting does not own.
void loop_flow_bits(int32_t flow, ser::SERIAL_HANDFLOW* hf);

// Stops the run: monitor, handshaking, wait masks, transmit flags, receive workers, purge, close.
// Runs once per started run; a second call for the same run does nothing.
void loop_fini();

// Shows the summary box of the run just stopped: average rate, its share of capacity, error totals.
void loop_summary();

// Composes the summary text into buf (always terminated); used by loop_summary.
void loop_summary_text(char* buf, int size);

}  // namespace zentrel
