// The channel table and the run settings shared by every part of the program.
#pragma once

#include <cstdint>

#include "model/shared.h"
#include "platform/kernel/kernel.h"
#include "platform/serial/serial.h"
#include "platform/ui/ui.h"

namespace zentrel {

constexpr int max_chnls = 16;
// Room for device paths of every platform (Windows names are short; Linux paths are not).
constexpr int com_link_size = 64;

// The driver's own counts of line errors: framing, parity, hardware (UART) overrun, buffer overrun and
// break. A count the driver does not keep is not available, which is not the same as none.
struct line_counts {
    enum kind { frame, parity, overrun, buf_overrun, brk, kinds };
    uint32_t n[kinds] = {};
    bool available[kinds] = {};
    // The sum of the available counts.
    uint64_t total() const;
};

// Byte, error and read counters are 64-bit: a run at 921600 baud passes 2^32 bytes in about 13 hours,
// and burn-in runs last days. Tick counts stay 32-bit; their intervals are unsigned differences.
struct chnl_struct {
    shared<int32_t> com_nbr;
    char com_link[com_link_size];
    shared<ser::handle> com_hndl;
    shared<int32_t> com_baud;
    shared<int32_t> com_flow;

    shared<uint64_t> out_cur;
    shared<uint64_t> out_posted;
    shared<uint64_t> out_pending;
    shared<uint32_t> out_time0;
    shared<uint32_t> out_time;
    shared<uint32_t> out_time_last;
    shared<uint32_t> out_running;

    shared<uint64_t> in_cur;
    shared<uint64_t> in_count;
    shared<uint8_t> in_nextchar;
    shared<uint64_t> in_errs;
    shared<uint64_t> in_ovlds;
    shared<uint64_t> in_loops;

    shared<uint32_t> mon_loops;

    // The driver's own line-error counts over the run: taken when loop start has configured the port
    // and again at loop stop before the close (window thread only). Never shown in the window.
    line_counts line_base;
    line_counts line_errs;

    // What the verdict of a run rests on besides the counters above.
    shared<uint32_t> in_last_rx;    // tick of the last read that returned data (receive worker)
    shared<uint64_t> mon_in_loops;  // in_loops at the monitor's previous sample (monitor)
    shared<uint32_t> in_starved;    // samples with no read since the one before: not scheduled (monitor)
    shared<uint32_t> in_stalled;    // 1 once receiving stopped for stall_ms while sending (monitor)
    shared<uint32_t> in_stall_at;   // tick at which that stall began (monitor)
    // How close receiving came to an overrun (batch output only).
    shared<uint32_t> in_q_size;   // the driver's input queue in bytes, 0: not told (receive worker)
    shared<uint32_t> in_q_peak;   // most bytes seen waiting in it (monitor)
    shared<uint32_t> in_gap_max;  // longest ms between two reads returning data (receive worker)
    // Totals after the drain at the end of a run (window thread): bytes that left the port and bytes
    // that came back, both final when drain_state is drain_exact.
    shared<uint64_t> out_total;
    shared<uint64_t> in_total;

