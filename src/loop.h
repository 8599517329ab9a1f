// Loop control: starting a run, stopping it, and the end-of-run summary.
#pragma once

#include <cstdint>

#include "model/chnl.h"
#include "platform/serial/serial.h"
#include "platform/ui/ui.h"

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

// True from a loop start that started workers until its loop stop.
bool loop_open();

// a + b as the 32-bit values wrap, without the overflow of signed arithmetic.
int wrap_add(int a, int b);

// Stops the run: monitor, handshaking, wait masks, transmit flags, receive workers, purge, close.
// Runs once per started run; a second call for the same run does nothing. With drain_at_stop set it
// drains the lines first (loop_drain). The window thread never waits long for a worker: one stuck
// in a hung driver call is abandoned after a bounded time.
void loop_fini();

// Ends the run's sampling, stops the writers and lets what is on its way arrive, for at most a few
// seconds; then sets out_total and in_total of every channel and drain_state.
void loop_drain();

// Shows the summary box of the run just stopped: average rate, its share of capacity, error totals.
void loop_summary();

// Composes the summary text of the last run's verdict into buf (always terminated); used by
// loop_summary. Three lines, and a line for each way a port failed, naming the ports, and for what
// the figures cannot be taken for (a rate no paced line reaches, data not compared).
constexpr int summary_size = 2048;
void loop_summary_text(char* buf, int size);

}  // namespace zentrel

namespace zentrel {

// The status table, drawn on every paint of the main window: the settings line (show_parms), then,
// while running, the header and one row per sampled channel; once after a run, 17 blank rows.
// hfont is the caller's display font; the context's previous font is back in place on return, so
// the caller can free hfont at once.
void loop_mon(ui::hdc hdc, ui::hfont hfont);

// Extends s in place with blanks to len characters; longer text is left as it is. s has room for
// len + 1 characters.
void pad(char* s, int len);

// The operator's name of a port: "COM<n>" on the board's own device namespace, otherwise the device
// file's name ("ttyS3", "ttyUSB0"). Always terminated, cut to size.
void port_label(char* buf, int size, int32_t nbr);

}  // namespace zentrel
