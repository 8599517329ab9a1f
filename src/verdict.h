// The verdict on a run: per port, what the figures prove and what they do not. A run passes only when
// every port shows positive evidence of each of these: it was measured through the run, stayed present,
// kept receiving until its writer stopped, got back what it sent and nothing else, cleanly, and was
// wired as expected. Judged once when the run stops; the window's summary, the batch outputs and the
// exit code all follow this one result.
#pragma once

#include <cstdint>

#include "model/chnl.h"

namespace zentrel {

// Why a port fails; each a bit of port_verdict::fails, in the order the summary names them.
enum fail_bit : uint32_t {
    fail_not_measured = 1u << 0,  // the monitor got no sample of it for part of the run
    fail_gone = 1u << 1,          // the device vanished
    fail_silent = 1u << 2,        // nothing came back in the whole run
    fail_stalled = 1u << 3,       // receiving stopped while the port was still sending
    fail_extra = 1u << 4,         // more came back than was sent: another source on the line
    fail_lost = 1u << 5,          // bytes sent never came back
    fail_held = 1u << 6,          // output was still held or queued when the drain ended
    fail_data_errors = 1u << 7,   // the data check found errors
    fail_overruns = 1u << 8,      // the receive queue overran
    fail_line_errors = 1u << 9,   // the driver counted framing, parity, overrun or break errors
    fail_overloaded = 1u << 10,   // its receiver was not scheduled in time or the line ran slow
    fail_wiring = 1u << 11,       // it receives from a port it should not
    fail_kinds = 12
};

// What is worth saying without failing the run.
enum note_bit : uint32_t {
    note_not_paced = 1u << 0,   // measured above what the line can carry: the driver ignores the rate
    note_unchecked = 1u << 1,   // received data was not compared with the pattern (verify off)
};

struct port_verdict {
    uint32_t fails = 0;
    uint32_t notes = 0;
    uint64_t sent = 0, received = 0;
    bool lost_known = false;  // sent and received balance to the byte (exact drain)
    uint64_t lost = 0;        // sent - received where known, or beyond the bound where hidden
    uint32_t xmit_rate = 0, rcv_rate = 0;
    uint32_t rate = 0;     // the rate judged against the line: received where the driver hides bytes
    double percent = 0;    // that rate as a share of the line's capacity
    uint32_t gone_s = 0;   // seconds from the first write, where the fail bits name them
    uint32_t stall_s = 0;
    uint32_t samples = 0, missed = 0;
    uint32_t starved = 0;  // samples at which its receiver had made no read for too long
    char wiring[96] = {};  // the wiring finding, where there is one
};

struct run_verdict {
    bool judged = false;  // a run has been judged since the program started
    bool passed = false;
    int count = 0;
    int left_out = 0;  // ports asked for that loop start could not open or configure
    uint64_t average_cps = 0;
    double percent = 0;
    uint64_t data_errors = 0, queue_overruns = 0;
    uint32_t monitor_late = 0;
    int32_t drain = drain_none;
    uint32_t fails = 0, notes = 0;  // every port's bits together
    port_verdict port[max_chnls];
};

// The verdict of the last run stopped (window thread).
extern run_verdict verdict;

// Bytes a driver that hides what is in flight may hold on a loopback beyond what it shows: the pty's
// two buffers (up to 22 KiB), the writes the transmit worker keeps queued and one read in progress.
constexpr uint64_t hidden_bound = 64 * 1024;
// A rate this far above the line's capacity cannot be a paced line's.
constexpr double paced_limit_percent = 102.0;

// Judges the channels of the run just stopped into `verdict` (end of loop stop, and tests).
void verdict_judge();

// The figures the verdict rests on, per channel. Sent and received are the drained totals when the
// run was drained exactly, else the best figures there are; the received rate covers the transmit
// rate's interval.
uint64_t chnl_sent(const chnl_struct* c);
uint64_t chnl_received(const chnl_struct* c);
uint32_t chnl_rx_rate(const chnl_struct* c);
bool chnl_silent(const chnl_struct* c);
bool chnl_overloaded(const chnl_struct* c);

// The words of one fail or note bit: "not measured", "device gone", ...
const char* fail_words(uint32_t bit);
const char* note_words(uint32_t bit);
// One port's reasons as text, "; "-separated, with their figures ("device gone at 1 s; 65 bytes
// lost"); empty for a clean port.
void port_reasons(const port_verdict& v, char* buf, int size);

}  // namespace zentrel
