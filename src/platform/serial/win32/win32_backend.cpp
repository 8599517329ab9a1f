// Real serial ports on Windows through the serial driver itself (see win32_backend.h).
//
// Every request, with or without a record of the caller's, is issued overlapped with a system
// record of its own (`request`, on the heap) and a buffer of its own: the driver reads into, writes
// from and answers into memory that the request owns, and the outcome is copied into the program's
// buffer and record when it is delivered. A request keeps its port alive until the system is done
// with it, so a completion that comes after the port was closed (CancelIoEx gives no bound) touches
// only the request's own memory; close ends the program's part of every request at once.
//
// The handle is tied to one I/O completion port; the service thread delivers each pending request.
// A request the driver completes at once is delivered by the caller itself and gets no completion
// packet (skip-on-success); where that mode is missing the packet only frees the request.
#include "platform/serial/win32/win32_backend.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/kernel.h"

namespace ser {

// The driver fills our record of its properties in its own layout, the one GetCommProperties returns.
static_assert(IOCTL_SERIAL_GET_PROPERTIES ==
              CTL_CODE(FILE_DEVICE_SERIAL_PORT, 29, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(sizeof(SERIAL_COMMPROP) == sizeof(COMMPROP));
static_assert(offsetof(SERIAL_COMMPROP, SettableData) == offsetof(COMMPROP, wSettableData));
static_assert(offsetof(SERIAL_COMMPROP, CurrentTxQueue) == offsetof(COMMPROP, dwCurrentTxQueue));
static_assert(offsetof(SERIAL_COMMPROP, CurrentRxQueue) == offsetof(COMMPROP, dwCurrentRxQueue));
static_assert(offsetof(SERIAL_COMMPROP, ProvChar) == offsetof(COMMPROP, wcProvChar));

namespace {

constexpr ULONG_PTR port_key = 1, quit_key = 2;

// The driver's handshake bits the program never asks for, cleared at open (a port keeps what the
// previous program left: abort on error makes every request fail after one line error, DSR
// sensitivity drops what arrives while DSR is low, the others change or withhold the bytes).
constexpr uint32_t SERIAL_DSR_SENSITIVITY = 0x40;
constexpr uint32_t SERIAL_ERROR_ABORT = 0x80000000u;
constexpr uint32_t SERIAL_ERROR_CHAR = 0x04;
constexpr uint32_t SERIAL_NULL_STRIPPING = 0x08;
constexpr uint32_t SERIAL_BREAK_CHAR = 0x10;
constexpr uint32_t SERIAL_XOFF_CONTINUE = 0x80000000u;
constexpr uint32_t IOCTL_SERIAL_GET_TIMEOUTS = serial_ctl_code(8);

// What close waits for the driver to end the requests it cancelled; later completions only free
// their requests.
constexpr auto close_wait = std::chrono::milliseconds(500);
// The longest a request of the backend's own (settings at open and close) is waited for.
constexpr uint32_t own_request_ms = 2000;
// Reads that end empty well before their time-out, in a row, before read() paces them.
constexpr int empty_reads_allowed = 2;
constexpr uint32_t empty_read_pause_min_ms = 10;

enum class kind { read, write, wait, status, other };

struct port_impl;

struct request {
    OVERLAPPED sys{};                 // first: the completion port gives back its address
    std::shared_ptr<port_impl> port;  // alive until the system is done with the request
    kind k = kind::other;
    overlapped* user = nullptr;  // the program's record; null once delivered or given up
    void* user_out = nullptr;    // where a read's bytes or a request's answer go
    uint32_t user_len = 0;
    std::vector<uint8_t> data;  // what the driver writes from, reads into or answers into
    std::thread::id issuer;
    uint32_t issued_at = 0;
    bool queued = false;     // a write the caller was told is pending before it reached the driver
    bool delivered = false;  // under the port's lock
    std::atomic<int> refs{1};
};

void release(request* r) {
    if (r->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete r;
}

struct saved_settings {
    bool baud = false, line = false, chars = false, handflow = false, timeouts = false;
    SERIAL_BAUD_RATE b{};
    SERIAL_LINE_CONTROL l{};
    SERIAL_CHARS c{};
    SERIAL_HANDFLOW hf{};
    SERIAL_TIMEOUTS to{};
};

struct port_impl : port, std::enable_shared_from_this<port_impl> {
    const win32_calls c;
    HANDLE h;
    bool packets_on_success;  // the completion port also reports requests completed at once

    std::mutex m;
    std::condition_variable idle_cv;
    std::set<request*> in_flight;      // issued (or being issued), not yet delivered
    std::deque<request*> write_queue;  // one_write_at_a_time: writes waiting for their turn
    bool write_busy = false;
    bool mask_changed = false;  // a new wait mask while a wait was pending
    bool closed = false;
    int calls = 0;                 // threads inside a system call on the handle
    bool handle_closed = false;    // the last of them closes it once the port is closed
    uint32_t errors_kept = 0;      // error bits status answers took that the error waiter has not seen
    std::thread::id error_waiter;  // the thread waiting for error events, if any
    uint32_t read_pause_ms = 0;    // the read time-out's constant, what an empty read should last
    int empty_reads = 0;
    saved_settings saved;

    port_impl(const win32_calls& calls_, HANDLE handle, bool packets)
        : c(calls_), h(handle), packets_on_success(packets) {}

    // ---- Issuing ----

    // Issues r through `call` (r->refs holds the issuer's reference, which stays the caller's).
    template <class F>
    bool launch(request* r, F call, uint32_t* count) {
        {
            std::lock_guard lk(m);
            if (closed || r->delivered) {
                if (!r->delivered && r->queued) deliver_locked(r, ERROR_OPERATION_ABORTED, 0);
                r->delivered = true;
                in_flight.erase(r);
                kern::set_last_error(kern::err::invalid_handle);
                return false;
            }
            ++calls;
            in_flight.insert(r);
        }
        r->refs.fetch_add(1, std::memory_order_relaxed);  // the system's, until it is done with r
        r->issued_at = kern::tick_count();
        DWORD n = 0;
        BOOL ok = call(&r->sys, &n);
        DWORD e = ok ? 0 : c.last_error();
        leave_call();
        if (!ok && e != ERROR_IO_PENDING) {
            // The completion port never sees a refused request; the call reports it, except to a
            // queued write, whose caller was told it is pending.
            settle(r, e, 0, !r->queued);
            release(r);
            kern::set_last_error(e);
            return false;
        }
        if (ok) {
            settle(r, 0, n, false);  // the record holds the outcome before the call returns
            if (!packets_on_success) release(r);
            if (count) *count = n;
            return true;
        }
        kern::set_last_error(kern::err::io_pending);
        return false;
    }

    void leave_call() {
        std::lock_guard lk(m);
        if (--calls == 0 && closed && !handle_closed) close_handle_locked();
    }

    void close_handle_locked() {
        handle_closed = true;
        c.close_handle(h);
    }

    // A request on the caller's record, or on a private one waited for here, at most `wait_ms`
    // (a termination point: a terminated caller's request is given up, never its memory used).
    template <class F>
    bool run(request* r, overlapped* ov, uint32_t* count, F call, uint32_t wait_ms = kern::infinite) {
        r->port = shared_from_this();
        r->issuer = std::this_thread::get_id();
        if (ov) {
            r->user = ov;
            bool ok = launch(r, call, count);
            release(r);
            return ok;
        }
        overlapped priv{};
        priv.hEvent = kern::create_event(false, false);
        mark_pending(&priv);
        r->user = &priv;
        struct holder {
            port_impl* p;
            request* r;
            kern::event_handle ev;
            ~holder() {
                p->give_up(r);
                release(r);
                kern::close_event(ev);
            }
        } hold{this, r, priv.hEvent};
        bool ok = launch(r, call, count);
        if (!ok && kern::last_error() == kern::err::io_pending) {
            if (wait_ms == kern::infinite) return wait_record(&priv, count);
            std::atomic_ref<uint32_t> status(priv.internal);
            uint32_t end = kern::tick_count() + wait_ms;
            while (status.load(std::memory_order_acquire) == kern::err::io_pending) {
                int32_t left = static_cast<int32_t>(end - kern::tick_count());
                if (left <= 0) return kern::set_last_error(kern::err::sem_timeout), false;
                kern::wait_event(priv.hEvent, static_cast<uint32_t>(left));
            }
            ok = wait_record(&priv, count);
        }
        return ok;
    }

    // The program's record and buffer are no longer the request's to fill.
    void give_up(request* r) {
        std::lock_guard lk(m);
        r->user = nullptr;
        r->user_out = nullptr;
    }

    request* new_request(kind k, void* out, uint32_t out_size) {
        auto* r = new request;
        r->k = k;
        r->user_out = out;
        r->user_len = out ? out_size : 0;
        r->data.resize(out ? out_size : 0);
        return r;
    }

    // ---- Delivery ----

    // Ends r's part in the port, once: its outcome into the program's record unless `quiet` (the
    // call itself reports a refusal), and the next queued write on its way.
    void settle(request* r, DWORD status, DWORD bytes, bool quiet) {
        request* next = nullptr;
        {
            std::lock_guard lk(m);
            if (r->delivered) return;
            r->delivered = true;
            in_flight.erase(r);
            if (!quiet) deliver_locked(r, status, bytes);
            if (r->k == kind::write && c.one_write_at_a_time) next = next_write_locked();
            idle_cv.notify_all();
        }
        if (next) issue_queued(next);
    }

    void deliver_locked(request* r, DWORD status, DWORD bytes) {
        if (r->k == kind::wait && status == ERROR_OPERATION_ABORTED) {
            // A wait ended by a new mask completes with that mask's events (none), as the driver
            // does it; some emulations abort it instead.
            if (mask_changed && !closed) {
                status = 0;
                bytes = r->data.size() >= 4 ? 4 : 0;
                std::fill(r->data.begin(), r->data.end(), 0);
            }
            mask_changed = false;
        }
        if (r->k == kind::status && status == 0 && bytes >= sizeof(SERIAL_STATUS) &&
            r->data.size() >= sizeof(SERIAL_STATUS)) {
            // The driver clears its error word with every status answer: whoever asks, the thread
            // that waits for error events still sees every bit once.
            SERIAL_STATUS st;
            std::memcpy(&st, r->data.data(), sizeof st);
            errors_kept |= st.Errors;
            st.Errors = errors_kept;
            if (r->issuer == error_waiter || error_waiter == std::thread::id{}) errors_kept = 0;
            std::memcpy(r->data.data(), &st, sizeof st);
        }
        if (r->k == kind::read && status == 0) {
            bool early = bytes == 0 && kern::tick_count() - r->issued_at < read_pause_ms / 2 + 1;
            empty_reads = early ? empty_reads + 1 : 0;
        }
        if (!r->user) return;
        if (r->user_out && bytes)
            std::memcpy(r->user_out, r->data.data(), std::min<size_t>(bytes, r->user_len));
        complete(r->user, status, bytes);
        r->user = nullptr;
        r->user_out = nullptr;
    }

    request* next_write_locked() {
        write_busy = false;
        if (write_queue.empty()) return nullptr;
        request* n = write_queue.front();
        write_queue.pop_front();
        in_flight.insert(n);  // close sees it while it is being issued
        write_busy = true;
        return n;
    }

    void issue_queued(request* r) {
        launch(
            r,
            [&](OVERLAPPED* o, DWORD* n) {
                return c.write_file(h, r->data.data(), static_cast<DWORD>(r->data.size()), n, o);
            },
            nullptr);
        release(r);
    }

    // Aborts the queued writes (never issued) and cancels what is in flight of the given kinds.
    void abort(bool reads, bool writes, bool everything) {
        std::vector<request*> dropped;
        {
            std::lock_guard lk(m);
            if (writes || everything) {
                dropped.assign(write_queue.begin(), write_queue.end());
                write_queue.clear();
                for (request* r : dropped) deliver_locked(r, ERROR_OPERATION_ABORTED, 0), r->delivered = true;
            }
            if (!handle_closed)
                for (request* r : in_flight)
                    if (everything || (reads && r->k == kind::read) || (writes && r->k == kind::write))
                        c.cancel_io(h, &r->sys);
        }
        for (request* r : dropped) release(r);
    }

    // ---- The program's requests ----

    bool ioctl(uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
               uint32_t* returned, overlapped* ov) override {
        // The board's private loopback codes lie in the range Microsoft reserves for its own
        // requests: a standard driver would take them for something else.
        if (code == IOCTL_SET_INTERNAL_LOOPBACK || code == IOCTL_CLEAR_INTERNAL_LOOPBACK)
            return kern::set_last_error(kern::err::invalid_parameter), false;
        if (code == IOCTL_SERIAL_SET_TIMEOUTS && in && in_size >= sizeof(SERIAL_TIMEOUTS))
            return set_timeouts(*static_cast<const SERIAL_TIMEOUTS*>(in), returned, ov);
        kind k = code == IOCTL_SERIAL_WAIT_ON_MASK     ? kind::wait
                 : code == IOCTL_SERIAL_GET_COMMSTATUS ? kind::status
                                                       : kind::other;
        if (code == IOCTL_SERIAL_SET_WAIT_MASK) {
            // Marked before the request: the driver may end the pending wait before it returns.
            std::lock_guard lk(m);
            for (request* r : in_flight)
                if (r->k == kind::wait) mask_changed = true;
            uint32_t mask = 0;
            if (in && in_size >= 4) std::memcpy(&mask, in, 4);
            if (!(mask & SERIAL_EV_ERR)) error_waiter = {};
        }
        if (k == kind::wait) {
            std::lock_guard lk(m);
            error_waiter = std::this_thread::get_id();
        }
        bool ok = request_ioctl(k, code, in, in_size, out, out_size, returned, ov);
        if (!ok && code == IOCTL_SERIAL_SET_WAIT_MASK) {
            std::lock_guard lk(m);
            mask_changed = false;
        }
        if (ok && code == IOCTL_SERIAL_PURGE && in && in_size >= 4) {
            uint32_t mask;
            std::memcpy(&mask, in, 4);
            // The driver aborts what it names; the backend makes sure of it (not every driver does).
            abort((mask & SERIAL_PURGE_RXABORT) != 0, (mask & SERIAL_PURGE_TXABORT) != 0, false);
        }
        return ok;
    }

    bool request_ioctl(kind k, uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                       uint32_t* returned, overlapped* ov, uint32_t wait_ms = kern::infinite) {
        request* r = new_request(k, out, out_size);
        // The input is copied by the system as the request is issued (every serial request is buffered).
        return run(
            r, ov, returned,
            [&](OVERLAPPED* o, DWORD* n) {
                return c.device_io_control(h, code, const_cast<void*>(in), in_size,
                                           r->data.empty() ? nullptr : r->data.data(),
                                           static_cast<DWORD>(r->data.size()), n, o);
            },
            wait_ms);
    }

    // The program's receive time-outs, MAXDWORD/0/C, mean "return what is there, else wait up to
    // C ms for the first byte"; the documented form of that is MAXDWORD/MAXDWORD/C (MAXDWORD/0/C
    // is not documented, and USB-serial drivers implement time-outs each their own way). Refused,
    // the form asked for is tried as it is.
    bool set_timeouts(SERIAL_TIMEOUTS to, uint32_t* returned, overlapped* ov) {
        SERIAL_TIMEOUTS asked = to;
        if (c.first_byte_timeouts && to.ReadIntervalTimeout == MAXDWORD &&
            to.ReadTotalTimeoutMultiplier == 0 && to.ReadTotalTimeoutConstant > 0 &&
            to.ReadTotalTimeoutConstant < MAXDWORD)
            to.ReadTotalTimeoutMultiplier = MAXDWORD;
        bool ok =
            request_ioctl(kind::other, IOCTL_SERIAL_SET_TIMEOUTS, &to, sizeof to, nullptr, 0, returned, ov);
        if (!ok && kern::last_error() != kern::err::io_pending && std::memcmp(&to, &asked, sizeof to) != 0) {
            to = asked;
            ok = request_ioctl(kind::other, IOCTL_SERIAL_SET_TIMEOUTS, &to, sizeof to, nullptr, 0, returned,
                               ov);
        }
        if (ok || kern::last_error() == kern::err::io_pending) {
            std::lock_guard lk(m);
            read_pause_ms = to.ReadIntervalTimeout == MAXDWORD ? to.ReadTotalTimeoutConstant : 0;
            empty_reads = 0;
        }
        return ok;
    }

    bool read(void* buf, uint32_t len, uint32_t* count, overlapped* ov) override {
        uint32_t pause = 0;
        {
            std::lock_guard lk(m);
            // A driver that ends reads empty at once, whatever the time-outs say: one empty read per
            // time-out, never a receive worker spinning at full speed.
            if (empty_reads >= empty_reads_allowed) pause = std::max(read_pause_ms, empty_read_pause_min_ms);
        }
        if (pause) kern::sleep(pause);
        request* r = new_request(kind::read, buf, len);
        return run(r, ov, count,
                   [&](OVERLAPPED* o, DWORD* n) { return c.read_file(h, r->data.data(), len, n, o); });
    }

    bool write(const void* buf, uint32_t len, uint32_t* count, overlapped* ov) override {
        request* r = new_request(kind::write, nullptr, 0);
        r->data.assign(static_cast<const uint8_t*>(buf), static_cast<const uint8_t*>(buf) + len);
        if (c.one_write_at_a_time && ov) {
            std::unique_lock lk(m);
            if (closed) {
                delete r;
                return kern::set_last_error(kern::err::invalid_handle), false;
            }
            if (write_busy) {
                r->port = shared_from_this();
                r->user = ov;
                r->queued = true;
                write_queue.push_back(r);  // the queue holds the issuer's reference
                kern::set_last_error(kern::err::io_pending);
                return false;
            }
            write_busy = true;
        }
        return run(r, ov, count,
                   [&](OVERLAPPED* o, DWORD* n) { return c.write_file(h, r->data.data(), len, n, o); });
    }

    // ---- Settings at open and close ----

    bool get(uint32_t code, void* out, uint32_t size) {
        uint32_t n = 0;
        return request_ioctl(kind::other, code, nullptr, 0, out, size, &n, nullptr, own_request_ms) &&
               n >= size;
    }
    bool set(uint32_t code, const void* in, uint32_t size) {
        uint32_t n = 0;
        return request_ioctl(kind::other, code, in, size, nullptr, 0, &n, nullptr, own_request_ms);
    }

    // Sets what the program does not set itself and must not inherit: 8 data bits, no parity,
    // 1 stop bit, the standard Xon/Xoff characters and limits, no handshake and none of the
    // flags that abort, drop or change bytes; each read back. What was there is restored at close.
    // Null when the driver takes it all, else the operator's words for what it refused.
    const char* setup() {
        saved.baud = get(IOCTL_SERIAL_GET_BAUD_RATE, &saved.b, sizeof saved.b);
        saved.line = get(IOCTL_SERIAL_GET_LINE_CONTROL, &saved.l, sizeof saved.l);
        saved.chars = get(IOCTL_SERIAL_GET_CHARS, &saved.c, sizeof saved.c);
        saved.handflow = get(IOCTL_SERIAL_GET_HANDFLOW, &saved.hf, sizeof saved.hf);
        saved.timeouts = get(IOCTL_SERIAL_GET_TIMEOUTS, &saved.to, sizeof saved.to);

        const SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
        SERIAL_LINE_CONTROL line_back{};
        if (!set(IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line) ||
            (get(IOCTL_SERIAL_GET_LINE_CONTROL, &line_back, sizeof line_back) &&
             std::memcmp(&line, &line_back, sizeof line) != 0))
            return "does not take 8 data bits, no parity, 1 stop bit";

        SERIAL_CHARS chars = saved.chars ? saved.c : SERIAL_CHARS{};
        chars.XonChar = 0x11;
        chars.XoffChar = 0x13;
        chars.ErrorChar = chars.BreakChar = chars.EventChar = 0;
        SERIAL_CHARS chars_back{};
        if (!set(IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars) ||
            (get(IOCTL_SERIAL_GET_CHARS, &chars_back, sizeof chars_back) &&
             (chars_back.XonChar != chars.XonChar || chars_back.XoffChar != chars.XoffChar)))
            return "does not take the Xon/Xoff characters";

        // The limits of a 4 KiB input queue, the driver's own default.
        const SERIAL_HANDFLOW hf{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512};
        constexpr uint32_t control_off = SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE |
                                         SERIAL_DCD_HANDSHAKE | SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT;
        constexpr uint32_t replace_off = SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR |
                                         SERIAL_NULL_STRIPPING | SERIAL_BREAK_CHAR | SERIAL_RTS_HANDSHAKE |
                                         SERIAL_XOFF_CONTINUE;
        SERIAL_HANDFLOW hf_back{};
        if (!set(IOCTL_SERIAL_SET_HANDFLOW, &hf, sizeof hf) ||
            (get(IOCTL_SERIAL_GET_HANDFLOW, &hf_back, sizeof hf_back) &&
             ((hf_back.ControlHandShake & control_off) || (hf_back.FlowReplace & replace_off))))
            return "keeps a handshake or an abort-on-error setting";
        return nullptr;
    }

    void restore() {
        if (saved.timeouts) set(IOCTL_SERIAL_SET_TIMEOUTS, &saved.to, sizeof saved.to);
        if (saved.handflow) set(IOCTL_SERIAL_SET_HANDFLOW, &saved.hf, sizeof saved.hf);
        if (saved.chars) set(IOCTL_SERIAL_SET_CHARS, &saved.c, sizeof saved.c);
        if (saved.line) set(IOCTL_SERIAL_SET_LINE_CONTROL, &saved.l, sizeof saved.l);
        if (saved.baud) set(IOCTL_SERIAL_SET_BAUD_RATE, &saved.b, sizeof saved.b);
    }

    // Aborts everything of the port and ends the program's part in it before returning: what the
    // driver has not ended within close_wait is reported aborted now, and its late completion only
    // frees the request's own memory. Never blocks longer than that per port.
    bool shows_in_flight() const override { return !c.hides_in_flight; }

    void close() override {
        restore();
        {
            std::lock_guard lk(m);
            closed = true;
        }
        abort(true, true, true);
        std::unique_lock lk(m);
        idle_cv.wait_for(lk, close_wait, [this] { return in_flight.empty(); });
        for (request* r : in_flight) {
            deliver_locked(r, ERROR_OPERATION_ABORTED, 0);
            r->delivered = true;
        }
        in_flight.clear();
        if (calls == 0 && !handle_closed) close_handle_locked();
    }
};

const char* open_failure_words(DWORD e) {
    switch (e) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "not found";
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return "in use";
        default:
            return nullptr;
    }
}

class win32_backend : public backend {
  public:
    explicit win32_backend(const win32_calls& calls) : c_(calls) {
        iocp_ = c_.create_port(INVALID_HANDLE_VALUE, nullptr, 0);
        service_ = std::thread([this] { serve(); });
    }
    ~win32_backend() override {
        c_.post_completion(iocp_, 0, quit_key, nullptr);
        service_.join();
        c_.close_handle(iocp_);
    }

    bool claims(const char* path) const override {
        return std::strncmp(path, "\\\\.\\", 4) == 0 || _strnicmp(path, "COM", 3) == 0;
    }

    std::shared_ptr<port> open(const char* path) override {
        // COM1 to COM9 also open as bare names, COM10 and up only in the device namespace.
        std::string full = std::strncmp(path, "\\\\.\\", 4) == 0 ? path : std::string("\\\\.\\") + path;
        HANDLE h = c_.create_file(full.c_str());
        if (h == INVALID_HANDLE_VALUE) {
            DWORD e = c_.last_error();
            if (const char* words = open_failure_words(e)) set_open_detail(words);
            kern::set_last_error(e);
            return nullptr;
        }
        if (!c_.create_port(h, iocp_, port_key)) {
            DWORD e = c_.last_error();
            c_.close_handle(h);
            kern::set_last_error(e);
            return nullptr;
        }
        bool packets = !c_.skip_on_success(h);
        auto p = std::make_shared<port_impl>(c_, h, packets);
        if (const char* refused = p->setup()) {
            p->close();
            set_open_detail(refused);
            kern::set_last_error(kern::err::invalid_parameter);
            return nullptr;
        }
        return p;
    }

  private:
    void serve() {
        if (c_.service_started) c_.service_started();
        for (;;) {
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            OVERLAPPED* o = nullptr;
            BOOL ok = c_.get_completion(iocp_, &bytes, &key, &o);
            if (!o) {
                if (key == quit_key) return;
                continue;
            }
            auto* r = reinterpret_cast<request*>(o);
            r->port->settle(r, ok ? 0 : c_.last_error(), bytes, false);
            release(r);  // the system's reference
        }
    }

    win32_calls c_;
    HANDLE iocp_;
    std::thread service_;
};

bool under_wine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

}  // namespace

win32_calls system_calls() {
    win32_calls c{};
    c.create_file = [](const char* path) {
        return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    };
    c.device_io_control = [](HANDLE h, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                             DWORD* returned, OVERLAPPED* ov) {
        return DeviceIoControl(h, code, in, in_size, out, out_size, returned, ov);
    };
    c.read_file = [](HANDLE h, void* buf, DWORD len, DWORD* count, OVERLAPPED* ov) {
        return ReadFile(h, buf, len, count, ov);
    };
    c.write_file = [](HANDLE h, const void* buf, DWORD len, DWORD* count, OVERLAPPED* ov) {
        return WriteFile(h, buf, len, count, ov);
    };
    c.cancel_io = [](HANDLE h, OVERLAPPED* ov) { return CancelIoEx(h, ov); };
    c.close_handle = [](HANDLE h) { return CloseHandle(h); };
    c.create_port = [](HANDLE file, HANDLE port, ULONG_PTR key) {
        return CreateIoCompletionPort(file, port, key, 1);
    };
    c.skip_on_success = [](HANDLE file) {
        return SetFileCompletionNotificationModes(file, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS);
    };
    c.get_completion = [](HANDLE port, DWORD* bytes, ULONG_PTR* key, OVERLAPPED** ov) {
        return GetQueuedCompletionStatus(port, bytes, key, ov, INFINITE);
    };
    c.post_completion = [](HANDLE port, DWORD bytes, ULONG_PTR key, OVERLAPPED* ov) {
        return PostQueuedCompletionStatus(port, bytes, key, ov);
    };
    c.last_error = [] { return GetLastError(); };
    // Above the receive workers (highest): it only copies outcomes and signals their events, and a
    // receiver's read is not over before this thread delivered it.
    c.service_started = [] { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL); };
    c.one_write_at_a_time = under_wine();
    c.first_byte_timeouts = !c.one_write_at_a_time;
    c.hides_in_flight = under_wine();
    return c;
}

std::unique_ptr<backend> make_win32_backend(const win32_calls& calls) {
    return std::make_unique<win32_backend>(calls);
}

void win32_backend_install() {
    static std::unique_ptr<backend> b = [] {
        auto p = make_win32_backend(system_calls());
        register_backend(p.get());
        return p;
    }();
}

}  // namespace ser
