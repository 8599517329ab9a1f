// Requests on the virtual board's ports: the port objects behind the handles, and the serial requests
// as the board's driver answers them.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <utility>

#include "platform/serial/virtual/vboard_core.h"

namespace vboard {
namespace {

bool refuse(uint32_t code) {
    kern::set_last_error(code);
    return false;
}

// The record was marked in flight by the dispatch layer before the request reached the board, so
// the service thread may already have completed it by now.
bool go_pending(ser::overlapped*) {
    return refuse(kern::err::io_pending);
}

// Completed at once: the count to the caller and, with a record, its status and event as well.
bool done(ser::overlapped* ov, uint32_t* returned, uint32_t bytes) {
    if (returned) *returned = bytes;
    if (ov) ser::complete(ov, 0, bytes);
    return true;
}

uint32_t refuse_bit_of(uint32_t code) {
    switch (code) {
        case ser::IOCTL_SERIAL_SET_BAUD_RATE:
            return cfg::refuse_baud;
        case ser::IOCTL_SET_INTERNAL_LOOPBACK:
        case ser::IOCTL_CLEAR_INTERNAL_LOOPBACK:
            return cfg::refuse_loopback;
        case ser::IOCTL_SERIAL_SET_TIMEOUTS:
            return cfg::refuse_timeouts;
        case ser::IOCTL_SERIAL_SET_WAIT_MASK:
            return cfg::refuse_waitmask;
        case ser::IOCTL_SERIAL_WAIT_ON_MASK:
            return cfg::refuse_waitonmask;
        case ser::IOCTL_SERIAL_PURGE:
            return cfg::refuse_purge;
        case ser::IOCTL_SERIAL_GET_HANDFLOW:
            return cfg::refuse_gethandflow;
        case ser::IOCTL_SERIAL_SET_HANDFLOW:
            return cfg::refuse_sethandflow;
        case ser::IOCTL_SERIAL_GET_COMMSTATUS:
            return cfg::refuse_status;
        case ser::IOCTL_SERIAL_GET_STATS:
        case ser::IOCTL_GET_BREAK_COUNT:
            return cfg::refuse_stats;
        default:
            return 0;
    }
}

uint32_t u32(const void* in) {
    uint32_t v;
    std::memcpy(&v, in, sizeof v);
    return v;
}

class vport final : public ser::port {
  public:
    vport(std::shared_ptr<core> c, port_state* p, uint64_t gen) : c_(std::move(c)), p_(p), gen_(gen) {}

    bool ioctl(uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
               uint32_t* returned, ser::overlapped* ov) override {
        std::unique_lock lk(c_->m);
        if (!usable()) return false;
        c_->step_to(kern::now_us());
        if (code == ser::IOCTL_SERIAL_GET_COMMSTATUS && (p_->faults.status_hang || p_->faults.status_block) &&
            !(p_->faults.refused & cfg::refuse_status) && out && out_size >= sizeof(ser::SERIAL_STATUS)) {
            // A driver that never completes the request: an overlapped one stays pending until the
            // close, or, with status-block, the call itself does not return.
            if (!ov || p_->faults.status_block) return hang(lk);
            p_->hung_status.push_back(ov);
            return go_pending(ov);
        }
        bool ok = c_->ioctl(*p_, code, in, in_size, out, out_size, returned, ov);
        c_->reschedule();
        return ok;
    }

    bool read(void* buf, uint32_t len, uint32_t* count, ser::overlapped* ov) override {
        if (!ov) return sync(true, buf, len, count);
        std::lock_guard lk(c_->m);
        if (!usable()) return false;
        bool ok = c_->read(*p_, buf, len, count, ov, c_->step_to(kern::now_us()));
        c_->reschedule();
        return ok;
    }

