// A tty port's entry points: requests, their dispatch and completion, purge, close.
#include "platform/serial/termios/tty_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

namespace ser::tty {

bool tty_port::ioctl(uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                     uint32_t* returned, overlapped* ov) {
    if (code == IOCTL_SERIAL_GET_COMMSTATUS) return status(out, out_size, returned, ov);
    if (code == IOCTL_GET_INPUT_PEAK) return input_peak(out, out_size, returned, ov);
    std::unique_lock lk(m_);
    // Only a purge ends queued requests, and so waits for the service thread's device call; every
    // other request goes by with the mutex alone. The monitor's status request must not queue
    // behind a busy line's I/O: on a loaded machine its sweep over the ports would take seconds.
    if (code == IOCTL_SERIAL_PURGE) quiesce(lk);
    if (!usable()) return false;
    bool ok = request(lk, code, in, in_size, out, out_size, returned, ov);
    reschedule();
    publish();
    return ok;
}

bool tty_port::read(void* buf, uint32_t len, uint32_t* count, overlapped* ov) {
    if (!ov) return sync(true, buf, len, count);
    std::unique_lock lk(m_);
    if (!usable()) return false;
    bool ok = start_read(lk, static_cast<uint8_t*>(buf), len, count, ov);
    reschedule();
    publish();
    return ok;
}

bool tty_port::write(const void* buf, uint32_t len, uint32_t* count, overlapped* ov) {
    if (!ov) return sync(false, const_cast<void*>(buf), len, count);
    std::unique_lock lk(m_);
    if (!usable()) return false;
    bool ok = start_write(lk, static_cast<const uint8_t*>(buf), len, count, ov);
    reschedule();
    publish();
    return ok;
}

void tty_port::close() {
    std::unique_lock lk(m_);
    if (closed_) return;
    quiesce(lk);
    closed_ = true;
    abort_all(kern::err::operation_aborted);
    stopping_ = true;
    wake();
    lk.unlock();
    if (service_.joinable()) service_.join();
    lk.lock();
    // Pending output is dropped first: a line held by flow control would otherwise hold the close.
    ::tcflush(fd_, TCIOFLUSH);
    bool wait_dropped = drop_closing_wait();
    ttysys::set_settings(fd_, saved_);
    if (lines_.has_lines()) ::ioctl(fd_, TIOCMSET, &saved_lines_);
    // The exclusive flag outlives this descriptor while someone else keeps the tty open: ours is
    // cleared (nobody else's ever is), then the flock goes with the descriptor, then the lock file.
    claim_.drop_excl(fd_);
    {
        std::unique_lock fl(fd_m_);  // no status request is using the descriptor
        ::close(fd_);
        ::close(wake_fd_);
        fd_ = wake_fd_ = -1;
    }
    claim_.release(-1);
    if (wait_dropped) restore_closing_wait();
}

bool tty_port::drop_closing_wait() {
    int outq = 0;
    if (::ioctl(fd_, TIOCOUTQ, &outq) != 0 || outq <= 0) return false;
    if (::ioctl(fd_, TIOCGSERIAL, &closing_) != 0 || closing_.closing_wait == ASYNC_CLOSING_WAIT_NONE)
        return false;
    serial_struct none = closing_;
    none.closing_wait = ASYNC_CLOSING_WAIT_NONE;
    // Only root may change it on most drivers: others then wait as the driver does.
    return ::ioctl(fd_, TIOCSSERIAL, &none) == 0;
}

void tty_port::restore_closing_wait() {
    // The driver keeps the setting with the device, not with the descriptor: put it back for the next
    // user. The close has ended the output in flight, so this second close does not wait. Like every
    // open, this one raises DTR and RTS until its close.
    int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    int outq = 0;
    if (::ioctl(fd, TIOCOUTQ, &outq) == 0 && outq == 0) ::ioctl(fd, TIOCSSERIAL, &closing_);
    ::close(fd);
}

termios_port_stats tty_port::stats() {
    std::lock_guard lk(m_);
    termios_port_stats s;
    s.dead = dead_;
    s.modem_lines = lines_.has_lines();
    s.error_counters = errors_.has_counters();
    s.pending_reads = static_cast<uint32_t>(reads_.size());
    s.pending_writes = static_cast<uint32_t>(writes_.size());
    s.pending_waits = errors_.pending() ? 1 : 0;
    s.wakeups = wakeups_;
    s.rx_bytes = rx_bytes_;
    s.tx_bytes = tx_bytes_;
    return s;
}

void tty_port::quiesce(std::unique_lock<std::mutex>& lk) {
    if (io_busy_) {
        ++quiescing_;
        io_idle_.wait(lk, [this] { return !io_busy_; });
        --quiescing_;
    }
    for (const finished& f : finished_) complete(f.ov, f.status, f.bytes);
    finished_.clear();
}

void tty_port::deliver_finished(std::unique_lock<std::mutex>& lk) {
    if (finished_.empty()) return;
    delivering_.swap(finished_);
    unlocked_io(lk, [this] {
        for (const finished& f : delivering_) complete(f.ov, f.status, f.bytes);
        return 0;
    });
    delivering_.clear();
}

bool tty_port::usable() const {
    if (closed_) return refuse(kern::err::invalid_handle);
    if (dead_) return refuse(kern::err::device_not_connected);
    return true;
}

bool tty_port::done(overlapped* ov, uint32_t* returned, uint32_t bytes) {
    if (returned) *returned = bytes;
    if (ov) complete(ov, 0, bytes);
    return true;
}

bool tty_port::fail(std::unique_lock<std::mutex>& lk, int e) {
    if (vanished(e)) {
        quiesce(lk);
        vanish();
        return refuse(kern::err::device_not_connected);
    }
    return refuse(kern::err::invalid_parameter);
}

void tty_port::abort_all(uint32_t status) {
    while (!writes_.empty()) {
        write_req w = writes_.front();
        writes_.pop_front();
        complete(w.ov, status, w.sent);
    }
    out_bytes_ = 0;
    while (!reads_.empty()) finish_read(status);
    errors_.abort(status);
}

void tty_port::vanish() {
    if (dead_) return;
    dead_ = true;
    abort_all(kern::err::device_not_connected);
}

void tty_port::finish_read(uint32_t status) {
    read_req r = reads_.front();
    reads_.pop_front();
    complete(r.ov, status, r.got);
}

void tty_port::cancel(const overlapped* ov) {
    for (auto it = writes_.begin(); it != writes_.end(); ++it)
        if (it->ov == ov) {
            out_bytes_ -= it->len - it->sent;
            writes_.erase(it);
            return;
        }
    for (auto it = reads_.begin(); it != reads_.end(); ++it)
        if (it->ov == ov) {
            reads_.erase(it);
            return;
        }
}

bool tty_port::sync(bool is_read, void* buf, uint32_t len, uint32_t* count) {
    overlapped o{0, 0, kern::create_event(true, false)};
    if (!o.hEvent) return false;
    mark_pending(&o);  // the dispatch layer marks only the records it is given
    // Also when a terminated thread is unwound through the wait: the record lives on this stack.
    struct cleanup {
        tty_port& p;
        overlapped& o;
        ~cleanup() {
            {
                std::unique_lock g(p.m_);
                p.quiesce(g);
                p.cancel(&o);
            }
            kern::close_event(o.hEvent);
        }
    } guard{*this, o};
    {
        std::unique_lock lk(m_);
        if (!usable()) return false;
        bool ok = is_read ? start_read(lk, static_cast<uint8_t*>(buf), len, count, &o)
                          : start_write(lk, static_cast<const uint8_t*>(buf), len, count, &o);
        reschedule();
        publish();
        if (ok) return true;
        if (kern::last_error() != kern::err::io_pending) return false;
    }
    return ser::wait_record(&o, count);
}

bool tty_port::request(std::unique_lock<std::mutex>& lk, uint32_t code, const void* in, uint32_t in_size,
                       void* out, uint32_t out_size, uint32_t* returned, overlapped* ov) {
    auto input = [&](uint32_t size) { return in && in_size >= size; };
    auto output = [&](uint32_t size) { return out && out_size >= size; };
    switch (code) {
        case IOCTL_SERIAL_SET_BAUD_RATE: {
            if (!input(4) || u32(in) == 0) break;  // rate 0 would hang the line up
            uint32_t baud = u32(in), actual = 0;
            ttysys::settings before;
            if (int e = ttysys::get_settings(fd_, &before)) return fail(lk, e);
            if (int e = ttysys::set_baud(fd_, baud, &actual)) {
                ttysys::set_settings(fd_, before);
                return fail(lk, e);
            }
            if (std::fabs(static_cast<double>(actual) - baud) > baud * baud_tolerance) {
                // The driver silently chose another rate: refused, and left at the driver's
                // choice so that GET_BAUD_RATE can tell which (the close puts everything back).
                break;
            }
            return done(ov, returned, 0);
        }
        case IOCTL_SERIAL_SET_LINE_CONTROL: {
            SERIAL_LINE_CONTROL lc;
            if (!input(sizeof lc)) break;
            std::memcpy(&lc, in, sizeof lc);
            // Linux has no 1.5 stop bits; anything else the driver does not keep is refused too,
            // left as the driver kept it so that GET_LINE_CONTROL tells (the close puts it back).
            if (lc.StopBits == STOP_BITS_1_5 || lc.StopBits > STOP_BITS_2) break;
            ttysys::format want{lc.WordLength, lc.Parity, lc.StopBits == STOP_BITS_2}, kept;
            if (int e = ttysys::set_format(fd_, want)) {
                if (e == EINVAL) break;
                return fail(lk, e);
            }
            if (int e = ttysys::get_format(fd_, &kept)) return fail(lk, e);
            if (!(kept == want)) break;
            return done(ov, returned, 0);
        }
        case IOCTL_SERIAL_GET_LINE_CONTROL: {
            ttysys::format f;
            if (!output(sizeof(SERIAL_LINE_CONTROL))) break;
            if (int e = ttysys::get_format(fd_, &f)) return fail(lk, e);
            SERIAL_LINE_CONTROL lc{f.two_stop ? STOP_BITS_2 : STOP_BIT_1, static_cast<uint8_t>(f.parity),
                                   static_cast<uint8_t>(f.data)};
            std::memcpy(out, &lc, sizeof lc);
            return done(ov, returned, sizeof lc);
        }
        case IOCTL_SERIAL_GET_BAUD_RATE: {
            uint32_t now = 0;
            if (!output(4)) break;
            if (int e = ttysys::get_baud(fd_, &now)) return fail(lk, e);
            std::memcpy(out, &now, 4);
            return done(ov, returned, 4);
        }
        case IOCTL_SERIAL_GET_STATS: {
            // TIOCGICOUNT; drivers without it (ptys, some USB adapters) keep no error counts.
            tty::counters c;
            if (!output(sizeof(SERIALPERF_STATS)) || !tty::read_counters(fd_, &c)) break;
            SERIALPERF_STATS st{0, 0, c.frame, c.overrun, c.buf_overrun, c.parity};
            std::memcpy(out, &st, sizeof st);
            return done(ov, returned, sizeof st);
        }
        case IOCTL_SERIAL_GET_PROPERTIES: {
            if (!output(offsetof(SERIAL_COMMPROP, ProvChar))) break;
            SERIAL_COMMPROP pr{};
            pr.PacketLength = sizeof pr;
            pr.PacketVersion = 2;
            pr.ServiceMask = SERIAL_SP_SERIALCOMM;
            pr.ProvSubType = SERIAL_SP_RS232;
            pr.MaxRxQueue = pr.CurrentRxQueue = input_queue_size;
            uint32_t size = std::min<uint32_t>(out_size, sizeof pr);
            std::memcpy(out, &pr, size);
            return done(ov, returned, size);
        }
        case IOCTL_GET_BREAK_COUNT: {
            tty::counters c;
            if (!output(4) || !tty::read_counters(fd_, &c)) break;
            std::memcpy(out, &c.brk, 4);
            return done(ov, returned, 4);
        }
        case IOCTL_SET_INTERNAL_LOOPBACK:
        case IOCTL_CLEAR_INTERNAL_LOOPBACK: {
            int e = lines_.set_loopback(code == IOCTL_SET_INTERNAL_LOOPBACK);
            if (e < 0) break;
            if (e) return fail(lk, e);
            return done(ov, returned, 0);
        }
        case IOCTL_SERIAL_SET_TIMEOUTS:
            if (!input(sizeof to_)) break;
            std::memcpy(&to_, in, sizeof to_);
            return done(ov, returned, 0);
        case IOCTL_SERIAL_SET_WAIT_MASK: {
            if (!input(4)) break;
            errors_.set_mask(u32(in));
            return done(ov, returned, 0);
        }
        case IOCTL_SERIAL_WAIT_ON_MASK:
            return errors_.start_wait(ov, out, out_size, returned, kern::now_us());
        case IOCTL_SERIAL_PURGE: {
            if (!input(4)) break;
            uint32_t mask = u32(in);
            constexpr uint32_t known =
                SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
            if (mask & ~known) break;
            if (mask & (SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR)) {
                // Pending writes are this port's output queue: both flags end them.
                while (!writes_.empty()) {
                    write_req w = writes_.front();
                    writes_.pop_front();
                    complete(w.ov, kern::err::operation_aborted, w.sent);
                }
                out_bytes_ = 0;
            }
            if (mask & SERIAL_PURGE_RXABORT)
                while (!reads_.empty()) finish_read(kern::err::operation_aborted);
            int flush = -1;
            if ((mask & SERIAL_PURGE_TXCLEAR) && (mask & SERIAL_PURGE_RXCLEAR))
                flush = TCIOFLUSH;
            else if (mask & SERIAL_PURGE_TXCLEAR)
                flush = TCOFLUSH;
            else if (mask & SERIAL_PURGE_RXCLEAR)
                flush = TCIFLUSH;
            if (flush >= 0 && ::tcflush(fd_, flush) != 0) return fail(lk, errno);
            if (mask & SERIAL_PURGE_RXCLEAR) ahead_head_ = ahead_count_ = 0;
            if (mask & SERIAL_PURGE_TXCLEAR) tx_empty_ = true, tx_filled_ = 0;
            if (mask & SERIAL_PURGE_RXCLEAR) lines_.check_input_level(ahead_count_);
            return done(ov, returned, 0);
        }
        case IOCTL_SERIAL_GET_HANDFLOW: {
            if (!output(sizeof(SERIAL_HANDFLOW))) break;
            SERIAL_HANDFLOW h = lines_.handflow();
            std::memcpy(out, &h, sizeof h);
            return done(ov, returned, sizeof h);
        }
        case IOCTL_SERIAL_SET_HANDFLOW: {
            if (!input(sizeof(SERIAL_HANDFLOW))) break;
            SERIAL_HANDFLOW h;
            std::memcpy(&h, in, sizeof h);
            uint64_t now = kern::now_us();
            if (int e = lines_.set_handflow(h, now, ahead_count_))
                return e < 0 ? refuse(kern::err::invalid_parameter) : fail(lk, e);
            // Held output is looked at again under the new rules at once.
            if (lines_.unhold()) tx_.next_pass = now;
            return done(ov, returned, 0);
        }
        default:
            break;
    }
    return refuse(kern::err::invalid_parameter);
}

bool tty_port::status(void* out, uint32_t out_size, uint32_t* returned, overlapped* ov) {
    if (closed_) return refuse(kern::err::invalid_handle);
    if (dead_) return refuse(kern::err::device_not_connected);
    if (!out || out_size < sizeof(SERIAL_STATUS)) return refuse(kern::err::invalid_parameter);
    std::shared_lock fl(fd_m_);
    if (fd_ < 0) return refuse(kern::err::invalid_handle);
    SERIAL_STATUS s{};
    s.Errors = errors_.status_errors();
    s.HoldReasons = lines_.hold_reasons();
    int inq = 0;
    if (::ioctl(fd_, FIONREAD, &inq) != 0) {
        int e = errno;
        fl.unlock();
        std::unique_lock lk(m_);
        return fail(lk, e);
    }
    s.AmountInInQueue = static_cast<uint32_t>(std::max(inq, 0)) + ahead_pub_.load(std::memory_order_relaxed);
    s.AmountInOutQueue = static_cast<uint32_t>(
        std::min<uint64_t>(driver_out_queue() + out_pub_.load(std::memory_order_relaxed), UINT32_MAX));
    std::memcpy(out, &s, sizeof s);
    return done(ov, returned, sizeof s);
}

uint64_t tty_port::driver_out_queue() {
    uint64_t given = tx_pub_.load(std::memory_order_relaxed);
    int outq = 0;
    if (::ioctl(fd_, TIOCOUTQ, &outq) != 0) return 0;
    if (outq <= 0) {
        // Empty now: whatever it took before this call has gone.
        uint64_t seen = tx_at_empty_.load(std::memory_order_relaxed);
        while (seen < given && !tx_at_empty_.compare_exchange_weak(seen, given, std::memory_order_relaxed)) {
        }
        return 0;
    }
    // Read again after the call: what was taken meanwhile may be in the count as well.
    given = tx_pub_.load(std::memory_order_relaxed);
    uint64_t at_empty = tx_at_empty_.load(std::memory_order_relaxed);
    return std::min<uint64_t>(uint64_t(outq), given > at_empty ? given - at_empty : 0);
}

bool tty_port::input_peak(void* out, uint32_t out_size, uint32_t* returned, overlapped* ov) {
    if (closed_) return refuse(kern::err::invalid_handle);
    if (dead_) return refuse(kern::err::device_not_connected);
    if (!out || out_size < 4) return refuse(kern::err::invalid_parameter);
    uint32_t now = ahead_pub_.load(std::memory_order_relaxed);
    uint32_t peak = std::max(ahead_peak_.exchange(now, std::memory_order_relaxed), now);
    std::memcpy(out, &peak, 4);
    return done(ov, returned, 4);
}

void tty_port::publish() {
    ahead_pub_.store(ahead_count_, std::memory_order_relaxed);
    // Bytes the device took leave out_bytes_ as they join tx_bytes_: counted twice for a moment rather
    // than not at all.
    tx_pub_.store(tx_bytes_, std::memory_order_relaxed);
    out_pub_.store(out_bytes_, std::memory_order_relaxed);
}

}  // namespace ser::tty
