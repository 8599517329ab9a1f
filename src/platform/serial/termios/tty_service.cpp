// A tty port's service thread: what to wait for, and the passes that move queued reads and writes.
#include <poll.h>
#include <unistd.h>

#include <cmath>

#include "platform/serial/termios/tty_port.h"

namespace ser::tty {

void tty_port::start() {
    service_ = std::thread([this] { run_service(); });
}

uint64_t tty_port::read_deadline() const {
    if (reads_.empty()) return never;
    const read_req& r = reads_.front();
    uint64_t dl = r.total_deadline;
    if (r.interval_us && r.got) dl = std::min(dl, r.last_byte_us + r.interval_us);
    return dl;
}

plan tty_port::plan_now() const {
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

void tty_port::wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void tty_port::reschedule() {
    if (!sleeping_) return;  // awake: it plans again before it sleeps
    plan p = plan_now();
    bool sooner = p.deadline != never && p.deadline + slack_us < planned_.deadline;
    if ((p.events & ~planned_.events) || sooner) {
        wake();
        sleeping_ = false;  // one wake-up is enough until it has planned again
    }
}

void tty_port::serve(std::unique_lock<std::mutex>& lk, short revents, uint64_t now) {
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

void tty_port::run_service() {
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

}  // namespace ser::tty