    bool write(const void* buf, uint32_t len, uint32_t* count, ser::overlapped* ov) override {
        if (!ov) return sync(false, const_cast<void*>(buf), len, count);
        std::lock_guard lk(c_->m);
        if (!usable()) return false;
        c_->step_to(kern::now_us());
        bool ok = c_->write(*p_, buf, len, count, ov);
        c_->reschedule();
        return ok;
    }

    void close() override {
        std::lock_guard lk(c_->m);
        if (!owned()) return;
        c_->step_to(kern::now_us());
        c_->close_port(*p_);
        c_->reschedule();
    }

  private:
    // This handle's open is still the port's current one (not closed, not replaced by a reopen).
    bool owned() const { return p_->open && p_->gen == gen_; }
    bool usable() const {
        if (!owned()) return refuse(kern::err::invalid_handle);
        if (p_->unplugged) return refuse(kern::err::device_not_connected);
        return true;
    }

    // The status-hang fault: block in a kernel-layer wait, so that the layer can terminate the caller,
    // until the port is closed (or vanishes).
    bool hang(std::unique_lock<std::mutex>& lk) {
        hang_req h;
        h.ev = kern::create_event(true, false);
        if (!h.ev) return false;
        p_->hangs.push_back(&h);
        lk.unlock();
        // Runs also while a terminated thread is unwound through here.
        struct cleanup {
            core& c;
            port_state& p;
            hang_req& h;
            ~cleanup() {
                std::lock_guard g(c.m);
                p.hangs.erase(std::remove(p.hangs.begin(), p.hangs.end(), &h), p.hangs.end());
                kern::close_event(h.ev);
            }
        } guard{*c_, *p_, h};
        uint32_t w = kern::wait_event(h.ev, kern::infinite);
        uint32_t status;
        {
            std::lock_guard g(c_->m);
            status = h.released ? h.status : kern::err::gen_failure;
        }
        if (w != kern::wait_object_0) return false;  // the wait's own error stands
        return refuse(status);
    }

    // A read or write without an overlapped record: in flight on a private record, waited for here.
    bool sync(bool is_read, void* buf, uint32_t len, uint32_t* count) {
        ser::overlapped o{0, 0, kern::create_event(true, false)};
        if (!o.hEvent) return false;
        ser::mark_pending(&o);  // the dispatch layer marks only the records it is given
        // Also when a terminated thread is unwound through the wait: the record lives on this stack.
        struct cleanup {
            core& c;
            port_state& p;
            ser::overlapped& o;
            ~cleanup() {
                {
                    std::lock_guard g(c.m);
                    c.cancel(p, &o);
                }
                kern::close_event(o.hEvent);
            }
        } guard{*c_, *p_, o};
        {
            std::lock_guard lk(c_->m);
            if (!usable()) return false;
            uint64_t now = c_->step_to(kern::now_us());
            bool ok = is_read ? c_->read(*p_, buf, len, count, &o, now) : c_->write(*p_, buf, len, count, &o);
            c_->reschedule();
            if (ok) return true;
            if (kern::last_error() != kern::err::io_pending) return false;
        }
        return ser::wait_record(&o, count);
    }

