// The virtual board's state and its clock-driven model. Internal to the board.
//
// One mutex guards everything. Every request first brings the whole board up to the present clock
// time (step_to), then acts, so a change of rate, flow control or routing takes effect exactly when
// it is made. Between requests a service thread steps the board at the next deadline: the next
// write completion, read time-out or unplug, and at least once a slice while bytes are moving.
// Completions (ser::complete) are made with the mutex held; the kernel layer never calls back, so
// taking its lock inside ours cannot deadlock.
//
// A step that catches up on clock time that passed while nobody stepped the board (its service
// thread woke late: a busy machine, a descheduled virtual CPU) completes no read that is not full:
// nobody could have seen that completion before now, so the read stays the one bytes go to until the
// present, as a driver's current read keeps taking bytes until its late timer has really fired.
// Otherwise the board's own lateness would pile into the input queue as if the program had been told
// on time and had not come back for its bytes, and one late wake-up of this thread would overrun
// every port whose read ended within it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/serial/backend.h"
#include "platform/serial/virtual/vboard.h"
#include "platform/serial/virtual/vboard_config.h"

namespace vboard {

constexpr uint64_t never = UINT64_MAX;

struct write_req {
    ser::overlapped* ov;
    const uint8_t* buf;
    uint32_t len;
    uint32_t sent = 0;
};

struct read_req {
    ser::overlapped* ov;
    uint8_t* buf;
    uint32_t len;
    uint32_t got = 0;
    bool any_byte = false;  // completes as soon as it holds a byte
    uint64_t total_deadline = never;
    uint64_t interval_us = 0;  // 0: no interval time-out
    uint64_t last_byte_us = 0;
    bool noisy = false, last_noisy = false;
};

// A status request held by the status-hang fault, blocked in a kernel-layer wait.
struct hang_req {
    kern::event_handle ev = nullptr;
    uint32_t status = 0;
    bool released = false;
};

struct counters {
    uint64_t tx_bytes = 0, rx_bytes = 0, delivered = 0, lost = 0;
    uint32_t overruns = 0;
    uint64_t noise_bytes = 0, dropped_bytes = 0, noise_reads = 0, noise_tail_reads = 0;
};

struct port_state {
    int number = 0;
    port_state* peer = nullptr;  // null-modem partner, if any
    cfg::faults faults;

    bool open = false;
    bool unplugged = false;
    uint64_t gen = 0;  // which open this state belongs to; older handles are refused
    uint32_t opens = 0;
    uint64_t unplug_at = never;

    uint32_t baud = 9600;
    ser::SERIAL_LINE_CONTROL lc{ser::STOP_BIT_1, ser::NO_PARITY, 8};
    uint64_t char_units = 10'000'000;  // char_units_of(lc)
    ser::SERIAL_HANDFLOW hf{};
    ser::SERIAL_TIMEOUTS to{};
    uint32_t wait_mask = 0;
    uint32_t history = 0;  // masked events since the last wait
    bool loopback = false;

    std::vector<uint8_t> q;  // input queue (ring)
    uint32_t q_head = 0, q_count = 0;
    uint32_t q_peak = 0;  // most bytes in it since the last GET_INPUT_PEAK

    std::deque<write_req> writes;
    uint64_t out_bytes = 0;  // unsent bytes of pending writes
    std::deque<read_req> reads;
    ser::overlapped* wait_ov = nullptr;
    void* wait_out = nullptr;
    std::vector<hang_req*> hangs;
    std::vector<ser::overlapped*> hung_status;  // overlapped status requests the status-hang fault keeps

    // Transmit pacing: credit in units of 1e-7 character, carried exactly from step to step.
    uint64_t tx_last = 0, tx_frac = 0;
    uint32_t tx_debt = 0;  // flow-control characters sent out of turn, paid from later credit

    bool rx_hold = false;        // input above its high mark: hold the far sender
    bool xoff_sent = false;      // our XOFF is in effect
    bool xoff_received = false;  // the far end's XOFF stops our transmitter

    uint32_t errors = 0;
    bool overflowing = false;  // within a burst of bytes lost to a full queue

    uint32_t noise_left = 0, drop_left = 0;
    uint64_t slow_last = 0, slow_frac = 0, slow_credit = 0;

    // Positions in the accepted byte stream, for telling which reads got corrupted bytes.
    uint64_t accept_seq = 0, consume_seq = 0;
    std::deque<uint64_t> noisy_pos;

    counters n;

