#include "platform/serial/termios/tty_lines.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/serial/termios/tty_sys.h"

namespace ser::tty {
namespace {

// Not in glibc's headers: the UART's internal loopback bit of the modem control register.
constexpr int tiocm_loop = 0x8000;

}  // namespace

line_control::line_control(int fd, bool has_lines, uint32_t queue_size, bool can_loop)
    : fd_(fd),
      has_lines_(has_lines),
      can_loop_(can_loop),
      queue_size_(queue_size),
      hf_{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, static_cast<int32_t>(queue_size / 2),
          static_cast<int32_t>(queue_size / 8)},
      hs_pub_(hf_.ControlHandShake),
      fr_pub_(hf_.FlowReplace) {}

int line_control::set_line(int bit, bool on) const {
    return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? 0 : errno;
}

int line_control::set_handflow(const SERIAL_HANDFLOW& h, uint64_t now, uint32_t queued) {
    uint32_t dtr = h.ControlHandShake & SERIAL_DTR_MASK;
    uint32_t rts = h.FlowReplace & SERIAL_RTS_MASK;
    bool needs_lines =
        dtr == SERIAL_DTR_HANDSHAKE || (h.ControlHandShake & (SERIAL_DSR_HANDSHAKE | SERIAL_DCD_HANDSHAKE));
    if (needs_lines && !has_lines_) return -1;
    ttysys::flow f;
    f.rtscts = (h.ControlHandShake & SERIAL_CTS_HANDSHAKE) || rts == SERIAL_RTS_HANDSHAKE;
    f.ixon = h.FlowReplace & SERIAL_AUTO_TRANSMIT;
    f.ixoff = h.FlowReplace & SERIAL_AUTO_RECEIVE;
    if (int e = ttysys::set_flow(fd_, f)) return e;
    if (has_lines_) {  // without modem lines the levels are stored only
        bool dtr_on = dtr == SERIAL_DTR_CONTROL || (dtr == SERIAL_DTR_HANDSHAKE && !dtr_dropped_);
        if (int e = set_line(TIOCM_DTR, dtr_on)) return e;
        // Under RTS/CTS handshaking the driver drives RTS itself.
        if (!f.rtscts)
            if (int e = set_line(TIOCM_RTS, rts != 0)) return e;
    }
    hf_ = h;
    hs_pub_.store(h.ControlHandShake, std::memory_order_relaxed);
    fr_pub_.store(h.FlowReplace, std::memory_order_relaxed);
    if (dtr_mode() != SERIAL_DTR_HANDSHAKE) dtr_dropped_ = false;
    check_input_level(queued);
    next_check_ = now + check_us;
    return 0;
}

SERIAL_HANDFLOW line_control::handflow() const {
    SERIAL_HANDFLOW h = hf_;
    ttysys::flow f;
    if (ttysys::get_flow(fd_, &f) != 0) return h;
    constexpr uint32_t rts_handshake = SERIAL_RTS_HANDSHAKE;
    bool rtscts = (h.ControlHandShake & SERIAL_CTS_HANDSHAKE) || (h.FlowReplace & SERIAL_RTS_MASK) == rts_handshake;
    if (rtscts && !f.rtscts) {
        h.ControlHandShake &= ~SERIAL_CTS_HANDSHAKE;
        if ((h.FlowReplace & SERIAL_RTS_MASK) == rts_handshake)
            h.FlowReplace = (h.FlowReplace & ~SERIAL_RTS_MASK) | SERIAL_RTS_CONTROL;
    } else if (!rtscts && f.rtscts) {
        h.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
    }
    h.FlowReplace = f.ixon ? h.FlowReplace | SERIAL_AUTO_TRANSMIT : h.FlowReplace & ~SERIAL_AUTO_TRANSMIT;
    h.FlowReplace = f.ixoff ? h.FlowReplace | SERIAL_AUTO_RECEIVE : h.FlowReplace & ~SERIAL_AUTO_RECEIVE;
    return h;
}

int line_control::set_loopback(bool on) {
    if (!has_lines_) return -1;
    // A driver that only stores the bit would pass the read-back below and loop nothing.
    if (on && !can_loop_) return -1;
    if (int e = set_line(tiocm_loop, on)) return e;
    int lines = 0;
    if (on && (::ioctl(fd_, TIOCMGET, &lines) != 0 || !(lines & tiocm_loop))) {
        set_line(tiocm_loop, false);  // accepted but not kept: the driver has no loopback
        return -1;
    }
    return 0;
}

bool line_control::emulating() const {
    return has_lines_ && (dtr_mode() == SERIAL_DTR_HANDSHAKE ||
                          (hf_.ControlHandShake & (SERIAL_DSR_HANDSHAKE | SERIAL_DCD_HANDSHAKE)));
}

bool line_control::output_held(uint64_t now) {
    uint32_t hs = hf_.ControlHandShake & (SERIAL_DSR_HANDSHAKE | SERIAL_DCD_HANDSHAKE);
    if (!has_lines_ || !hs) return out_held_ = false;
    int lines = 0;
    if (::ioctl(fd_, TIOCMGET, &lines) != 0) return out_held_ = false;
    bool held = ((hs & SERIAL_DSR_HANDSHAKE) && !(lines & TIOCM_DSR)) ||
                ((hs & SERIAL_DCD_HANDSHAKE) && !(lines & TIOCM_CAR));
    if (held && !out_held_) next_check_ = now + check_us;
    return out_held_ = held;
}

bool line_control::unhold() {
    return std::exchange(out_held_, false);
}

void line_control::check_input_level(uint32_t queued) {
    if (!has_lines_ || dtr_mode() != SERIAL_DTR_HANDSHAKE) return;
    int in = 0;
    if (::ioctl(fd_, FIONREAD, &in) != 0) return;
    int64_t level = int64_t{in} + queued;
    int64_t high = std::clamp<int64_t>(int64_t{queue_size_} - hf_.XoffLimit, 1, queue_size_);
    int64_t low = std::clamp<int64_t>(hf_.XonLimit, 0, queue_size_);
    if (!dtr_dropped_ && level >= high) {
        dtr_dropped_ = true;
        set_line(TIOCM_DTR, false);
    } else if (dtr_dropped_ && level <= low) {
        dtr_dropped_ = false;
        set_line(TIOCM_DTR, true);
    }
}

bool line_control::poll(uint64_t now, uint32_t queued) {
    next_check_ = now + check_us;
    check_input_level(queued);
    return out_held_ && !output_held(now);
}

uint32_t line_control::hold_reasons() const {
    uint32_t r = 0;
    int lines = 0;
    if (!has_lines_ || ::ioctl(fd_, TIOCMGET, &lines) != 0) return r;
    uint32_t hs = hs_pub_.load(std::memory_order_relaxed);
    uint32_t rts = fr_pub_.load(std::memory_order_relaxed) & SERIAL_RTS_MASK;
    bool rtscts = (hs & SERIAL_CTS_HANDSHAKE) || rts == SERIAL_RTS_HANDSHAKE;
    if (rtscts && !(lines & TIOCM_CTS)) r |= SERIAL_TX_WAITING_FOR_CTS;
    if ((hs & SERIAL_DSR_HANDSHAKE) && !(lines & TIOCM_DSR)) r |= SERIAL_TX_WAITING_FOR_DSR;
    if ((hs & SERIAL_DCD_HANDSHAKE) && !(lines & TIOCM_CAR)) r |= SERIAL_TX_WAITING_FOR_DCD;
    return r;
}

}  // namespace ser::tty
