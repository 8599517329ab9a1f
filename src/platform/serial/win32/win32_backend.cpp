// Real serial ports on Windows through the serial driver itself (see win32_backend.h).
//
// Every request, with or without a record of the caller's, is issued overlapped with a system
// record of its own (`request`, heap-allocated, so it outlives a caller that is terminated while it
// waits). The handle is tied to one I/O completion port; the service thread copies each pending
// request's outcome into the program's record and signals its event. A request the driver completes
// at once is delivered by the caller itself and gets no completion packet (skip-on-success), so its
// outcome is reported once; where that mode is missing the packet is awaited instead.
#include "platform/serial/win32/win32_backend.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/kernel/kernel.h"

namespace ser {

namespace {

constexpr ULONG_PTR port_key = 1, quit_key = 2;

enum class kind { read, write, wait, other };

struct port_impl;

struct request {
    OVERLAPPED sys{};  // first: the completion port gives back its address
    port_impl* port = nullptr;
    overlapped* user = nullptr;
    kind k = kind::other;
    void* out = nullptr;  // a wait's mask
    const void* wbuf = nullptr;
    DWORD wlen = 0;
    std::atomic<int> refs{2};  // the issuer's and the delivery's
    std::atomic<bool> delivered{false};
};

void release(request* r) {
    if (r->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete r;
}

struct port_impl : port {
    const win32_calls& c;
    HANDLE h;
    std::mutex m;
    std::condition_variable idle_cv;
    std::set<request*> in_flight;      // issued to the driver, not yet delivered
    std::deque<request*> write_queue;  // one_write_at_a_time: writes waiting for their turn
    bool write_busy = false;
    bool mask_changed = false;  // a new wait mask while a wait was pending
    bool closed = false;

    bool packets_on_success;  // the completion port also reports requests completed at once

    port_impl(const win32_calls& calls, HANDLE handle, bool packets)
        : c(calls), h(handle), packets_on_success(packets) {}

    // Issues r through `call`; the dispatch layer's outcome (see serial.h).
    template <class F>
    bool launch(request* r, F call, uint32_t* count) {
        {
            std::lock_guard lk(m);
            in_flight.insert(r);
        }
        DWORD n = 0;
        BOOL ok = call(&r->sys, &n);
        DWORD e = ok ? 0 : c.last_error();
        if (!ok && e != ERROR_IO_PENDING) {
            request* next = nullptr;
            {
                std::lock_guard lk(m);
                in_flight.erase(r);
                if (r->k == kind::write && c.one_write_at_a_time) next = next_write_locked();
                idle_cv.notify_all();
            }
            delete r;  // the completion port never sees a refused request
            if (next) issue_queued(next);
            kern::set_last_error(e);
            return false;
        }
        if (ok && !packets_on_success) {
            deliver(r, 0, n);
            if (count) *count = n;
            release(r);
            return true;
        }
        if (ok) {
            // Completed at once, and the completion port delivers it all the same: wait for that (a
            // moment), so the record holds the outcome before the call returns.
            while (!r->delivered.load(std::memory_order_acquire)) std::this_thread::yield();
            if (count)
                *count = std::atomic_ref<uint32_t>(r->user->internal_high).load(std::memory_order_relaxed);
            release(r);
            return true;
        }
        release(r);
        kern::set_last_error(kern::err::io_pending);
        return false;
    }

    // A request on the caller's record, or on a private one waited for here (a termination point).
    template <class F>
    bool run(kind k, void* out, overlapped* ov, uint32_t* count, F call) {
        overlapped priv{};
        overlapped* rec = ov;
        if (!rec) {
            priv.hEvent = kern::create_event(false, false);
            mark_pending(&priv);
            rec = &priv;
        }
        auto* r = new request;
        r->port = this;
        r->user = rec;
        r->k = k;
        r->out = out;
        bool ok = launch(r, call, count);
        if (ov) return ok;
        if (!ok && kern::last_error() == kern::err::io_pending) ok = wait_record(&priv, count);
        uint32_t e = kern::last_error();
        kern::close_event(priv.hEvent);
        kern::set_last_error(e);
        return ok;
    }

    request* next_write_locked() {
        write_busy = false;
        if (write_queue.empty()) return nullptr;
        request* n = write_queue.front();
        write_queue.pop_front();
        write_busy = true;
        return n;
    }

    // Issues queued writes in turn until one is in flight or none is left.
    void issue_queued(request* r) {
        while (r) {
            {
                std::lock_guard lk(m);
                in_flight.insert(r);
            }
            DWORD n = 0;
            BOOL ok = c.write_file(h, r->wbuf, r->wlen, &n, &r->sys);
            DWORD e = ok ? 0 : c.last_error();
            if (ok && !packets_on_success) {
                r->refs.fetch_add(1);  // deliver() takes the delivery's reference
                deliver(r, 0, n);      // issues the next queued write itself
                release(r);
                return;
            }
            if (ok || e == ERROR_IO_PENDING) return;  // the completion port delivers it
            {
                std::lock_guard lk(m);
                in_flight.erase(r);
                idle_cv.notify_all();
            }
            complete(r->user, e, 0);
            release(r);
            std::lock_guard lk(m);
            r = next_write_locked();
        }
    }

    // One request's outcome into the program's record (the service thread, or the issuer when the
    // driver completed it at once).
    void deliver(request* r, DWORD status, DWORD bytes) {
        if (r->k == kind::wait && status == ERROR_OPERATION_ABORTED) {
            std::lock_guard lk(m);
            // A wait ended by a new mask completes with that mask's events (none), as the driver
            // does it; some emulations abort it instead.
            if (mask_changed && !closed) {
                status = 0;
                bytes = r->out ? 4 : 0;
                if (r->out) std::memset(r->out, 0, 4);
            }
            mask_changed = false;
        }
        complete(r->user, status, bytes);
        r->delivered.store(true, std::memory_order_release);
        request* next = nullptr;
        {
            std::lock_guard lk(m);
            in_flight.erase(r);
            if (r->k == kind::write && c.one_write_at_a_time) next = next_write_locked();
            idle_cv.notify_all();
        }
        release(r);
        if (next) issue_queued(next);
    }

    // Aborts the queued writes (never issued) and cancels what is in flight of the given kinds.
    void abort(bool reads, bool writes, bool everything) {
        std::vector<request*> dropped;
        {
            std::lock_guard lk(m);
            if (writes || everything) {
                dropped.assign(write_queue.begin(), write_queue.end());
                write_queue.clear();
            }
            for (request* r : in_flight)
                if (everything || (reads && r->k == kind::read) || (writes && r->k == kind::write))
                    c.cancel_io(h, &r->sys);
        }
        for (request* r : dropped) {
            complete(r->user, ERROR_OPERATION_ABORTED, 0);
            release(r);
        }
    }

    bool ioctl(uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
               uint32_t* returned, overlapped* ov) override {
        kind k = code == IOCTL_SERIAL_WAIT_ON_MASK ? kind::wait : kind::other;
        if (code == IOCTL_SERIAL_SET_WAIT_MASK) {
            // Marked before the request: the driver may end the pending wait before it returns.
            std::lock_guard lk(m);
            for (request* r : in_flight)
                if (r->k == kind::wait) mask_changed = true;
        }
        bool ok = run(k, out, ov, returned, [&](OVERLAPPED* o, DWORD* n) {
            return c.device_io_control(h, code, const_cast<void*>(in), in_size, out, out_size, n, o);
        });
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

    bool read(void* buf, uint32_t len, uint32_t* count, overlapped* ov) override {
        return run(kind::read, nullptr, ov, count,
                   [&](OVERLAPPED* o, DWORD* n) { return c.read_file(h, buf, len, n, o); });
    }

    bool write(const void* buf, uint32_t len, uint32_t* count, overlapped* ov) override {
        if (c.one_write_at_a_time && ov) {
            std::unique_lock lk(m);
            if (write_busy) {
                auto* r = new request;
                r->port = this;
                r->user = ov;
                r->k = kind::write;
                r->wbuf = buf;
                r->wlen = len;
                r->refs.store(1);  // the delivery's only: the caller does not wait for it
                write_queue.push_back(r);
                kern::set_last_error(kern::err::io_pending);
                return false;
            }
            write_busy = true;
        }
        return run(kind::write, nullptr, ov, count,
                   [&](OVERLAPPED* o, DWORD* n) { return c.write_file(h, buf, len, n, o); });
    }

    void close() override {
        {
            std::lock_guard lk(m);
            closed = true;
        }
        abort(true, true, true);
        // Nothing of the port may be in flight once it is closed: the buffers belong to the program.
        std::unique_lock lk(m);
        idle_cv.wait_for(lk, std::chrono::seconds(10), [this] { return in_flight.empty(); });
        lk.unlock();
        c.close_handle(h);
    }
};

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
        HANDLE h = c_.create_file(path);
        if (h == INVALID_HANDLE_VALUE) {
            kern::set_last_error(c_.last_error());
            return nullptr;
        }
        if (!c_.create_port(h, iocp_, port_key)) {
            DWORD e = c_.last_error();
            c_.close_handle(h);
            kern::set_last_error(e);
            return nullptr;
        }
        bool packets = !c_.skip_on_success(h);
        return std::make_shared<port_impl>(c_, h, packets);
    }

  private:
    void serve() {
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
            r->port->deliver(r, ok ? 0 : c_.last_error(), bytes);
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
    c.one_write_at_a_time = under_wine();
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