    // The driver's own statistics: kept from the board's start, as a driver keeps them from its load.
    struct {
        uint32_t rx = 0, tx = 0, frame = 0, parity = 0, overrun = 0, buf_overrun = 0, brk = 0;
    } stats;
    uint32_t frame_left = 0, parity_left = 0, overrun_left = 0;
    uint64_t break_at = never;  // line time of the next break
    uint32_t block_left = 0, block_pos = 0;    // blocks to the next lost one, bytes into this one
    uint64_t pause_at = never, pause_end = never;  // arriving bytes are lost in between
};

// Restarts the periods of the line-error faults (at an open or a change of faults).
inline void reset_fault_counts(port_state& p, uint64_t now) {
    p.frame_left = p.faults.frame;
    p.parity_left = p.faults.parity;
    p.overrun_left = p.faults.overrun;
    p.break_at = p.faults.break_ms ? now + uint64_t{p.faults.break_ms} * 1000 : never;
    p.block_left = p.faults.dropblock;
    p.block_pos = 0;
    p.pause_at = p.faults.pause_from_ms >= 0 ? now + static_cast<uint64_t>(p.faults.pause_from_ms) * 1000 : never;
    p.pause_end = p.pause_at == never ? never : p.pause_at + uint64_t{p.faults.pause_ms} * 1000;
}

class core : public std::enable_shared_from_this<core> {
  public:
    explicit core(cfg::config c);

    // The port, created on first use; null when the configuration has no such port.
    port_state* get(int number);

    // Brings the board to clock time `now` (never back); returns the time it stands at.
    uint64_t step_to(uint64_t now);
    uint64_t next_deadline() const;
    // Wakes the service thread when the board now needs it earlier than it planned.
    void reschedule();
    void run_service();

    // Requests, with the lock held and the board stepped to `now`.
    std::shared_ptr<ser::port> open_port(int number, uint64_t now);
    bool ioctl(port_state& p, uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
               uint32_t* returned, ser::overlapped* ov);
    bool read(port_state& p, void* buf, uint32_t len, uint32_t* count, ser::overlapped* ov, uint64_t now);
    bool write(port_state& p, const void* buf, uint32_t len, uint32_t* count, ser::overlapped* ov);
    // Forgets a request whose caller stopped waiting for it, without completing it.
    void cancel(port_state& p, const ser::overlapped* ov);
    void close_port(port_state& p);
    void set_faults(port_state& p, const cfg::faults& f, uint64_t now);
    port_snapshot snapshot(int number);
    void shut_down();

    // Lines and holds.
    bool live(const port_state& p) const { return p.open && !p.unplugged; }
    port_state* route(port_state& p) const;
    bool dtr_on(const port_state& p) const;
    bool rts_on(const port_state& p) const;
    uint32_t hold_reasons(port_state& p) const;
    bool held(port_state& p) const;

    const cfg::config conf;
    std::mutex m;
    std::condition_variable cv;
    bool stopping = false;

  private:
    void step_once(uint64_t t);
    void advance_tx(port_state& p, uint64_t t);
    void advance_slow(port_state& p, uint64_t t);
    void serve_reads(port_state& p, uint64_t t);
    void deliver(const port_state& src, port_state& dst, const uint8_t* data, uint32_t n, uint64_t t);
    void accept(port_state& p, const uint8_t* data, uint32_t n, uint64_t t);
    void update_rx_flow(port_state& p, uint64_t t);
    void send_flow(port_state& p, uint8_t c, uint64_t t);
    uint32_t room_to_mark(const port_state& d) const;
    uint32_t from_queue(port_state& p, read_req& r, uint64_t limit, uint64_t t);
    void finish_read(port_state& p, uint32_t status);
    void count_read(port_state& p, const read_req& r);
    void raise_event(port_state& p, uint32_t ev);
    void clear_queue(port_state& p);
    void abort_all(port_state& p, uint32_t status);
    void unplug(port_state& p);
    void purge(port_state& p, uint32_t mask, uint64_t now);
    uint64_t slice_us() const;

    std::map<int, std::unique_ptr<port_state>> ports_;
    std::vector<port_state*> active_;  // open ports
    uint64_t last_step_ = 0;
    bool catching_up_ = false;  // the step in progress lies before the present (see the top)
    uint64_t planned_wake_ = never;
    uint64_t next_gen_ = 1;
};

// A character of h half-bit times (20 for 8N1: start, 8 data, stop) takes h x 500000 / baud
// microseconds: a port sends `baud` characters per char_units_of microseconds (1e7 for 8N1).
inline uint64_t char_units_of(const ser::SERIAL_LINE_CONTROL& lc) {
    uint64_t stop_halves = lc.StopBits == ser::STOP_BITS_1_5 ? 3 : lc.StopBits == ser::STOP_BITS_2 ? 4 : 2;
    uint64_t parity = lc.Parity != ser::NO_PARITY ? 1 : 0;
    return (2 * (1 + uint64_t{lc.WordLength} + parity) + stop_halves) * 500'000;
}

// Bits and helpers shared by the board's files.
inline uint32_t dtr_mode(const port_state& p) {
    return p.hf.ControlHandShake & ser::SERIAL_DTR_MASK;
}
inline uint32_t rts_mode(const port_state& p) {
    return p.hf.FlowReplace & ser::SERIAL_RTS_MASK;
}

}  // namespace vboard
