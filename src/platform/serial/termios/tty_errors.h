// A tty's error counters as the serial requests see them: the wait for error events (the wait mask),
// the error bits of the status, and the counts themselves.
//
// The driver raises no event a poll() could wait on when a counter grows, so a pending wait is
// completed by check(), which the port's service thread calls every `check_us` while one is pending.
// Everything but status_errors() runs under the port's mutex; status requests run without it, so
// the status's own base has a lock of its own.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/serial/serial.h"

namespace ser::tty {

struct counters {
    uint32_t frame = 0, overrun = 0, parity = 0, brk = 0, buf_overrun = 0;
    uint32_t line_errors() const { return frame + overrun + parity + buf_overrun; }
};

// The one place the driver's counters are read (TIOCGICOUNT). False where the driver keeps none
// (ptys, some USB adapters).
bool read_counters(int fd, counters* c);

class error_watch {
  public:
    static constexpr uint64_t check_us = 20000;

    error_watch(int fd, bool has_counters);
    bool has_counters() const { return has_counters_; }

    // A new mask ends the wait in progress, reporting no event.
    void set_mask(uint32_t mask);
    // A wait on the mask: true when it completed at once, else false with last_error io_pending
    // (it pends) or invalid_parameter (refused).
    bool start_wait(overlapped* ov, void* out, uint32_t out_size, uint32_t* returned, uint64_t now);
    bool pending() const { return ov_ != nullptr; }
    // When the service thread must call check() next; UINT64_MAX when nothing waits on the counters.
    uint64_t next_check() const;
    // Completes the pending wait when the error counters grew since the last event was reported.
    void check(uint64_t now);
    // Ends the pending wait with `status`.
    void abort(uint32_t status);

    // The status's error bits: what the driver counted since the previous status request. Without
    // the port's mutex.
    uint32_t status_errors();

  private:
    const int fd_;
    const bool has_counters_;
    uint32_t mask_ = 0;
    overlapped* ov_ = nullptr;
    void* out_ = nullptr;
    counters wait_base_;
    uint64_t next_check_ = 0;
    std::mutex status_m_;
    counters status_base_;
    // The wait last completed for lost input: every status reports the queue overrun until the next
    // wait starts, so that the monitor's once-a-second status cannot take it from the watcher.
    bool event_overrun_ = false;
};

}  // namespace ser::tty
