#include "platform/serial/termios/tty_errors.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cstring>
#include <utility>

#include "platform/serial/backend.h"

namespace ser::tty {

bool read_counters(int fd, counters* c) {
    serial_icounter_struct ic{};
    if (::ioctl(fd, TIOCGICOUNT, &ic) != 0) return false;
    c->frame = static_cast<uint32_t>(ic.frame);
    c->overrun = static_cast<uint32_t>(ic.overrun);
    c->parity = static_cast<uint32_t>(ic.parity);
    c->brk = static_cast<uint32_t>(ic.brk);
    c->buf_overrun = static_cast<uint32_t>(ic.buf_overrun);
    return true;
}

error_watch::error_watch(int fd, bool has_counters) : fd_(fd), has_counters_(has_counters) {
    if (has_counters_ && read_counters(fd_, &wait_base_)) status_base_ = wait_base_;
}

void error_watch::set_mask(uint32_t mask) {
    if (ov_) {
        uint32_t none = 0;
        std::memcpy(out_, &none, sizeof none);
        complete(std::exchange(ov_, nullptr), 0, sizeof none);
    }
    mask_ = mask;
    if (has_counters_) read_counters(fd_, &wait_base_);
}

bool error_watch::start_wait(overlapped* ov, void* out, uint32_t out_size, uint32_t* returned, uint64_t now) {
    if (!ov || !out || out_size < 4 || mask_ == 0 || ov_) {
        kern::set_last_error(kern::err::invalid_parameter);
        return false;
    }
    {
        std::lock_guard g(status_m_);
        event_overrun_ = false;
    }
    ov_ = ov;
    out_ = out;
    check(now);  // errors since the mask was set or the last event count at once
    if (!ov_) {
        if (returned) *returned = 4;
        return true;
    }
    kern::set_last_error(kern::err::io_pending);
    return false;
}

uint64_t error_watch::next_check() const {
    return ov_ && has_counters_ ? next_check_ : UINT64_MAX;
}

void error_watch::check(uint64_t now) {
    next_check_ = now + check_us;
    if (!ov_ || !has_counters_ || !(mask_ & SERIAL_EV_ERR)) return;
    counters c;
    if (!read_counters(fd_, &c) || c.line_errors() == wait_base_.line_errors()) return;
    if (c.buf_overrun != wait_base_.buf_overrun || c.overrun != wait_base_.overrun) {
        std::lock_guard g(status_m_);
        event_overrun_ = true;
    }
    wait_base_ = c;
    uint32_t ev = SERIAL_EV_ERR;
    std::memcpy(out_, &ev, sizeof ev);
    complete(std::exchange(ov_, nullptr), 0, sizeof ev);
}

void error_watch::abort(uint32_t status) {
    if (ov_) complete(std::exchange(ov_, nullptr), status, 0);
}

uint32_t error_watch::status_errors() {
    uint32_t e = 0;
    counters c;
    std::lock_guard g(status_m_);
    if (!has_counters_ || !read_counters(fd_, &c)) return e;
    // Input lost for want of room, in the tty's buffer or in the UART's own FIFO (its interrupt served
    // too late): both are the receive queue overrunning.
    if (event_overrun_ || c.buf_overrun != status_base_.buf_overrun || c.overrun != status_base_.overrun)
        e |= SERIAL_ERROR_QUEUEOVERRUN;
    if (c.overrun != status_base_.overrun) e |= SERIAL_ERROR_OVERRUN;
    if (c.frame != status_base_.frame) e |= SERIAL_ERROR_FRAMING;
    if (c.parity != status_base_.parity) e |= SERIAL_ERROR_PARITY;
    if (c.brk != status_base_.brk) e |= SERIAL_ERROR_BREAK;
    status_base_ = c;
    return e;
}

}  // namespace ser::tty
