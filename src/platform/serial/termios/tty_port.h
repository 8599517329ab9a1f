// A port of the Linux serial backend: one tty device, with one service thread.
//
// One mutex per port guards its state. Requests run in the caller's thread and try the device at once
// (a write into an idle queue, a read from an empty queue); what cannot finish waits in the port's
// queues, and the service thread moves it on, blocked in ppoll() on the device and an eventfd that
// requests use to wake it when they change what it must wait for. The service thread makes its device
// calls and signals its completions with the mutex released; whoever else completes or withdraws
// queued requests first waits for that to end (quiesce). While data flows fast and no read is
// pending, it reads ahead into a queue of the port's own, as a serial driver's input buffer does.
//
// Wake-ups are batched: while bytes trickle in or drain out slowly (a paced line), the thread does not
// wake per byte arrival or per byte of room, but on a timer chosen so that a batch of bytes moves per
// pass; the tty's own buffers bridge the gap. While data flows fast the thread waits for readiness
// instead. Reads whose time-outs depend on byte arrival times always wait for readiness. A pass of one
// direction rides along with a wake-up for the other when it is nearly due, and timers may fire up to
// `slack_us` late, so that a read issued right after its predecessor completed costs no wake-up. The
// kernel layer never calls back into a backend, so completing a request with the port's mutex held
// (as request threads do) cannot deadlock.
//
// The port's parts, one file each: the entry points, request dispatch and completions (tty_port.cpp),
// the reads, writes and read-ahead (tty_io.cpp), the service thread's planning and passes
// (tty_service.cpp); flow control and modem lines (tty_lines), and error counters with the wait mask
// (tty_errors), live beside it.
#pragma once

#include <linux/serial.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/serial/backend.h"
#include "platform/serial/termios/termios_backend.h"
#include "platform/serial/termios/tty_claim.h"
#include "platform/serial/termios/tty_errors.h"
#include "platform/serial/termios/tty_lines.h"
#include "platform/serial/termios/tty_sys.h"

namespace ser::tty {

constexpr uint64_t never = UINT64_MAX;
// The tty's input buffer, which the handshake limits of SET_HANDFLOW refer to.
constexpr uint32_t queue_size = 4096;
// The port's own input queue, filled ahead of reads while data flows fast.
constexpr uint32_t ahead_size = 65536;
// What the input queue counts in all (GET_PROPERTIES, and the status's bytes waiting): what the line
// discipline holds (N_TTY keeps at most 4095 bytes for a reader) and the port's own queue on top.
// The kernel's buffers below the line discipline are not told, so a real UART has this much at least.
constexpr uint32_t input_queue_size = 4095 + ahead_size;
// Batching of wake-ups (see the top of the file): bytes to move per pass, and the limits of the timer.
// Input may fill three quarters of the tty's 4 KiB input buffer between passes (beyond it the driver
// holds bytes back; nothing is lost). Output keeps half of what the driver's buffer was seen to take
// after an open or flush, and 2 KiB until that is known.
constexpr uint64_t rx_batch = 3072;
constexpr uint64_t tx_batch_default = 2048;
constexpr uint64_t tx_batch_min = 256;
constexpr uint64_t slack_us = 1000;
constexpr uint64_t min_window_us = 2000;
constexpr uint64_t max_window_us = 50000;
// A flow that would need a pass more often than this is fast: wait for readiness instead.
constexpr uint64_t readiness_below_us = 5000;
constexpr uint64_t judge_us = 10000;
// Read-back rates within this share of the requested one count as the requested rate (divisor rounding).
constexpr double baud_tolerance = 0.01;
inline bool refuse(uint32_t code) {
    kern::set_last_error(code);
    return false;
}

inline uint32_t u32(const void* in) {
    uint32_t v;
    std::memcpy(&v, in, sizeof v);
    return v;
}

// Errors of an open port that mean the device is gone rather than that it refuses the request.
inline bool vanished(int e) {
    return e == EIO || e == ENODEV || e == ENXIO || e == EBADF || e == EPIPE;
}

struct read_req {
    overlapped* ov;
    uint8_t* buf;
    uint32_t len;
    uint32_t got = 0;
    bool any_byte = false;  // completes as soon as it holds a byte
    uint64_t total_deadline = never;
    uint64_t total_us = 0;
    uint64_t interval_us = 0;  // 0: no interval time-out
    uint64_t last_byte_us = 0;
    bool needs_arrival() const { return any_byte || interval_us; }
};

struct write_req {
    overlapped* ov;
    const uint8_t* buf;
    uint32_t len;
    uint32_t sent = 0;
};

// When one direction should next be served: on readiness while the flow is fast, else on a timer. The
// rate is judged over at least `judge_us` of passes, so that a few small passes in a row do not make a
// fast flow look slow; a timer pass that finds the buffer full came too late, and ends timer mode.
struct pacer {
    bool on_ready = true;
    uint64_t window_us = min_window_us;
    uint64_t last_pass = 0;
    uint64_t next_pass = 0;
    uint64_t extra = 0;  // bytes moved by requests themselves since the last pass
    uint64_t seen_bytes = 0, seen_us = 0;

