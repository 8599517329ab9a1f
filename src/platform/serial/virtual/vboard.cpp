// The virtual board's model: pacing, wiring, delivery, flow control and faults, stepped on the clock.
#include "platform/serial/virtual/vboard.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "platform/serial/virtual/vboard_core.h"

namespace vboard {
namespace {

constexpr uint8_t xon_char = 0x11, xoff_char = 0x13;
// Largest block moved at once; bounds the scratch buffer of deliveries that must be rewritten.
constexpr uint32_t max_chunk = 4096;
constexpr char path_prefix[] = "\\\\.\\COM";
constexpr size_t prefix_len = sizeof path_prefix - 1;

int64_t high_mark(const port_state& p) {
    int64_t size = static_cast<int64_t>(p.q.size());
    return std::clamp<int64_t>(size - p.hf.XoffLimit, 1, size);
}

void q_put(port_state& p, const uint8_t* d, uint32_t k) {
    if (k == 0) return;
    uint32_t size = static_cast<uint32_t>(p.q.size());
    uint32_t tail = static_cast<uint32_t>((uint64_t{p.q_head} + p.q_count) % size);
    uint32_t first = std::min(k, size - tail);
    std::memcpy(p.q.data() + tail, d, first);
    if (k > first) std::memcpy(p.q.data(), d + first, k - first);
    p.q_count += k;
}

void q_get(port_state& p, uint8_t* d, uint32_t k) {
    if (k == 0) return;
    uint32_t size = static_cast<uint32_t>(p.q.size());
    uint32_t first = std::min(k, size - p.q_head);
    std::memcpy(d, p.q.data() + p.q_head, first);
    if (k > first) std::memcpy(d + first, p.q.data(), k - first);
    p.q_head = static_cast<uint32_t>((uint64_t{p.q_head} + k) % size);
    p.q_count -= k;
}

// Hands the next k accepted bytes to read r, noting whether corrupted ones are among them.
void take_noise(port_state& p, read_req& r, uint32_t k) {
    uint64_t end = p.consume_seq + k;
    bool last = false;
    while (!p.noisy_pos.empty() && p.noisy_pos.front() < end) {
        last = p.noisy_pos.front() == end - 1;
        r.noisy = true;
        p.noisy_pos.pop_front();
    }
    r.last_noisy = last;
    p.consume_seq = end;
}

}  // namespace

std::string device_path(int port_number) {
    return path_prefix + std::to_string(port_number);
}

core::core(cfg::config c) : conf(std::move(c)), last_step_(kern::now_us()) {}

port_state* core::get(int number) {
    auto it = ports_.find(number);
    if (it != ports_.end()) return it->second.get();
    if (!conf.exists(number)) return nullptr;
    auto st = std::make_unique<port_state>();
    port_state* p = st.get();
    p->number = number;
    p->faults = conf.faults_of(number);
    ports_.emplace(number, std::move(st));
    if (auto peer = conf.peers.find(number); peer != conf.peers.end()) p->peer = get(peer->second);
    return p;
}

uint64_t core::slice_us() const {
    // About 2 ms of clock time, but the thread never wakes more often than once a real millisecond.
    return std::max<uint64_t>(2000, static_cast<uint64_t>(1000.0 * kern::clock_scale()));
}

// ---- Lines and holds ------------------------------------------------------------------------------

port_state* core::route(port_state& p) const {
    if (p.loopback || conf.wires == cfg::wiring::plug) return &p;
    return p.peer;
}

bool core::dtr_on(const port_state& p) const {
    if (!live(p)) return false;
    uint32_t mode = dtr_mode(p);
    return mode == ser::SERIAL_DTR_CONTROL || (mode == ser::SERIAL_DTR_HANDSHAKE && !p.rx_hold);
}

bool core::rts_on(const port_state& p) const {
    if (!live(p)) return false;
    uint32_t mode = rts_mode(p);
    return mode == ser::SERIAL_RTS_CONTROL || (mode == ser::SERIAL_RTS_HANDSHAKE && !p.rx_hold);
}

uint32_t core::hold_reasons(port_state& p) const {
    // Input lines come from wherever the output goes: the port itself or its null-modem peer.
    const port_state* src = route(p);
    bool dsr = src && dtr_on(*src);
    bool cts = src && rts_on(*src);
    uint32_t hs = p.hf.ControlHandShake, r = 0;
    if ((hs & ser::SERIAL_CTS_HANDSHAKE) && !cts) r |= ser::SERIAL_TX_WAITING_FOR_CTS;
    if ((hs & ser::SERIAL_DSR_HANDSHAKE) && !dsr) r |= ser::SERIAL_TX_WAITING_FOR_DSR;
    if ((hs & ser::SERIAL_DCD_HANDSHAKE) && !dsr) r |= ser::SERIAL_TX_WAITING_FOR_DCD;  // DCD rides on DSR
    if (p.xoff_received) r |= ser::SERIAL_TX_WAITING_FOR_XON;
    if (p.xoff_sent) r |= ser::SERIAL_TX_WAITING_XOFF_SENT;
    return r;
}

bool core::held(port_state& p) const {
    constexpr uint32_t stopping_bits = ser::SERIAL_TX_WAITING_FOR_CTS | ser::SERIAL_TX_WAITING_FOR_DSR |
                                       ser::SERIAL_TX_WAITING_FOR_DCD | ser::SERIAL_TX_WAITING_FOR_XON;
    return (hold_reasons(p) & stopping_bits) != 0;
}

// ---- Stepping -------------------------------------------------------------------------------------

uint64_t core::step_to(uint64_t now) {
    now = std::max(now, last_step_);
    for (int round = 0;; ++round) {
        uint64_t t = std::max(std::min(now, next_deadline()), last_step_);
        // Whatever was due at last_step_ was handled by the first round; go on from there.
        if (round > 0 && t == last_step_) t = std::min(now, last_step_ + slice_us());
        catching_up_ = t < now;
        step_once(t);
        catching_up_ = false;
        if (t >= now) return now;
    }
}

void core::step_once(uint64_t t) {
    for (port_state* p : active_)
        if (!p->unplugged && t >= p->unplug_at) unplug(*p);
    for (port_state* p : active_) advance_tx(*p, t);
    for (port_state* p : active_) {
        advance_slow(*p, t);
        serve_reads(*p, t);
    }
    last_step_ = t;
}

uint64_t core::next_deadline() const {
    uint64_t dl = never;
    bool moving = false;
    for (port_state* p : active_) {
        if (p->unplugged) continue;
        dl = std::min(dl, p->unplug_at);
        if (!p->writes.empty() && !held(*p)) {
            moving = true;
            const write_req& w = p->writes.front();
            uint64_t need = (uint64_t{w.len - w.sent} + p->tx_debt) * p->char_units;
            need = need > p->tx_frac ? need - p->tx_frac : 0;
            uint64_t dt = std::max<uint64_t>(1, (need + p->baud - 1) / p->baud);
            dl = std::min(dl, p->tx_last + dt);
        }
        if (!p->reads.empty()) {
            const read_req& r = p->reads.front();
            dl = std::min(dl, r.total_deadline);
            if (r.interval_us && r.got) dl = std::min(dl, r.last_byte_us + r.interval_us);
            if (p->faults.slow && p->q_count) moving = true;
        }
    }
    if (moving) dl = std::min(dl, last_step_ + slice_us());
    return dl;
}

void core::reschedule() {
    if (next_deadline() < planned_wake_) cv.notify_one();
}

void core::run_service() {
    // Every completion of every port waits for this thread, which stands for the board's hardware
    // and driver: preempted while it holds the board's lock, it would hold up the receive workers
    // waiting for that lock, which run at the highest priority the system allows. It runs there too.
    kern::set_current_thread_priority_highest();
    std::unique_lock lk(m);
    while (!stopping) {
        step_to(kern::now_us());
        uint64_t dl = next_deadline();
        planned_wake_ = dl;
        if (dl == never) {
            cv.wait(lk);
        } else {
            uint64_t cur = kern::now_us();
            double real_us = dl > cur ? static_cast<double>(dl - cur) / kern::clock_scale() : 0.0;
            // Round up so that a wake-up finds its deadline reached rather than just short of it.
            auto wait = std::chrono::microseconds(std::max<int64_t>(20, std::llround(std::ceil(real_us))));
            cv.wait_for(lk, wait);
        }
        planned_wake_ = 0;  // awake: requests need not notify
    }
}

// ---- Transmission and delivery --------------------------------------------------------------------

void core::advance_tx(port_state& p, uint64_t t) {
    if (t <= p.tx_last) return;
    uint64_t elapsed = t - p.tx_last;
    p.tx_last = t;
    if (p.writes.empty()) p.tx_debt = 0;  // an idle line had time for its flow-control characters
    // A line that is idle or held earns no credit: it does not burst when it starts again.
    if (!live(p) || p.writes.empty() || held(p)) {
        p.tx_frac = 0;
        return;
    }
    uint64_t num = elapsed * p.baud + p.tx_frac;
    uint64_t credit = num / p.char_units;
    p.tx_frac = num % p.char_units;
    uint64_t pay = std::min<uint64_t>(credit, p.tx_debt);
    credit -= pay;
    p.tx_debt -= static_cast<uint32_t>(pay);

    port_state* dst = route(p);
    while (credit > 0 && !p.writes.empty() && !held(p)) {
        write_req& w = p.writes.front();
        uint32_t k = static_cast<uint32_t>(std::min<uint64_t>({credit, w.len - w.sent, max_chunk}));
        // Stop at the receiver's high mark so that its hold applies before the next byte.
        if (dst) k = std::min(k, room_to_mark(*dst));
        const uint8_t* src = w.buf + w.sent;
        w.sent += k;
        p.out_bytes -= k;
        p.n.tx_bytes += k;
        p.stats.tx += k;
        credit -= k;
        if (dst) deliver(p, *dst, src, k, t);
        if (w.sent == w.len) {
            // The caller may reuse the buffer once completed: the bytes were delivered above.
            ser::overlapped* ov = w.ov;
            uint32_t len = w.len;
            p.writes.pop_front();
            ser::complete(ov, 0, len);
        }
    }
    if (p.writes.empty() || held(p)) p.tx_frac = 0;
}

uint32_t core::room_to_mark(const port_state& d) const {
    if (!live(d)) return max_chunk;
    bool rx_flow = dtr_mode(d) == ser::SERIAL_DTR_HANDSHAKE || rts_mode(d) == ser::SERIAL_RTS_HANDSHAKE ||
                   (d.hf.FlowReplace & ser::SERIAL_AUTO_RECEIVE);
    if (!rx_flow) return max_chunk;
    uint64_t room = 0;
    if (!d.faults.slow && d.q_count == 0 && !d.reads.empty())
        room += d.reads.front().len - d.reads.front().got;
    int64_t high = high_mark(d);
    if (static_cast<int64_t>(d.q_count) < high) room += static_cast<uint64_t>(high - d.q_count);
    // Already above the mark and still sending: the sender ignores the hold, nothing to keep.
    return room ? static_cast<uint32_t>(std::min<uint64_t>(room, max_chunk)) : max_chunk;
}

void core::deliver(const port_state& src, port_state& dst, const uint8_t* data, uint32_t n, uint64_t t) {
    if (!live(dst) || n == 0) return;  // nobody listening: the bytes vanish
    if (t >= dst.pause_at && t < dst.pause_end) {
        dst.n.dropped_bytes += n;  // the far end has stopped echoing
        return;
    }
    dst.n.rx_bytes += n;
    dst.stats.rx += n;
    const cfg::faults& f = dst.faults;
    bool auto_tx = dst.hf.FlowReplace & ser::SERIAL_AUTO_TRANSMIT;
    bool brk = f.break_ms && t >= dst.break_at;
    // Ends that disagree on the format: a receiver expecting another word length finds no stop bit
    // where it looks for one, another parity finds the parity wrong. Stop bits alone do not matter:
    // a receiver checks only the first.
    bool word_mismatch = src.lc.WordLength != dst.lc.WordLength;
    bool parity_mismatch = !word_mismatch && src.lc.Parity != dst.lc.Parity;
    uint8_t mask = static_cast<uint8_t>((1u << std::min(src.lc.WordLength, dst.lc.WordLength)) - 1u);
    bool rewrite = f.noise || f.drop || f.dropblock || f.frame || f.parity || f.overrun || brk ||
                   word_mismatch || parity_mismatch || mask != 0xFF ||
                   (auto_tx && (std::memchr(data, xon_char, n) || std::memchr(data, xoff_char, n)));
    uint8_t buf[max_chunk + 1];
    if (rewrite) {
        uint32_t k = 0;
        uint32_t line_errors = 0;
        if (brk) {
            // A break reads as a NUL byte, as a raw tty and the Windows driver deliver it.
            dst.break_at = t + uint64_t{f.break_ms} * 1000;
            dst.stats.brk++;
            line_errors |= ser::SERIAL_ERROR_BREAK;
            buf[k++] = 0;
        }
        auto every = [](uint32_t period, uint32_t& left) { return period && --left == 0 && (left = period); };
        for (uint32_t i = 0; i < n; i++) {
            uint8_t b = data[i];
            if (f.dropblock) {
                // Whole blocks, as a lost USB packet or tty buffer: the pattern's cycle hides them.
                bool lose = dst.block_left == 1;
                if (++dst.block_pos == 64) {
                    dst.block_pos = 0;
                    if (--dst.block_left == 0) dst.block_left = f.dropblock;
                }
                if (lose) {
                    dst.n.dropped_bytes++;
                    continue;
                }
            }
            if (every(f.drop, dst.drop_left)) {
                dst.n.dropped_bytes++;
                continue;
            }
            if (every(f.overrun, dst.overrun_left)) {
                dst.stats.overrun++;
                line_errors |= ser::SERIAL_ERROR_OVERRUN;
                continue;
            }
            bool noisy = false;
            if (every(f.noise, dst.noise_left)) {
                dst.n.noise_bytes++;
                noisy = true;
            }
            if (every(f.frame, dst.frame_left) || word_mismatch) {
                dst.stats.frame++;
                line_errors |= ser::SERIAL_ERROR_FRAMING;
                noisy = true;
            }
            if (every(f.parity, dst.parity_left) || parity_mismatch) {
                dst.stats.parity++;
                line_errors |= ser::SERIAL_ERROR_PARITY;
                noisy = true;
            }
            if (noisy) b ^= 0x40;
            b &= mask;  // the bits of a word beyond its length never reach the line
            if (auto_tx && (b == xon_char || b == xoff_char)) {
                dst.xoff_received = b == xoff_char;
                continue;
            }
            if (noisy) dst.noisy_pos.push_back(dst.accept_seq + k);
            buf[k++] = b;
        }
        data = buf;
        n = k;
        if (line_errors) {
            dst.errors |= line_errors;
            raise_event(dst, ser::SERIAL_EV_ERR);
        }
    }
    accept(dst, data, n, t);
}

void core::accept(port_state& p, const uint8_t* data, uint32_t n, uint64_t t) {
    if (n == 0) return;
    uint32_t pos = 0;
    // Straight into the waiting read unless older bytes wait in the queue (or the driver is slow).
    if (!p.faults.slow && p.q_count == 0) {
        while (pos < n && !p.reads.empty()) {
            read_req& r = p.reads.front();
            uint32_t k = std::min(n - pos, r.len - r.got);
            std::memcpy(r.buf + r.got, data + pos, k);
            take_noise(p, r, k);
            r.got += k;
            r.last_byte_us = t;
            pos += k;
            p.accept_seq += k;
            p.n.delivered += k;
            if (r.got < r.len && (!r.any_byte || catching_up_)) break;
            finish_read(p, 0);
        }
    }
    if (pos < n) {
        uint32_t rest = n - pos;
        uint32_t k = std::min(rest, static_cast<uint32_t>(p.q.size()) - p.q_count);
        q_put(p, data + pos, k);
        p.q_peak = std::max(p.q_peak, p.q_count);
        p.accept_seq += k;
        if (k < rest) {
            p.n.lost += rest - k;
            while (!p.noisy_pos.empty() && p.noisy_pos.back() >= p.accept_seq) p.noisy_pos.pop_back();
            p.errors |= ser::SERIAL_ERROR_QUEUEOVERRUN;
            if (!p.overflowing) {
                p.overflowing = true;
                p.n.overruns++;
                p.stats.buf_overrun++;
                raise_event(p, ser::SERIAL_EV_ERR);
            }
        } else {
            p.overflowing = false;
        }
    } else {
        p.overflowing = false;
    }
    update_rx_flow(p, t);
}

void core::update_rx_flow(port_state& p, uint64_t t) {
    if (!live(p)) return;
    int64_t low = std::clamp<int64_t>(p.hf.XonLimit, 0, static_cast<int64_t>(p.q.size()));
    int64_t count = p.q_count;
    if (!p.rx_hold && count >= high_mark(p))
        p.rx_hold = true;
    else if (p.rx_hold && count <= low)
        p.rx_hold = false;
    bool want_xoff = p.rx_hold && (p.hf.FlowReplace & ser::SERIAL_AUTO_RECEIVE);
    if (want_xoff != p.xoff_sent) {
        p.xoff_sent = want_xoff;  // before sending: the character may come straight back to us
        send_flow(p, want_xoff ? xoff_char : xon_char, t);
    }
}

void core::send_flow(port_state& p, uint8_t c, uint64_t t) {
    // Sent ahead of queued data at once; its character time is paid from the data's later credit.
    p.n.tx_bytes++;
    if (!p.writes.empty()) p.tx_debt++;
    if (port_state* dst = route(p)) deliver(p, *dst, &c, 1, t);
}

// ---- Reception into reads -------------------------------------------------------------------------

void core::advance_slow(port_state& p, uint64_t t) {
    if (!p.faults.slow) return;
    uint64_t elapsed = t > p.slow_last ? t - p.slow_last : 0;
    p.slow_last = t;
    if (p.q_count == 0 || p.reads.empty()) {
        p.slow_frac = 0;
        p.slow_credit = 0;
        return;
    }
    uint64_t num = elapsed * p.faults.slow + p.slow_frac;
    p.slow_credit += num / 1'000'000;
    p.slow_frac = num % 1'000'000;
}

uint32_t core::from_queue(port_state& p, read_req& r, uint64_t limit, uint64_t t) {
    uint32_t k = static_cast<uint32_t>(std::min<uint64_t>({p.q_count, r.len - r.got, limit}));
    if (k == 0) return 0;
    q_get(p, r.buf + r.got, k);
    take_noise(p, r, k);
    r.got += k;
    r.last_byte_us = t;
    p.n.delivered += k;
    if (p.faults.slow) p.slow_credit -= std::min<uint64_t>(p.slow_credit, k);
    return k;
}

void core::serve_reads(port_state& p, uint64_t t) {
    bool moved = false;
    while (!p.reads.empty()) {
        read_req& r = p.reads.front();
        if (p.q_count) moved |= from_queue(p, r, p.faults.slow ? p.slow_credit : never, t) > 0;
        bool due = (r.any_byte && r.got) || t >= r.total_deadline ||
                   (r.interval_us && r.got && t >= r.last_byte_us + r.interval_us);
        if (r.got < r.len && (!due || catching_up_)) break;
        finish_read(p, 0);
    }
    if (moved) update_rx_flow(p, t);
}

void core::count_read(port_state& p, const read_req& r) {
    if (r.noisy) p.n.noise_reads++;
    if (r.got && r.last_noisy) p.n.noise_tail_reads++;
}

void core::finish_read(port_state& p, uint32_t status) {
    read_req r = p.reads.front();
    p.reads.pop_front();
    count_read(p, r);
    ser::complete(r.ov, status, r.got);
}

void core::raise_event(port_state& p, uint32_t ev) {
    if (!(p.wait_mask & ev)) return;
    if (p.wait_ov) {
        uint32_t got = ev & p.wait_mask;
        std::memcpy(p.wait_out, &got, sizeof got);
        ser::complete(std::exchange(p.wait_ov, nullptr), 0, sizeof got);
    } else {
        p.history |= ev;
    }
}

// ---- Aborts ---------------------------------------------------------------------------------------

void core::clear_queue(port_state& p) {
    uint64_t end = p.consume_seq + p.q_count;
    while (!p.noisy_pos.empty() && p.noisy_pos.front() < end) p.noisy_pos.pop_front();
    p.consume_seq = end;
    p.q_head = p.q_count = 0;
    p.overflowing = false;
}

void core::abort_all(port_state& p, uint32_t status) {
    while (!p.writes.empty()) {
        write_req w = p.writes.front();
        p.writes.pop_front();
        ser::complete(w.ov, status, w.sent);
    }
    p.out_bytes = 0;
    p.tx_debt = 0;
    while (!p.reads.empty()) finish_read(p, status);
    if (p.wait_ov) ser::complete(std::exchange(p.wait_ov, nullptr), status, 0);
    for (hang_req* h : p.hangs) {
        h->status = status;
        h->released = true;
        kern::set_event(h->ev);
    }
    p.hangs.clear();
    for (ser::overlapped* ov : p.hung_status) ser::complete(ov, status, 0);
    p.hung_status.clear();
}

void core::unplug(port_state& p) {
    abort_all(p, kern::err::device_not_connected);
    clear_queue(p);
    p.unplugged = true;
    p.rx_hold = p.xoff_sent = p.xoff_received = false;
}

void core::purge(port_state& p, uint32_t mask, uint64_t now) {
    if (mask & (ser::SERIAL_PURGE_TXABORT | ser::SERIAL_PURGE_TXCLEAR)) {
        while (!p.writes.empty()) {
            write_req w = p.writes.front();
            p.writes.pop_front();
            ser::complete(w.ov, kern::err::operation_aborted, w.sent);
        }
        p.out_bytes = 0;
        p.tx_debt = 0;
    }
    if (mask & ser::SERIAL_PURGE_RXABORT)
        while (!p.reads.empty()) finish_read(p, kern::err::operation_aborted);
    if (mask & ser::SERIAL_PURGE_RXCLEAR) {
        clear_queue(p);
        update_rx_flow(p, now);
    }
}

// ---- Opening, closing, observation ------------------------------------------------------------------

void core::close_port(port_state& p) {
    abort_all(p, kern::err::operation_aborted);
    clear_queue(p);
    p.open = false;
    p.unplugged = false;
    p.rx_hold = p.xoff_sent = p.xoff_received = false;
    active_.erase(std::remove(active_.begin(), active_.end(), &p), active_.end());
}

void core::set_faults(port_state& p, const cfg::faults& f, uint64_t now) {
    p.faults = f;
    p.noise_left = f.noise;
    p.drop_left = f.drop;
    reset_fault_counts(p, now);
    p.slow_last = now;
    p.slow_frac = p.slow_credit = 0;
    if (live(p)) {
        // Set while running, an unplug time counts from now.
        p.unplug_at = f.unplug_ms >= 0 ? now + static_cast<uint64_t>(f.unplug_ms) * 1000 : never;
        if (p.unplug_at <= now) unplug(p);
    }
}

port_snapshot core::snapshot(int number) {
    port_snapshot s;
    s.time_us = last_step_;
    port_state* p = get(number);
    if (!p) return s;
    s.exists = !p->faults.missing;
    s.open = p->open;
    s.opens = p->opens;
    s.baud = p->baud;
    s.handflow = p->hf;
    s.timeouts = p->to;
    s.internal_loopback = p->loopback;
    s.dtr = dtr_on(*p);
    s.rts = rts_on(*p);
    if (const port_state* src = route(*p); src && live(*p)) {
        s.dsr = dtr_on(*src);
        s.cts = rts_on(*src);
    }
    s.wait_mask = p->wait_mask;
    s.hold_reasons = live(*p) ? hold_reasons(*p) : 0;
    s.in_queue = p->q_count;
    s.out_queue = static_cast<uint32_t>(std::min<uint64_t>(p->out_bytes, UINT32_MAX));
    s.errors = p->errors;
    s.tx_bytes = p->n.tx_bytes;
    s.rx_bytes = p->n.rx_bytes;
    s.delivered = p->n.delivered;
    s.lost = p->n.lost;
    s.overruns = p->n.overruns;
    s.noise_bytes = p->n.noise_bytes;
    s.dropped_bytes = p->n.dropped_bytes;
    s.noise_reads = p->n.noise_reads;
    s.noise_tail_reads = p->n.noise_tail_reads;
    s.stats = {p->stats.rx,      p->stats.tx,          p->stats.frame,
               p->stats.overrun, p->stats.buf_overrun, p->stats.parity};
    s.breaks = p->stats.brk;
    s.pending_reads = static_cast<uint32_t>(p->reads.size());
    s.pending_writes = static_cast<uint32_t>(p->writes.size());
    s.pending_waits = p->wait_ov ? 1 : 0;
    return s;
}

void core::shut_down() {
    stopping = true;
    for (port_state* p : std::vector<port_state*>(active_)) close_port(*p);
    cv.notify_all();
}

// ---- The board as a backend ---------------------------------------------------------------------

struct board::impl final : ser::backend {
    std::shared_ptr<core> c;
    std::thread service;

