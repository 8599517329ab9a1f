// A tty's flow control and modem lines as the serial requests see them: the handflow record put into
// effect (the kernel's CRTSCTS and Xon/Xoff, the DTR and RTS levels), the internal loopback bit, and
// the handshakes Linux lacks, emulated here: DTR dropped while the input side is above its high mark,
// output held while DSR (or DCD) is low.
//
// The lines are looked at by polling, every `check_us` while a handshake is emulated: a UART in loop
// mode signals no line change (TIOCMIWAIT never wakes), so no wake-up is ever waited for. Everything
// but hold_reasons() runs under the port's mutex; status requests call that without it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/serial/serial.h"

namespace ser::tty {

class line_control {
  public:
    static constexpr uint64_t check_us = 10000;

    // `queue_size`: the input buffer the handshake limits refer to. `can_loop`: the UART really loops
    // its output back when the loop bit is set (some drivers keep the bit and loop nothing).
    line_control(int fd, bool has_lines, uint32_t queue_size, bool can_loop = false);
    bool has_lines() const { return has_lines_; }
    // The handflow record as the driver keeps it: the flow control bits from the kernel's own flags
    // (a driver may drop a flag it cannot do), the rest as set.
    SERIAL_HANDFLOW handflow() const;

    // Puts a handflow record into effect: 0, an errno, or -1 when the driver cannot do what it asks.
    // `queued`: input bytes held above the tty (read ahead), for the DTR handshake's level.
    int set_handflow(const SERIAL_HANDFLOW& h, uint64_t now, uint32_t queued);
    // The UART's internal loopback: 0, an errno, or -1 when the driver has no such bit.
    int set_loopback(bool on);

    // A handshake that needs polling is in effect.
    bool emulating() const;
    // DSR (and DCD) handshaking: output waits while the far end holds its line low.
    bool output_held(uint64_t now);
    bool held() const { return out_held_; }
    // Forgets that output was held, so that it is looked at again: true when it was.
    bool unhold();
    // DTR handshaking: DTR drops at the input's high mark and rises again at its low mark.
    void check_input_level(uint32_t queued);
    uint64_t next_check() const { return emulating() ? next_check_ : UINT64_MAX; }
    // The periodic look at the lines: true when held output may go again.
    bool poll(uint64_t now, uint32_t queued);

    // SERIAL_TX_WAITING_FOR_* bits. Without the port's mutex.
    uint32_t hold_reasons() const;

  private:
    int set_line(int bit, bool on) const;
    uint32_t dtr_mode() const { return hf_.ControlHandShake & SERIAL_DTR_MASK; }

    const int fd_;
    const bool has_lines_;
    const bool can_loop_;
    const uint32_t queue_size_;
    SERIAL_HANDFLOW hf_;
    std::atomic<uint32_t> hs_pub_, fr_pub_;  // hf_'s bits for hold_reasons()
    bool out_held_ = false;
    bool dtr_dropped_ = false;
    uint64_t next_check_ = 0;
};

}  // namespace ser::tty