    void pass(uint64_t now, uint64_t moved, uint64_t batch, uint64_t full) {
        moved += std::exchange(extra, 0);
        seen_bytes += moved;
        seen_us += now > last_pass ? now - last_pass : 0;
        last_pass = now;
        if (!on_ready && moved >= full) {
            on_ready = true;
            seen_bytes = seen_us = 0;
        } else if (!on_ready || seen_us >= judge_us) {
            uint64_t w = seen_bytes ? seen_us * batch / seen_bytes : max_window_us;
            on_ready = w < readiness_below_us;
            window_us = std::clamp(w, min_window_us, max_window_us);
            seen_bytes = seen_us = 0;
        }
        next_pass = now + window_us;
    }
    // A direction that was idle gets work again: its next pass is one window away.
    void restart(uint64_t now) {
        last_pass = now;
        next_pass = now + window_us;
    }
};

struct plan {
    short events = 0;
    uint64_t deadline = never;
};

class tty_port final : public port {
  public:
    tty_port(std::string path, int fd, int wake_fd, const ttysys::settings& saved, bool has_lines,
             int saved_lines, bool has_counters, bool can_loop, claim held)
        : path_(std::move(path)),
          fd_(fd),
          wake_fd_(wake_fd),
          saved_(saved),
          saved_lines_(saved_lines),
          claim_(std::move(held)),
          lines_(fd, has_lines, queue_size, can_loop),
          errors_(fd, has_counters) {}

    ~tty_port() override { close(); }

    void start();

    const std::string& path() const { return path_; }

    bool ioctl(uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
               uint32_t* returned, overlapped* ov) override;

    bool read(void* buf, uint32_t len, uint32_t* count, overlapped* ov) override;

    bool write(const void* buf, uint32_t len, uint32_t* count, overlapped* ov) override;

    // A UART (modem lines and error counters) shows its output queue; a pty holds kilobytes unseen.
    bool shows_in_flight() const override { return lines_.has_lines() && errors_.has_counters(); }

    void close() override;

    termios_port_stats stats();

  private:
    // Output the flush could not drop (cdc_acm's transfers in flight to a far end that takes nothing)
    // would hold the close for the tty's closing wait, 30 s by default: it is set to none for this
    // close, and put back afterwards. False when nothing was changed.
    bool drop_closing_wait();
    void restore_closing_wait();

    // ---- The mutex and device calls made without it -----------------------------------------------

    // Waits until the service thread is out of its device call, so that queued requests may be
    // completed or withdrawn. It starts no further call while someone waits here. Completions it has
    // not delivered yet are delivered first: nothing is signalled after a purge or close returns.
    void quiesce(std::unique_lock<std::mutex>& lk);

