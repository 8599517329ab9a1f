// The Linux serial backend: ports on tty devices, with one service thread per port.
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
#include "platform/serial/termios/termios_backend.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/serial/backend.h"
#include "platform/serial/termios/tty_errors.h"
#include "platform/serial/termios/tty_lines.h"
#include "platform/serial/termios/tty_sys.h"

namespace ser {
namespace {

constexpr uint64_t never = UINT64_MAX;
// The tty's input buffer, which the handshake limits of SET_HANDFLOW refer to.
constexpr uint32_t queue_size = 4096;
// The port's own input queue, filled ahead of reads while data flows fast.
constexpr uint32_t ahead_size = 65536;
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
bool refuse(uint32_t code) {
    kern::set_last_error(code);
    return false;
}

uint32_t u32(const void* in) {
    uint32_t v;
    std::memcpy(&v, in, sizeof v);
    return v;
}

uint32_t open_error(int e) {
    switch (e) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
        case EISDIR:
        case ENOTTY:
        case ELOOP:
        case ENAMETOOLONG:
            return kern::err::file_not_found;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
            return kern::err::access_denied;
        case EINVAL:
            return kern::err::invalid_parameter;
        default:
            return kern::err::gen_failure;
    }
}

// Errors of an open port that mean the device is gone rather than that it refuses the request.
bool vanished(int e) {
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

class tty_port;

struct port_registry {
    std::mutex m;
    std::map<std::string, std::shared_ptr<tty_port>> open;
};

port_registry& registry() {
    static port_registry* r = new port_registry;
    return *r;
}

class tty_port final : public port {
  public:
    tty_port(std::string path, int fd, int wake_fd, const ttysys::settings& saved, bool has_lines,
             int saved_lines, bool has_counters)
        : path_(std::move(path)),
          fd_(fd),
          wake_fd_(wake_fd),
          saved_(saved),
          saved_lines_(saved_lines),
          lines_(fd, has_lines, queue_size),
          errors_(fd, has_counters) {}

    ~tty_port() override { close(); }

    void start() {
        service_ = std::thread([this] { run_service(); });
    }

    const std::string& path() const { return path_; }

    bool ioctl(uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
               uint32_t* returned, overlapped* ov) override {
        if (code == IOCTL_SERIAL_GET_COMMSTATUS) return status(out, out_size, returned, ov);
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

    bool read(void* buf, uint32_t len, uint32_t* count, overlapped* ov) override {
        if (!ov) return sync(true, buf, len, count);
        std::unique_lock lk(m_);
        if (!usable()) return false;
        bool ok = start_read(lk, static_cast<uint8_t*>(buf), len, count, ov);
        reschedule();
        publish();
        return ok;
    }

    bool write(const void* buf, uint32_t len, uint32_t* count, overlapped* ov) override {
        if (!ov) return sync(false, const_cast<void*>(buf), len, count);
        std::unique_lock lk(m_);
        if (!usable()) return false;
        bool ok = start_write(lk, static_cast<const uint8_t*>(buf), len, count, ov);
        reschedule();
        publish();
        return ok;
    }

    // A UART (modem lines and error counters) shows its output queue; a pty holds kilobytes unseen.
    bool shows_in_flight() const override { return lines_.has_lines() && errors_.has_counters(); }

    void close() override {
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
        ttysys::set_settings(fd_, saved_);
        if (lines_.has_lines()) ::ioctl(fd_, TIOCMSET, &saved_lines_);
        // The exclusive flag outlives this descriptor while someone else keeps the tty open.
        ::ioctl(fd_, TIOCNXCL);
        std::unique_lock fl(fd_m_);  // no status request is using the descriptor
        ::close(fd_);                // releases the lock as well
        ::close(wake_fd_);
        fd_ = wake_fd_ = -1;
    }

    termios_port_stats stats() {
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

  private:
    // ---- The mutex and device calls made without it -----------------------------------------------

    // Waits until the service thread is out of its device call, so that queued requests may be
    // completed or withdrawn. It starts no further call while someone waits here. Completions it has
    // not delivered yet are delivered first: nothing is signalled after a purge or close returns.
    void quiesce(std::unique_lock<std::mutex>& lk) {
        if (io_busy_) {
            ++quiescing_;
            io_idle_.wait(lk, [this] { return !io_busy_; });
            --quiescing_;
        }
        for (const finished& f : finished_) complete(f.ov, f.status, f.bytes);
        finished_.clear();
    }

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
    void deliver_finished(std::unique_lock<std::mutex>& lk) {
        if (finished_.empty()) return;
        delivering_.swap(finished_);
        unlocked_io(lk, [this] {
            for (const finished& f : delivering_) complete(f.ov, f.status, f.bytes);
            return 0;
        });
        delivering_.clear();
    }

    struct io_result {
        ssize_t n;
        int err;
        bool more;  // after a short read: the tty holds more already
    };

    // One read. A read that finds the tty empty first waits for the kernel's buffer worker (a context
    // switch for nothing), so after a short read the tty is asked whether more came instead; on a
    // slow line (timer passes) what came meanwhile simply waits for the next pass.
    io_result read_some(uint8_t* dst, uint32_t want) const {
        io_result r{};
        do r.n = ::read(fd_, dst, want);
        while (r.n < 0 && errno == EINTR);
        r.err = r.n < 0 ? errno : 0;
        int k = 0;
        if (r.n > 0 && static_cast<uint32_t>(r.n) < want && rx_.on_ready)
            r.more = ::ioctl(fd_, FIONREAD, &k) == 0 && k > 0;
        return r;
    }

    io_result write_some(const uint8_t* src, uint32_t len) const {
        io_result r{};
        do r.n = ::write(fd_, src, len);
        while (r.n < 0 && errno == EINTR);
        r.err = r.n < 0 ? errno : 0;
        return r;
    }

    // ---- Entry checks and completions -------------------------------------------------------------

    bool usable() const {
        if (closed_) return refuse(kern::err::invalid_handle);
        if (dead_) return refuse(kern::err::device_not_connected);
        return true;
    }

    static bool done(overlapped* ov, uint32_t* returned, uint32_t bytes) {
        if (returned) *returned = bytes;
        if (ov) complete(ov, 0, bytes);
        return true;
    }

    // A failed call on the device: gone (every request ends, 1167) or not supported (87).
    bool fail(std::unique_lock<std::mutex>& lk, int e) {
        if (vanished(e)) {
            quiesce(lk);
            vanish();
            return refuse(kern::err::device_not_connected);
        }
        return refuse(kern::err::invalid_parameter);
    }

    void abort_all(uint32_t status) {
        while (!writes_.empty()) {
            write_req w = writes_.front();
            writes_.pop_front();
            complete(w.ov, status, w.sent);
        }
        out_bytes_ = 0;
        while (!reads_.empty()) finish_read(status);
        errors_.abort(status);
    }

    // The device is gone: everything in flight ends, and the service thread stops watching it.
    void vanish() {
        if (dead_) return;
        dead_ = true;
        abort_all(kern::err::device_not_connected);
    }

    void finish_read(uint32_t status) {
        read_req r = reads_.front();
        reads_.pop_front();
        complete(r.ov, status, r.got);
    }

    // ---- Reads and writes -------------------------------------------------------------------------

    void take(read_req& r, ssize_t n, uint64_t now, uint64_t* moved) {
        r.got += static_cast<uint32_t>(n);
        r.last_byte_us = now;
        rx_bytes_ += static_cast<uint64_t>(n);
        *moved += static_cast<uint64_t>(n);
    }

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
    void take_ahead(read_req& r, uint64_t now) {
        while (ahead_count_ && r.got < r.len) {
            uint32_t k = std::min({ahead_count_, r.len - r.got, ahead_size - ahead_head_});
            std::memcpy(r.buf + r.got, ahead_.data() + ahead_head_, k);
            ahead_head_ = (ahead_head_ + k) % ahead_size;
            ahead_count_ -= k;
            r.got += k;
            r.last_byte_us = now;
        }
    }

    // While data flows fast and no read is pending, the service thread keeps the tty drained into the
    // port's own queue: the far end is not held up by the tty's small buffer while the reader is busy,
    // and the reader's next read finds its bytes at once. False when the device turned out to be gone.
    bool read_ahead(std::unique_lock<std::mutex>& lk, uint64_t* moved) {
        while (reads_.empty() && ahead_count_ < ahead_size && !quiescing_) {
            uint32_t tail = (ahead_head_ + ahead_count_) % ahead_size;
            uint32_t room = std::min(ahead_size - ahead_count_, ahead_size - tail);
            uint8_t* dst = ahead_.data() + tail;
            // Readers consume from the head meanwhile; the free space at the tail stays ours.
            ahead_io_ = true;
            io_result x = unlocked_io(lk, [&] { return read_some(dst, room); });
            ahead_io_ = false;
            if (x.n <= 0) return x.n < 0 && x.err == EAGAIN;
            ahead_count_ += static_cast<uint32_t>(x.n);
            rx_bytes_ += static_cast<uint64_t>(x.n);
            *moved += static_cast<uint64_t>(x.n);
            if (static_cast<uint32_t>(x.n) < room && !x.more) return true;
        }
        return true;
    }

    static bool read_done(const read_req& r, uint64_t now) {
        return r.got == r.len || (r.any_byte && r.got) || now >= r.total_deadline ||
               (r.interval_us && r.got && now >= r.last_byte_us + r.interval_us);
    }

    bool start_read(std::unique_lock<std::mutex>& lk, uint8_t* buf, uint32_t len, uint32_t* count,
                    overlapped* ov) {
        if (!buf && len) return refuse(kern::err::invalid_parameter);
        uint64_t now = kern::now_us();
        read_req r{ov, buf, len};
        const SERIAL_TIMEOUTS& to = to_;
        bool immediate = to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == 0 &&
                         to.ReadTotalTimeoutConstant == 0;
        if (to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == MAXDWORD &&
            to.ReadTotalTimeoutConstant > 0 && to.ReadTotalTimeoutConstant < MAXDWORD) {
            r.any_byte = true;
            r.total_us = uint64_t{to.ReadTotalTimeoutConstant} * 1000;
            r.total_deadline = now + r.total_us;
        } else if (!immediate) {
            uint64_t total_ms = uint64_t{to.ReadTotalTimeoutMultiplier} * len + to.ReadTotalTimeoutConstant;
            r.total_us = total_ms * 1000;
            if (total_ms) r.total_deadline = now + r.total_us;
            if (to.ReadIntervalTimeout != 0 && to.ReadIntervalTimeout != MAXDWORD)
                r.interval_us = uint64_t{to.ReadIntervalTimeout} * 1000;
        }
        // Reads are served in order: only a read with none ahead of it may take bytes now, and from the
        // tty only once the queue is empty and the service thread is not reading ahead from it. The tty
        // is not even asked when what it can hold would not complete the read now.
        if (reads_.empty()) {
            take_ahead(r, now);
            bool could_finish = immediate || r.any_byte || r.len - r.got <= queue_size;
            // Usually right after the service thread drained the tty: ask before reading it empty.
            int held = 0;
            bool ask = could_finish && ahead_count_ == 0 && !ahead_io_ && r.got < r.len;
            if (ask) ask = ::ioctl(fd_, FIONREAD, &held) != 0 || held > 0;
            uint64_t moved = 0;
            if (ask && !fill(r, now, &moved, [](auto&& call) { return call(); })) {
                quiesce(lk);
                vanish();
                return refuse(kern::err::device_not_connected);
            }
            rx_.extra += moved;
            if (r.got == len || immediate || (r.any_byte && r.got)) {
                if (count) *count = r.got;
                complete(ov, 0, r.got);
                return true;
            }
            rx_.restart(now);
        }
        rx_expected_ = never;
        reads_.push_back(r);
        return refuse(kern::err::io_pending);
    }

    bool start_write(std::unique_lock<std::mutex>& lk, const uint8_t* buf, uint32_t len, uint32_t* count,
                     overlapped* ov) {
        if (!buf && len) return refuse(kern::err::invalid_parameter);
        if (len == 0) {
            if (count) *count = 0;
            complete(ov, 0, 0);
            return true;
        }
        uint64_t now = kern::now_us();
        write_req w{ov, buf, len};
        // Writes go out in order: only a write into an idle queue may go to the device now.
        if (writes_.empty()) {
            if (!lines_.output_held(now)) {
                io_result x = write_some(buf, len);
                if (x.n < 0 && x.err != EAGAIN) {
                    quiesce(lk);
                    vanish();
                    return refuse(kern::err::device_not_connected);
                }
                w.sent = x.n > 0 ? static_cast<uint32_t>(x.n) : 0;
                tx_bytes_ += w.sent;
                tx_.extra += w.sent;
                if (tx_empty_) tx_filled_ += w.sent;
                if (w.sent == len) {
                    if (count) *count = len;
                    complete(ov, 0, len);
                    return true;
                }
                learn_tx_capacity();
            }
            tx_.restart(now);
        }
        out_bytes_ += len - w.sent;
        writes_.push_back(w);
        return refuse(kern::err::io_pending);
    }

    void rx_pass(std::unique_lock<std::mutex>& lk, uint64_t now) {
        uint64_t moved = 0;
        for (;;) {
            if (reads_.empty()) {
                if (!rx_.on_ready) break;
                if (!read_ahead(lk, &moved)) {
                    vanish();
                    return;
                }
                if (reads_.empty()) break;  // else a read came meanwhile: serve it from the queue
            }
            // The front read stays put while the mutex is released: only a quiesced thread removes it.
            read_req& r = reads_.front();
            take_ahead(r, now);
            if (!ahead_count_ && !fill(r, now, &moved, [&](auto&& call) { return unlocked_io(lk, call); })) {
                vanish();
                return;
            }
            if (!read_done(r, now)) break;
            // The reader usually follows with a read like this one: plan for its time-out already.
            if (reads_.size() == 1 && r.total_us && now >= r.total_deadline)
                rx_expected_ = now + r.total_us + slack_us;
            finished_.push_back({r.ov, 0, r.got});
            reads_.pop_front();
        }
        rx_.pass(now, moved, rx_batch, queue_size);
    }

    // The first time output stops for want of room after the driver's buffer was empty, what it took
    // until then is its size.
    void learn_tx_capacity() {
        if (!tx_empty_) return;
        tx_empty_ = false;
        tx_batch_ = std::max(tx_filled_ / 2, tx_batch_min);
    }

    void tx_pass(std::unique_lock<std::mutex>& lk, uint64_t now) {
        uint64_t moved = 0;
        while (!writes_.empty() && !quiescing_ && !lines_.output_held(now)) {
            write_req& w = writes_.front();
            const uint8_t* src = w.buf + w.sent;
            uint32_t want = w.len - w.sent;
            io_result x = unlocked_io(lk, [&] { return write_some(src, want); });
            if (x.n < 0 && x.err == EAGAIN) {
                learn_tx_capacity();
                break;
            }
            if (x.n <= 0) {
                vanish();
                return;
            }
            ssize_t n = x.n;
            w.sent += static_cast<uint32_t>(n);
            out_bytes_ -= static_cast<uint64_t>(n);
            tx_bytes_ += static_cast<uint64_t>(n);
            moved += static_cast<uint64_t>(n);
            if (tx_empty_) tx_filled_ += static_cast<uint64_t>(n);
            if (w.sent < w.len) {  // the device is full
                learn_tx_capacity();
                break;
            }
            // The caller may reuse the buffer once completed: the device has taken all of it.
            finished_.push_back({w.ov, 0, w.len});
            writes_.pop_front();
        }
        tx_.pass(now, moved, tx_batch_, 2 * tx_batch_);
    }

    // Forgets a request whose caller stopped waiting for it, without completing it.
    void cancel(const overlapped* ov) {
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

    // A read or write without an overlapped record: in flight on a private record, waited for here in
    // a kernel-layer wait, so that the layer can terminate the caller.
    bool sync(bool is_read, void* buf, uint32_t len, uint32_t* count) {
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
            if (ok) return true;
            if (kern::last_error() != kern::err::io_pending) return false;
        }
        return ser::wait_record(&o, count);
    }

    // ---- Requests ---------------------------------------------------------------------------------

    bool request(std::unique_lock<std::mutex>& lk, uint32_t code, const void* in, uint32_t in_size, void* out,
                 uint32_t out_size, uint32_t* returned, overlapped* ov) {
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
            case IOCTL_SERIAL_GET_HANDFLOW:
                if (!output(sizeof(SERIAL_HANDFLOW))) break;
                std::memcpy(out, &lines_.handflow(), sizeof(SERIAL_HANDFLOW));
                return done(ov, returned, sizeof(SERIAL_HANDFLOW));
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

    // The status request, made once a second per port by the monitor and after every error event by
    // the overrun watcher. It takes neither the port's mutex nor waits for the service thread: on a
    // loaded machine a busy line's service thread takes and releases the mutex so often that a
    // waiter could stand for hundreds of milliseconds, and the monitor's sweep over sixteen ports
    // then took seconds, leaving whole ports unsampled. It reads what the queues published instead.
    bool status(void* out, uint32_t out_size, uint32_t* returned, overlapped* ov) {
        if (closed_) return refuse(kern::err::invalid_handle);
        if (dead_) return refuse(kern::err::device_not_connected);
        if (!out || out_size < sizeof(SERIAL_STATUS)) return refuse(kern::err::invalid_parameter);
        std::shared_lock fl(fd_m_);
        if (fd_ < 0) return refuse(kern::err::invalid_handle);
        SERIAL_STATUS s{};
        s.Errors = errors_.status_errors();
        s.HoldReasons = lines_.hold_reasons();
        int inq = 0, outq = 0;
        if (::ioctl(fd_, FIONREAD, &inq) != 0) {
            int e = errno;
            fl.unlock();
            std::unique_lock lk(m_);
            return fail(lk, e);
        }
        if (::ioctl(fd_, TIOCOUTQ, &outq) != 0) outq = 0;
        s.AmountInInQueue =
            static_cast<uint32_t>(std::max(inq, 0)) + ahead_pub_.load(std::memory_order_relaxed);
        s.AmountInOutQueue = static_cast<uint32_t>(std::min<uint64_t>(
            uint64_t(std::max(outq, 0)) + out_pub_.load(std::memory_order_relaxed), UINT32_MAX));
        std::memcpy(out, &s, sizeof s);
        return done(ov, returned, sizeof s);
    }

    // The queue figures the status request reads without the mutex.
    void publish() {
        ahead_pub_.store(ahead_count_, std::memory_order_relaxed);
        out_pub_.store(out_bytes_, std::memory_order_relaxed);
    }

    // ---- The service thread -----------------------------------------------------------------------

    uint64_t read_deadline() const {
        if (reads_.empty()) return never;
        const read_req& r = reads_.front();
        uint64_t dl = r.total_deadline;
        if (r.interval_us && r.got) dl = std::min(dl, r.last_byte_us + r.interval_us);
        return dl;
    }

    // What the service thread must wait for in the present state.
    plan plan_now() const {
        plan p;
        if (dead_ || closed_) return p;
        if (reads_.empty()) p.deadline = rx_expected_;
        if (reads_.empty() && rx_.on_ready && ahead_count_ < ahead_size) p.events |= POLLIN;
        if (!reads_.empty()) {
            p.deadline = read_deadline();
            if (reads_.front().needs_arrival() || rx_.on_ready)
                p.events |= POLLIN;
            else
                p.deadline = std::min(p.deadline, rx_.next_pass);
        }
        if (!writes_.empty() && !lines_.held()) {
            if (tx_.on_ready)
                p.events |= POLLOUT;
            else
                p.deadline = std::min(p.deadline, tx_.next_pass);
        }
        p.deadline = std::min({p.deadline, lines_.next_check(), errors_.next_check()});
        return p;
    }

    void wake() {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
    }

    // After a request: wakes the service thread if it now has to wait for more or for less long.
    void reschedule() {
        if (!sleeping_) return;  // awake: it plans again before it sleeps
        plan p = plan_now();
        bool sooner = p.deadline != never && p.deadline + slack_us < planned_.deadline;
        if ((p.events & ~planned_.events) || sooner) {
            wake();
            sleeping_ = false;  // one wake-up is enough until it has planned again
        }
    }

    void serve(std::unique_lock<std::mutex>& lk, short revents, uint64_t now) {
        if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
            vanish();
            return;
        }
        bool released = false;
        if (now >= lines_.next_check()) released = lines_.poll(now, ahead_count_);
        // Nearly due is due: the pass rides along with this wake-up instead of needing its own.
        if (!writes_.empty() && !lines_.held() &&
            (released || now + tx_.window_us / 2 >= tx_.next_pass || (tx_.on_ready && (revents & POLLOUT))))
            tx_pass(lk, now);
        if (dead_) return;
        if ((!reads_.empty() && (now >= rx_.next_pass || now >= read_deadline())) || (revents & POLLIN))
            rx_pass(lk, now);
        if (dead_) return;
        if (now >= errors_.next_check()) errors_.check(now);
        if (now >= rx_expected_) rx_expected_ = never;
    }

    void run_service() {
        std::unique_lock lk(m_);
        short revents = 0;
        while (!stopping_) {
            uint64_t now = kern::now_us();
            if (!dead_) serve(lk, revents, now);
            publish();
            deliver_finished(lk);
            planned_ = plan_now();
            sleeping_ = true;
            // A dead device is no longer watched: its hang-up would be reported for ever.
            pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {dead_ ? -1 : fd_, planned_.events, 0}};
            timespec ts{};
            timespec* timeout = nullptr;
            if (planned_.deadline != never) {
                uint64_t left = planned_.deadline > now ? planned_.deadline - now : 0;
                double real_us = std::ceil(static_cast<double>(left) / kern::clock_scale());
                auto us = static_cast<int64_t>(real_us);
                ts.tv_sec = us / 1000000;
                ts.tv_nsec = (us % 1000000) * 1000;
                timeout = &ts;
            }
            lk.unlock();
            int r = ::ppoll(fds, 2, timeout, nullptr);
            lk.lock();
            sleeping_ = false;
            ++wakeups_;
            revents = r > 0 ? fds[1].revents : 0;
            if (r > 0 && (fds[0].revents & POLLIN)) {
                uint64_t v;
                [[maybe_unused]] ssize_t n = ::read(wake_fd_, &v, sizeof v);
            }
        }
    }

    const std::string path_;
    std::mutex m_;
    int fd_;
    int wake_fd_;
    const ttysys::settings saved_;
    int saved_lines_;
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
    std::atomic<uint64_t> out_pub_ = 0;

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

std::shared_ptr<tty_port> open_tty(const char* path) {
    auto fail = [](int fd, uint32_t code) -> std::shared_ptr<tty_port> {
        if (fd >= 0) ::close(fd);
        kern::set_last_error(code);
        return nullptr;
    };
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(-1, open_error(errno));
    // TIOCEXCL keeps other users out, but not root: the lock does, and it is taken before anything
    // of the owner's settings is touched.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(fd, open_error(errno));
    ttysys::settings saved;
    if (int e = ttysys::get_settings(fd, &saved)) return fail(fd, open_error(e));
    if (::ioctl(fd, TIOCEXCL) != 0) return fail(fd, open_error(errno));
    int lines = 0;
    bool has_lines = ::ioctl(fd, TIOCMGET, &lines) == 0;
    serial_icounter_struct ic{};
    bool has_counters = ::ioctl(fd, TIOCGICOUNT, &ic) == 0;
    auto undo = [&](int e) {
        ttysys::set_settings(fd, saved);
        ::ioctl(fd, TIOCNXCL);
        return fail(fd, open_error(e));
    };
    if (int e = ttysys::make_raw(fd)) return undo(e);
    // Every run starts with nothing from before: what arrived while the port was closed is dropped.
    // Output is not flushed: a closed UART has sent or dropped its own, and on a pty the output side is
    // the far end's (flushing it tells a pty plug to drop its line, which may already carry this run).
    ::tcflush(fd, TCIFLUSH);
    if (has_lines) {
        int on = TIOCM_DTR | TIOCM_RTS;
        ::ioctl(fd, TIOCMBIS, &on);
    }
    int wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd < 0) return undo(errno);
    std::shared_ptr<tty_port> p;
    try {
        p = std::make_shared<tty_port>(path, fd, wake_fd, saved, has_lines, lines, has_counters);
        p->start();
    } catch (...) {
        if (p) {
            p->close();  // owns the descriptors now
            kern::set_last_error(kern::err::gen_failure);
            return nullptr;
        }
        ::close(wake_fd);
        return undo(ENOMEM);
    }
    return p;
}

// The port object the dispatch layer holds: closing it also drops it from the registry.
class registered_port final : public port {
  public:
    explicit registered_port(std::shared_ptr<tty_port> p) : p_(std::move(p)) {}
    bool ioctl(uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
               uint32_t* returned, overlapped* ov) override {
        return p_->ioctl(code, in, in_size, out, out_size, returned, ov);
    }
    bool read(void* buf, uint32_t len, uint32_t* count, overlapped* ov) override {
        return p_->read(buf, len, count, ov);
    }
    bool write(const void* buf, uint32_t len, uint32_t* count, overlapped* ov) override {
        return p_->write(buf, len, count, ov);
    }
    void close() override {
        p_->close();
        std::lock_guard lk(registry().m);
        auto it = registry().open.find(p_->path());
        if (it != registry().open.end() && it->second == p_) registry().open.erase(it);
    }

  private:
    std::shared_ptr<tty_port> p_;
};

struct termios_backend final : backend {
    bool claims(const char* path) const override { return path && path[0] == '/'; }

    std::shared_ptr<port> open(const char* path) override {
        auto p = open_tty(path);
        if (!p) return nullptr;
        {
            std::lock_guard lk(registry().m);
            registry().open[p->path()] = p;
        }
        return std::make_shared<registered_port>(std::move(p));
    }
};

}  // namespace

void termios_backend_install() {
    static termios_backend* b = [] {
        auto* nb = new termios_backend;  // lives as long as the process: ports may outlive any owner
        register_backend(nb);
        return nb;
    }();
    (void)b;
}

bool termios_stats(const char* path, termios_port_stats* out) {
    std::shared_ptr<tty_port> p;
    {
        std::lock_guard lk(registry().m);
        auto it = registry().open.find(path ? path : "");
        if (it == registry().open.end()) return false;
        p = it->second;
    }
    *out = p->stats();
    return true;
}

}  // namespace ser