    bool claims(const char* path) const override {
        return path && std::strncmp(path, path_prefix, prefix_len) == 0;
    }

    std::shared_ptr<ser::port> open(const char* path) override {
        // A decimal number with no sign and no leading zero; nine digits at most.
        const char* digits = path + prefix_len;
        size_t len = std::strlen(digits);
        bool ok = len >= 1 && len <= 9 && digits[0] != '0';
        int number = 0;
        for (size_t i = 0; ok && i < len; i++) {
            ok = digits[i] >= '0' && digits[i] <= '9';
            number = number * 10 + (digits[i] - '0');
        }
        if (!ok) {
            kern::set_last_error(kern::err::file_not_found);
            return nullptr;
        }
        std::lock_guard lk(c->m);
        return c->open_port(number, c->step_to(kern::now_us()));
    }
};

board::board(const std::string& config) : impl_(std::make_unique<impl>()) {
    impl_->c = std::make_shared<core>(cfg::parse(config));
    impl_->service = std::thread([c = impl_->c.get()] { c->run_service(); });
    ser::register_backend(impl_.get());
}

board::~board() {
    ser::unregister_backend(impl_.get());
    {
        std::lock_guard lk(impl_->c->m);
        impl_->c->shut_down();  // ports left open are closed: their handles are refused from now on
    }
    impl_->service.join();
}

port_snapshot board::snapshot(int port_number) const {
    std::lock_guard lk(impl_->c->m);
    impl_->c->step_to(kern::now_us());
    return impl_->c->snapshot(port_number);
}

void board::set_faults(int port_number, const std::string& faults) {
    std::string compact;
    for (char ch : faults)
        if (ch != ' ' && ch != '\t') compact += ch;
    cfg::faults f;
    cfg::parse_faults(compact, f, compact);
    std::lock_guard lk(impl_->c->m);
    port_state* p = impl_->c->get(port_number);
    if (!p) throw std::invalid_argument("virtual board: no port " + std::to_string(port_number));
    uint64_t now = impl_->c->step_to(kern::now_us());
    impl_->c->set_faults(*p, f, now);
    impl_->c->reschedule();
}

}  // namespace vboard