    // The service thread's device calls on queued requests run with the mutex released: a request
    // thread then never waits for the device, only for the bookkeeping around it.
    template <class F>
    auto unlocked_io(std::unique_lock<std::mutex>& lk, F&& call) {
        io_busy_ = true;
        lk.unlock();
        auto result = call();
        lk.lock();
        io_busy_ = false;
        if (quiescing_) io_idle_.notify_all();
        return result;
    }

    // The service thread delivers its completions with the mutex released: signalling takes the kernel
    // layer's lock, and request threads should not wait for that as well.
    void deliver_finished(std::unique_lock<std::mutex>& lk);

    struct io_result {
        ssize_t n;
        int err;
        bool more;  // after a short read: the tty holds more already
    };

    // One read. A read that finds the tty empty first waits for the kernel's buffer worker (a context
    // switch for nothing), so after a short read the tty is asked whether more came instead; on a
    // slow line (timer passes) what came meanwhile simply waits for the next pass.
    io_result read_some(uint8_t* dst, uint32_t want) const;

    io_result write_some(const uint8_t* src, uint32_t len) const;

    // ---- Entry checks and completions -------------------------------------------------------------

    bool usable() const;

    static bool done(overlapped* ov, uint32_t* returned, uint32_t bytes);

    // A failed call on the device: gone (every request ends, 1167) or not supported (87).
    bool fail(std::unique_lock<std::mutex>& lk, int e);

    void abort_all(uint32_t status);

    // The device is gone: everything in flight ends, and the service thread stops watching it.
    void vanish();

    void finish_read(uint32_t status);

    // ---- Reads and writes -------------------------------------------------------------------------

    void take(read_req& r, ssize_t n, uint64_t now, uint64_t* moved);

    // Reads into r what the tty holds; false when the device turned out to be gone (end of file is
    // a hung-up tty). With the mutex held, or without it from the service thread.
    template <class Call>
    bool fill(read_req& r, uint64_t now, uint64_t* moved, Call&& call) {
        while (r.got < r.len && !quiescing_) {
            uint8_t* dst = r.buf + r.got;
            uint32_t want = r.len - r.got;
            io_result x = call([&] { return read_some(dst, want); });
            if (x.n > 0) {
                take(r, x.n, now, moved);
                if (r.got < r.len && !x.more) return true;
                continue;
            }
            return x.n < 0 && x.err == EAGAIN;
        }
        return true;
    }

    // Bytes read ahead are older than anything still in the tty: a read takes them first.
    void take_ahead(read_req& r, uint64_t now);

    // While data flows fast and no read is pending, the service thread keeps the tty drained into the
    // port's own queue: the far end is not held up by the tty's small buffer while the reader is busy,
    // and the reader's next read finds its bytes at once. False when the device turned out to be gone.
    bool read_ahead(std::unique_lock<std::mutex>& lk, uint64_t* moved);

    static bool read_done(const read_req& r, uint64_t now);

    bool start_read(std::unique_lock<std::mutex>& lk, uint8_t* buf, uint32_t len, uint32_t* count,
                    overlapped* ov);

    bool start_write(std::unique_lock<std::mutex>& lk, const uint8_t* buf, uint32_t len, uint32_t* count,
                     overlapped* ov);

    void rx_pass(std::unique_lock<std::mutex>& lk, uint64_t now);

    // The first time output stops for want of room after the driver's buffer was empty, what it took
    // until then is its size.
    void learn_tx_capacity();

    void tx_pass(std::unique_lock<std::mutex>& lk, uint64_t now);

    // Forgets a request whose caller stopped waiting for it, without completing it.
    void cancel(const overlapped* ov);

    // A read or write without an overlapped record: in flight on a private record, waited for here in
    // a kernel-layer wait, so that the layer can terminate the caller.
    bool sync(bool is_read, void* buf, uint32_t len, uint32_t* count);

    // ---- Requests ---------------------------------------------------------------------------------

    bool request(std::unique_lock<std::mutex>& lk, uint32_t code, const void* in, uint32_t in_size, void* out,
                 uint32_t out_size, uint32_t* returned, overlapped* ov);

