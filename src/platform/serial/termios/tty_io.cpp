// A tty port's reads and writes: from the caller at once, or queued and moved on by the service thread.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/serial/termios/tty_port.h"

namespace ser::tty {

tty_port::io_result tty_port::read_some(uint8_t* dst, uint32_t want) const {
    io_result r{};
    do r.n = ::read(fd_, dst, want);
    while (r.n < 0 && errno == EINTR);
    r.err = r.n < 0 ? errno : 0;
    int k = 0;
    if (r.n > 0 && static_cast<uint32_t>(r.n) < want && rx_.on_ready)
        r.more = ::ioctl(fd_, FIONREAD, &k) == 0 && k > 0;
    return r;
}

tty_port::io_result tty_port::write_some(const uint8_t* src, uint32_t len) const {
    io_result r{};
    do r.n = ::write(fd_, src, len);
    while (r.n < 0 && errno == EINTR);
    r.err = r.n < 0 ? errno : 0;
    return r;
}

void tty_port::take(read_req& r, ssize_t n, uint64_t now, uint64_t* moved) {
    r.got += static_cast<uint32_t>(n);
    r.last_byte_us = now;
    rx_bytes_ += static_cast<uint64_t>(n);
    *moved += static_cast<uint64_t>(n);
}

void tty_port::take_ahead(read_req& r, uint64_t now) {
    while (ahead_count_ && r.got < r.len) {
        uint32_t k = std::min({ahead_count_, r.len - r.got, ahead_size - ahead_head_});
        std::memcpy(r.buf + r.got, ahead_.data() + ahead_head_, k);
        ahead_head_ = (ahead_head_ + k) % ahead_size;
        ahead_count_ -= k;
        r.got += k;
        r.last_byte_us = now;
    }
}

bool tty_port::read_ahead(std::unique_lock<std::mutex>& lk, uint64_t* moved) {
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
        for (uint32_t peak = ahead_peak_.load(std::memory_order_relaxed);
             ahead_count_ > peak &&
             !ahead_peak_.compare_exchange_weak(peak, ahead_count_, std::memory_order_relaxed);) {
        }
        rx_bytes_ += static_cast<uint64_t>(x.n);
        *moved += static_cast<uint64_t>(x.n);
        if (static_cast<uint32_t>(x.n) < room && !x.more) return true;
    }
    return true;
}

bool tty_port::read_done(const read_req& r, uint64_t now) {
    return r.got == r.len || (r.any_byte && r.got) || now >= r.total_deadline ||
           (r.interval_us && r.got && now >= r.last_byte_us + r.interval_us);
}

bool tty_port::start_read(std::unique_lock<std::mutex>& lk, uint8_t* buf, uint32_t len, uint32_t* count,
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

bool tty_port::start_write(std::unique_lock<std::mutex>& lk, const uint8_t* buf, uint32_t len,
                           uint32_t* count, overlapped* ov) {
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

void tty_port::rx_pass(std::unique_lock<std::mutex>& lk, uint64_t now) {
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
        // The reader usually follows with a read like this one: plan for its time-out already, so
        // that posting it needs no wake-up of this thread (also after a read that filled up: on a
        // fast line that is every read).
        if (reads_.size() == 1 && r.total_us) rx_expected_ = now + r.total_us + slack_us;
        finished_.push_back({r.ov, 0, r.got});
        reads_.pop_front();
    }
    rx_.pass(now, moved, rx_batch, queue_size);
}

void tty_port::learn_tx_capacity() {
    if (!tx_empty_) return;
    tx_empty_ = false;
    tx_batch_ = std::max(tx_filled_ / 2, tx_batch_min);
}

void tty_port::tx_pass(std::unique_lock<std::mutex>& lk, uint64_t now) {
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

}  // namespace ser::tty