    // More evidence for the verdict, each with a single writer.
    shared<uint32_t> mon_samples;   // status samples taken (monitor, then the drain)
    shared<uint32_t> mon_missed;    // sweeps that got no sample: refused, or still in the driver (monitor)
    shared<uint32_t> in_last_read;  // tick at which the last read returned (receive worker)
    shared<uint64_t> in_unchecked;  // bytes received while the data check was off (receive worker)
    // A device that vanished, as each side first saw it: a flag and its tick.
    shared<uint32_t> in_gone, in_gone_at;    // receive worker
    shared<uint32_t> out_gone, out_gone_at;  // transmit worker
    shared<uint32_t> mon_gone, mon_gone_at;  // monitor
    shared<uint32_t> com_hides;              // the driver hides bytes in flight (loop start)
    shared<uint32_t> out_drained;            // what the drain saw: drained_* (drainer)
    // The monitor's status request, kept here rather than on its stack: a request that never
    // completes in the driver outlives a monitor the watchdog replaced, and the port's later
    // sweeps skip the port until it is over (the close ends it).
    ser::overlapped mon_ov;
    ser::SERIAL_STATUS mon_stat;
    shared<uint32_t> mon_busy;  // that request is in the driver (monitor)
    // Whose identification the port received before the run: a channel's index or a wire_ value
    // (wiring.h). Set by loop start (window thread).
    shared<int32_t> wire_from;
};

extern chnl_struct chnls[max_chnls];

extern shared<int32_t> chnl_count;
extern shared<int32_t> loop_running;
extern shared<int32_t> loop_screen_clear;
extern shared<int32_t> time_limit;
extern shared<int32_t> internal_loopback;
extern shared<int32_t> data_check;
// The wiring the operator expects: a wiring_ setting of wiring.h (0: loopback plugs or null-modem pairs).
extern shared<int32_t> wiring_expect;
extern char devLink[com_link_size];
extern const char szProgName[];
extern const char szIconName[];

extern kern::thread_handle read_thrd_hndl[max_chnls];
extern uint32_t read_thrd_id[max_chnls];
extern kern::thread_handle write_thrd_hndl[max_chnls];
extern uint32_t write_thrd_id[max_chnls];
extern kern::thread_handle ovld_thrd_hndl[max_chnls];
extern uint32_t ovld_thrd_id[max_chnls];
extern shared<kern::thread_handle> wrmon_thrd_hndl;
extern uint32_t wrmon_thrd_id;
// Loop stops begun so far, and its value when the current run started: while they differ, the
// run's stop has begun and what fails then is the expected end of a worker, not a fault.
extern shared<uint32_t> stop_count;
extern shared<uint32_t> run_stop_mark;
// Monitor wake-ups that came more than a second late in this run: the machine could not keep up.
extern shared<uint32_t> mon_late;
// Receive workers of this run whose raise to the highest priority the system refused (an ordinary
// user on Linux may not raise a thread above normal): they compete with everything else as equals.
extern shared<uint32_t> rx_priority_refused;
// Receiving that stops this long while the port sends marks the port as stalled.
constexpr uint32_t stall_ms = 5000;
// When set, stopping a run first lets the lines drain, so that sent and received totals balance:
// batch mode sets it (a setting, written by the window thread only).
extern shared<int32_t> drain_at_stop;
// Set (from any thread, or a signal handler: a lock-free atomic) when the operator will not wait for
// the drain: it ends at once, and the loss goes untold.
extern shared<int32_t> drain_cut;
// What the drain of the last run found.
constexpr int32_t drain_none = 0;        // no drain
constexpr int32_t drain_exact = 1;       // every byte accounted for: lost = sent - received
constexpr int32_t drain_incomplete = 2;  // output still queued when the drain's time was up
constexpr int32_t drain_hidden = 3;      // the driver hides bytes in flight: lost cannot be told
extern shared<int32_t> drain_state;
// What the drain saw on one port.
constexpr uint32_t drained_not = 0;   // its time was up with output still moving, or no status
constexpr uint32_t drained_done = 1;  // both queues empty and still: sent and received are final
constexpr uint32_t drained_held = 2;  // output that did not move at all: held by flow control
// The number of ports the last loop start was asked to run (window thread): the verdict counts
// the ports it had to leave out.
extern shared<int32_t> chnl_asked;
// The tick at which the run's writers were told to stop (window thread): the end of what the
// receivers must keep pace with.
extern shared<uint32_t> run_end_tick;
// Clock time that allows for `real_ms` of scheduling delay: on an accelerated clock a thread that is
// late by some real milliseconds is late by that many times the scale in clock time.
uint32_t jitter_allowance(uint32_t clock_ms, uint32_t real_ms);
// The main window; owner of every message box.
extern ui::window_handle hwnd;

// Flow control values of com_flow.
constexpr int32_t flow_none = 0;
constexpr int32_t flow_xonxoff = 1;
constexpr int32_t flow_dtrdsr = 2;
constexpr int32_t flow_rtscts = 3;

void set_bauds(int32_t nubaud);
void set_flows(int32_t nuflow);

// The character format on the line: data bits, parity and stop bits, as the driver's line-control
// record holds them (parity and stop bits by its codes). 8N1 unless the operator asks otherwise.
// Aligned as a word, so that its shared copy is one lock-free atomic on every compiler.
struct alignas(4) line_format {
    uint8_t data = 8;                 // 5 to 8
    uint8_t parity = ser::NO_PARITY;  // NO_PARITY ... SPACE_PARITY
    uint8_t stop = ser::STOP_BIT_1;   // STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2
    uint8_t unused = 0;               // four bytes: one lock-free atomic word
    bool operator==(const line_format&) const = default;
};
// The run's format (a setting, written by the window thread only, like the baud rate).
extern shared<line_format> com_format;
// Reads "7E1", "8N2", "5N1.5" (parity N, E, O, M or S, either case); false for anything else.
bool parse_format(const char* text, line_format* f);
// "7E1", "5N1.5": at least 6 characters of room.
void format_text(char* buf, int size, const line_format& f);
// Bit times a character takes on the line in this format, counted in halves (1.5 stop bits).
uint32_t char_half_bits(const line_format& f);
// The pattern's bytes need 7 data bits; a narrower word cannot carry them unchanged.
constexpr int verify_min_data_bits = 7;
// Characters per second a line at `baud` can carry in the run's format: baud / (1 + data + parity +
// stop); baud / 10 for 8N1.
double line_capacity_cps(int32_t baud);

// Zeroes every record (every field, the channel table's state at program start).
void chnls_zero();
// Clears the verdict's evidence of a record (loop start, before the workers exist).
void chnl_evidence_reset(chnl_struct* c);
// Numbers the 16 records consecutively from `first`.
void chnls_number(int32_t first);
// Reads a signed number as the "%d" conversion does; false when the text does not begin with one.
bool scan_int(const char* text, int32_t* value);
// Start-up: zero the table, take the first port from the command-line text ("%d", default 3),
// number the records, 115200 baud, Xon/Xoff.
void chnls_startup(const char* cmdline);
// Sets the settings of the table above back to their initial values (tests start from here).
void settings_reset();

// Characters per second between the first write and the last sample: out_cur / interval x 1000,
// truncated; 0 while there is no interval.
uint32_t chnl_rate(uint64_t out_cur, uint32_t out_time, uint32_t out_time0);

// The rate the driver offered instead of one it refused at the last loop start; 0: none known.
extern shared<uint32_t> offered_baud;
// Why the last loop start could not use a port, in the operator's words ("not found", "the driver
// refused RTS/CTS flow control"); empty when it could. Written by loop start (window thread).
constexpr int open_fail_reason_size = 160;
extern char open_fail_reason[open_fail_reason_size];

// Builds com_link from devLink and the port number. False, with com_link empty, when the path
// does not fit: such a port is then treated as one that cannot be opened.
bool make_com_link(chnl_struct* chnl);

}  // namespace zentrel