    // The status request, made once a second per port by the monitor and after every error event by
    // the overrun watcher. It takes neither the port's mutex nor waits for the service thread: on a
    // loaded machine a busy line's service thread takes and releases the mutex so often that a
    // waiter could stand for hundreds of milliseconds, and the monitor's sweep over sixteen ports
    // then took seconds, leaving whole ports unsampled. It reads what the queues published instead.
    bool status(void* out, uint32_t out_size, uint32_t* returned, overlapped* ov);

    // The queue figures the status request reads without the mutex.
    void publish();

    // What the driver holds of our output (TIOCOUTQ), never more than it was given since it last held
    // nothing: some drivers count whole transfer buffers, or bytes from before the open.
    uint64_t driver_out_queue();

    // GET_INPUT_PEAK, without the mutex for the same reason as the status: the most bytes read ahead
    // since the previous request (the tty's own buffer is counted by the status alone).
    bool input_peak(void* out, uint32_t out_size, uint32_t* returned, overlapped* ov);

    // ---- The service thread -----------------------------------------------------------------------

    uint64_t read_deadline() const;

    // What the service thread must wait for in the present state.
    plan plan_now() const;

    void wake();

    // After a request: wakes the service thread if it now has to wait for more or for less long.
    void reschedule();

    void serve(std::unique_lock<std::mutex>& lk, short revents, uint64_t now);

    void run_service();

    const std::string path_;
    std::mutex m_;
    int fd_;
    int wake_fd_;
    const ttysys::settings saved_;
    int saved_lines_;
    claim claim_;  // the locks that keep others out, given back at the close
    serial_struct closing_{};  // the driver's settings before the close changed its closing wait
    std::thread service_;

    std::atomic<bool> closed_ = false;
    std::atomic<bool> dead_ = false;
    bool stopping_ = false;
    // The service thread is in a device call on a queued request, or delivering completions, the mutex
    // released.
    bool io_busy_ = false;
    struct finished {
        overlapped* ov;
        uint32_t status, bytes;
    };
    std::vector<finished> finished_;    // taken off the queues, not yet signalled
    std::vector<finished> delivering_;  // being signalled by the service thread
    int quiescing_ = 0;                 // threads waiting in quiesce()
    std::condition_variable io_idle_;

    SERIAL_TIMEOUTS to_{};
    std::deque<read_req> reads_;
    std::deque<write_req> writes_;
    std::vector<uint8_t> ahead_ = std::vector<uint8_t>(ahead_size);  // ring of bytes read ahead
    uint32_t ahead_head_ = 0, ahead_count_ = 0;
    bool ahead_io_ = false;   // the service thread is reading the tty into it, the mutex released
    uint64_t out_bytes_ = 0;  // unsent bytes of pending writes

    std::shared_mutex fd_m_;  // status requests use the descriptor without m_: close waits for them
    std::atomic<uint32_t> ahead_pub_ = 0;
    std::atomic<uint32_t> ahead_peak_ = 0;  // raised by the service thread, taken by input_peak
    std::atomic<uint64_t> out_pub_ = 0;
    // Bytes the device has taken since the open, and their count when its output queue last read empty:
    // what the driver says it still holds is never more than the difference (cdc_acm overcounts).
    std::atomic<uint64_t> tx_pub_ = 0;
    std::atomic<uint64_t> tx_at_empty_ = 0;

    tty::line_control lines_;  // flow control and modem lines
    tty::error_watch errors_;  // error counters and the wait mask

    pacer rx_, tx_;
    uint64_t rx_expected_ = never;  // when the next read's time-out will probably end
    bool tx_empty_ = true;          // the driver's output buffer was empty when output last started
    uint64_t tx_filled_ = 0;        // bytes the driver took since then
    uint64_t tx_batch_ = tx_batch_default;
    plan planned_;
    bool sleeping_ = false;
    uint64_t wakeups_ = 0;
    uint64_t rx_bytes_ = 0, tx_bytes_ = 0;
};

}  // namespace ser::tty