    std::shared_ptr<core> c_;
    port_state* p_;
    uint64_t gen_;
};

}  // namespace

std::shared_ptr<ser::port> core::open_port(int number, uint64_t now) {
    port_state* p = get(number);
    if (!p || p->faults.missing) {
        kern::set_last_error(kern::err::file_not_found);
        ser::set_open_detail("not found");
        return nullptr;
    }
    if (p->faults.busy || p->open) {
        kern::set_last_error(kern::err::access_denied);
        ser::set_open_detail("in use");
        return nullptr;
    }
    // Every open starts from the driver's defaults, whatever the previous user left behind.
    uint32_t queue = conf.queue;
    p->open = true;
    p->unplugged = false;
    p->gen = next_gen_++;
    p->opens++;
    p->baud = 9600;
    p->lc = {ser::STOP_BIT_1, ser::NO_PARITY, 8};
    p->char_units = char_units_of(p->lc);
    p->hf = {ser::SERIAL_DTR_CONTROL, ser::SERIAL_RTS_CONTROL, static_cast<int32_t>(queue / 2),
             static_cast<int32_t>(queue / 8)};
    p->to = {};
    p->wait_mask = p->history = 0;
    p->loopback = false;
    if (p->q.size() != queue) p->q.assign(queue, 0);
    p->q_head = p->q_count = p->q_peak = 0;
    p->out_bytes = 0;
    p->tx_last = now;
    p->tx_frac = 0;
    p->tx_debt = 0;
    p->rx_hold = p->xoff_sent = p->xoff_received = false;
    p->errors = 0;
    p->overflowing = false;
    p->noise_left = p->faults.noise;
    p->drop_left = p->faults.drop;
    reset_fault_counts(*p, now);
    p->slow_last = now;
    p->slow_frac = p->slow_credit = 0;
    p->accept_seq = p->consume_seq = 0;
    p->noisy_pos.clear();
    p->n = counters{};
    p->unplug_at = p->faults.unplug_ms >= 0 ? now + static_cast<uint64_t>(p->faults.unplug_ms) * 1000 : never;
    active_.push_back(p);
    if (p->unplug_at <= now) unplug(*p);
    reschedule();
    return std::make_shared<vport>(shared_from_this(), p, p->gen);
}

bool core::ioctl(port_state& p, uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                 uint32_t* returned, ser::overlapped* ov) {
    if (p.faults.refused & refuse_bit_of(code)) return refuse(kern::err::invalid_parameter);
    // A driver that says yes and keeps what it had.
    if (p.faults.ignored & refuse_bit_of(code)) return done(ov, returned, 0);
    auto input = [&](uint32_t size) { return in && in_size >= size; };
    auto output = [&](uint32_t size) { return out && out_size >= size; };
    switch (code) {
        case ser::IOCTL_SERIAL_SET_BAUD_RATE: {
            if (!input(4)) break;
            uint32_t baud = u32(in);
            uint32_t limit = conf.maxbaud;
            if (p.faults.maxbaud) limit = std::min(limit, p.faults.maxbaud);
            if (baud == 0) break;
            if (baud > limit) {
                p.baud = limit;  // as a UART at its highest divisor: refused, the limit kept instead
                break;
            }
            p.baud = baud;
            return done(ov, returned, 0);
        }
        case ser::IOCTL_SERIAL_SET_LINE_CONTROL: {
            if (!input(sizeof p.lc)) break;
            ser::SERIAL_LINE_CONTROL lc;
            std::memcpy(&lc, in, sizeof lc);
            // As a 16550 has them: 1.5 stop bits only with 5 data bits, 2 only with 6 to 8.
            if (lc.WordLength < 5 || lc.WordLength > 8 || lc.Parity > ser::SPACE_PARITY ||
                lc.StopBits > ser::STOP_BITS_2)
                break;
            if ((lc.StopBits == ser::STOP_BITS_1_5 && lc.WordLength != 5) ||
                (lc.StopBits == ser::STOP_BITS_2 && lc.WordLength == 5))
                break;
            p.lc = lc;
            p.char_units = char_units_of(lc);
            p.tx_frac = 0;  // credit counted in the old character's units
            return done(ov, returned, 0);
        }
        case ser::IOCTL_SERIAL_GET_LINE_CONTROL:
            if (!output(sizeof p.lc)) break;
            std::memcpy(out, &p.lc, sizeof p.lc);
            return done(ov, returned, sizeof p.lc);
        case ser::IOCTL_SET_INTERNAL_LOOPBACK:
        case ser::IOCTL_CLEAR_INTERNAL_LOOPBACK:
            p.loopback = code == ser::IOCTL_SET_INTERNAL_LOOPBACK;
            return done(ov, returned, 0);
        case ser::IOCTL_SERIAL_SET_TIMEOUTS:
            if (!input(sizeof p.to)) break;
            std::memcpy(&p.to, in, sizeof p.to);
            return done(ov, returned, 0);
        case ser::IOCTL_SERIAL_SET_WAIT_MASK: {
            if (!input(4)) break;
            // A new mask ends the wait in progress, reporting no event.
            if (p.wait_ov) {
                uint32_t none = 0;
                std::memcpy(p.wait_out, &none, sizeof none);
                ser::complete(std::exchange(p.wait_ov, nullptr), 0, sizeof none);
            }
            p.wait_mask = u32(in);
            p.history = 0;
            return done(ov, returned, 0);
        }
        case ser::IOCTL_SERIAL_WAIT_ON_MASK: {
            if (!ov || !output(4) || p.wait_mask == 0 || p.wait_ov) break;
            if (p.history) {
                uint32_t ev = std::exchange(p.history, 0);
                std::memcpy(out, &ev, sizeof ev);
                return done(ov, returned, sizeof ev);
            }
            p.wait_ov = ov;
            p.wait_out = out;
            return go_pending(ov);
        }
        case ser::IOCTL_SERIAL_PURGE: {
            if (!input(4)) break;
            uint32_t mask = u32(in);
            constexpr uint32_t known = ser::SERIAL_PURGE_TXABORT | ser::SERIAL_PURGE_RXABORT |
                                       ser::SERIAL_PURGE_TXCLEAR | ser::SERIAL_PURGE_RXCLEAR;
            if (mask & ~known) break;
            purge(p, mask, last_step_);
            return done(ov, returned, 0);
        }
        case ser::IOCTL_SERIAL_GET_HANDFLOW:
            if (!output(sizeof p.hf)) break;
            std::memcpy(out, &p.hf, sizeof p.hf);
            return done(ov, returned, sizeof p.hf);
        case ser::IOCTL_SERIAL_SET_HANDFLOW:
            if (!input(sizeof p.hf)) break;
            std::memcpy(&p.hf, in, sizeof p.hf);
            if (!(p.hf.FlowReplace & ser::SERIAL_AUTO_TRANSMIT)) p.xoff_received = false;
            update_rx_flow(p, last_step_);
            return done(ov, returned, 0);
        case ser::IOCTL_SERIAL_GET_COMMSTATUS: {
            if (!output(sizeof(ser::SERIAL_STATUS))) break;
            ser::SERIAL_STATUS s{};
            s.Errors = std::exchange(p.errors, 0);
            s.HoldReasons = hold_reasons(p);
            s.AmountInInQueue = p.q_count;
            s.AmountInOutQueue = static_cast<uint32_t>(std::min<uint64_t>(p.out_bytes, UINT32_MAX));
            uint32_t size = p.faults.status16 ? 16 : sizeof s;
            std::memcpy(out, &s, size);
            return done(ov, returned, size);
        }
        case ser::IOCTL_SERIAL_GET_BAUD_RATE: {
            if (!output(sizeof(ser::SERIAL_BAUD_RATE))) break;
            ser::SERIAL_BAUD_RATE b{p.baud};
            std::memcpy(out, &b, sizeof b);
            return done(ov, returned, sizeof b);
        }
        case ser::IOCTL_SERIAL_GET_STATS: {
            if (!output(sizeof(ser::SERIALPERF_STATS))) break;
            ser::SERIALPERF_STATS st{p.stats.rx,      p.stats.tx,          p.stats.frame,
                                     p.stats.overrun, p.stats.buf_overrun, p.stats.parity};
            std::memcpy(out, &st, sizeof st);
            return done(ov, returned, sizeof st);
        }
        case ser::IOCTL_SERIAL_GET_PROPERTIES: {
            if (!output(offsetof(ser::SERIAL_COMMPROP, ProvChar))) break;
            ser::SERIAL_COMMPROP pr{};
            pr.PacketLength = sizeof pr;
            pr.PacketVersion = 2;
            pr.ServiceMask = ser::SERIAL_SP_SERIALCOMM;
            pr.ProvSubType = ser::SERIAL_SP_RS232;
            pr.MaxRxQueue = pr.CurrentRxQueue = static_cast<uint32_t>(p.q.size());
            uint32_t size = std::min<uint32_t>(out_size, sizeof pr);
            std::memcpy(out, &pr, size);
            return done(ov, returned, size);
        }
        case ser::IOCTL_GET_INPUT_PEAK: {
            if (!output(4)) break;
            uint32_t peak = std::exchange(p.q_peak, p.q_count);
            std::memcpy(out, &peak, 4);
            return done(ov, returned, 4);
        }
        case ser::IOCTL_GET_BREAK_COUNT:
            if (!output(4)) break;
            std::memcpy(out, &p.stats.brk, 4);
            return done(ov, returned, 4);
        default:
            break;
    }
    return refuse(kern::err::invalid_parameter);
}

bool core::read(port_state& p, void* buf, uint32_t len, uint32_t* count, ser::overlapped* ov, uint64_t now) {
    if ((p.faults.refused & cfg::refuse_read) || (!buf && len)) return refuse(kern::err::invalid_parameter);
    const ser::SERIAL_TIMEOUTS& to = p.to;
    read_req r{ov, static_cast<uint8_t*>(buf), len};
    bool immediate = to.ReadIntervalTimeout == ser::MAXDWORD && to.ReadTotalTimeoutMultiplier == 0 &&
                     to.ReadTotalTimeoutConstant == 0;
    if (to.ReadIntervalTimeout == ser::MAXDWORD && to.ReadTotalTimeoutMultiplier == ser::MAXDWORD &&
        to.ReadTotalTimeoutConstant > 0 && to.ReadTotalTimeoutConstant < ser::MAXDWORD) {
        r.any_byte = true;
        r.total_deadline = now + uint64_t{to.ReadTotalTimeoutConstant} * 1000;
    } else if (!immediate) {
        uint64_t total_ms = uint64_t{to.ReadTotalTimeoutMultiplier} * len + to.ReadTotalTimeoutConstant;
        if (total_ms) r.total_deadline = now + total_ms * 1000;
        if (to.ReadIntervalTimeout != 0 && to.ReadIntervalTimeout != ser::MAXDWORD)
            r.interval_us = uint64_t{to.ReadIntervalTimeout} * 1000;
    }
    // Reads are served in order: only the first in line takes from the queue.
    if (p.reads.empty() && from_queue(p, r, p.faults.slow ? p.slow_credit : never, now) > 0)
        update_rx_flow(p, now);
    bool at_once = r.got == len || immediate || (r.any_byte && r.got);
    if (at_once) {
        if (count) *count = r.got;
        count_read(p, r);
        ser::complete(ov, 0, r.got);
        return true;
    }
    p.reads.push_back(r);
    return go_pending(ov);
}

bool core::write(port_state& p, const void* buf, uint32_t len, uint32_t* count, ser::overlapped* ov) {
    if ((p.faults.refused & cfg::refuse_write) || (!buf && len)) return refuse(kern::err::invalid_parameter);
    if (len == 0) {
        if (count) *count = 0;
        ser::complete(ov, 0, 0);
        return true;
    }
    p.writes.push_back({ov, static_cast<const uint8_t*>(buf), len});
    p.out_bytes += len;
    return go_pending(ov);
}

void core::cancel(port_state& p, const ser::overlapped* ov) {
    for (auto it = p.writes.begin(); it != p.writes.end(); ++it)
        if (it->ov == ov) {
            p.out_bytes -= it->len - it->sent;
            p.writes.erase(it);
            return;
        }
    for (auto it = p.reads.begin(); it != p.reads.end(); ++it)
        if (it->ov == ov) {
            p.reads.erase(it);
            return;
        }
}

}  // namespace vboard
