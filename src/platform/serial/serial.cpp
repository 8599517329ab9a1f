// Handle table and dispatch to the backends.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/serial/backend.h"

namespace ser {
namespace {

struct registry {
    std::mutex m;
    std::vector<backend*> backends;
    std::unordered_map<handle, std::shared_ptr<port>> ports;
    handle next = 0x100;
};

registry& reg() {
    static registry* r = new registry;
    return *r;
}

std::shared_ptr<port> lookup(handle h) {
    std::lock_guard lk(reg().m);
    auto it = reg().ports.find(h);
    if (it == reg().ports.end()) return nullptr;
    return it->second;
}

// Common entry of every call: a termination point, then the handle.
std::shared_ptr<port> enter(handle h) {
    kern::checkpoint();
    auto p = lookup(h);
    if (!p) kern::set_last_error(kern::err::invalid_handle);
    return p;
}

thread_local char open_detail_text[160];

}  // namespace

const char* open_detail() {
    return open_detail_text;
}

void set_open_detail(const char* text) {
    std::snprintf(open_detail_text, sizeof open_detail_text, "%s", text ? text : "");
}

void register_backend(backend* b) {
    std::lock_guard lk(reg().m);
    reg().backends.push_back(b);
}

void unregister_backend(backend* b) {
    std::lock_guard lk(reg().m);
    auto& v = reg().backends;
    v.erase(std::remove(v.begin(), v.end(), b), v.end());
}

int open_handles() {
    std::lock_guard lk(reg().m);
    return static_cast<int>(reg().ports.size());
}

void complete(overlapped* ov, uint32_t status, uint32_t bytes) {
    // Once the status is visible the requester may free the record (it lives on its stack) and the
    // event: take the event first, and publish and signal in one step of the kernel layer.
    struct outcome {
        overlapped* ov;
        uint32_t status, bytes;
    } o{ov, status, bytes};
    kern::event_handle e = ov->hEvent;
    kern::set_event_with(
        e,
        [](void* p) {
            auto* o = static_cast<outcome*>(p);
            std::atomic_ref<uint32_t>(o->ov->internal_high).store(o->bytes, std::memory_order_relaxed);
            std::atomic_ref<uint32_t>(o->ov->internal).store(o->status, std::memory_order_release);
        },
        &o);
}

void mark_pending(overlapped* ov) {
    std::atomic_ref<uint32_t>(ov->internal_high).store(0, std::memory_order_relaxed);
    std::atomic_ref<uint32_t>(ov->internal).store(kern::err::io_pending, std::memory_order_release);
}

bool wait_record(overlapped* ov, uint32_t* count) {
    std::atomic_ref<uint32_t> status(ov->internal);
    while (status.load(std::memory_order_acquire) == kern::err::io_pending)
        if (kern::wait_event(ov->hEvent, kern::infinite) != kern::wait_object_0) return false;
    if (count) *count = std::atomic_ref<uint32_t>(ov->internal_high).load(std::memory_order_relaxed);
    uint32_t st = status.load(std::memory_order_acquire);
    if (st != 0) return kern::set_last_error(st), false;
    return true;
}

handle create_file(const char* path) {
    kern::checkpoint();
    open_detail_text[0] = '\0';
    backend* chosen = nullptr;
    {
        std::lock_guard lk(reg().m);
        for (auto it = reg().backends.rbegin(); it != reg().backends.rend(); ++it)
            if (path && (*it)->claims(path)) {
                chosen = *it;
                break;
            }
    }
    if (!chosen) {
        kern::set_last_error(kern::err::file_not_found);
        return invalid_handle_value;
    }
    auto p = chosen->open(path);
    if (!p) return invalid_handle_value;
    std::lock_guard lk(reg().m);
    handle h = reg().next++;
    reg().ports.emplace(h, std::move(p));
    return h;
}

bool device_io_control(handle h, uint32_t code, const void* in, uint32_t in_size, void* out,
                       uint32_t out_size, uint32_t* returned, overlapped* ov) {
    auto p = enter(h);
    if (!p) return false;
    if (returned) *returned = 0;
    if (ov) mark_pending(ov);
    bool r = p->ioctl(code, in, in_size, out, out_size, returned, ov);
    kern::checkpoint();  // a caller abandoned inside a hung driver call stops as it returns
    return r;
}

bool read_file(handle h, void* buf, uint32_t len, uint32_t* count, overlapped* ov) {
    if (count) *count = 0;
    auto p = enter(h);
    if (!p) return false;
    if (ov) mark_pending(ov);
    bool r = p->read(buf, len, count, ov);
    kern::checkpoint();  // a caller abandoned inside a hung driver call stops as it returns
    return r;
}

bool write_file(handle h, const void* buf, uint32_t len, uint32_t* count, overlapped* ov) {
    if (count) *count = 0;
    auto p = enter(h);
    if (!p) return false;
    if (ov) mark_pending(ov);
    bool r = p->write(buf, len, count, ov);
    kern::checkpoint();  // a caller abandoned inside a hung driver call stops as it returns
    return r;
}

bool get_overlapped_result(handle h, overlapped* ov, uint32_t* count, bool wait) {
    kern::checkpoint();
    if (!ov) return kern::set_last_error(kern::err::invalid_parameter), false;
    (void)h;  // the record alone tells the outcome, also after the port was closed
    std::atomic_ref<uint32_t> status(ov->internal);
    uint32_t st = status.load(std::memory_order_acquire);
    if (st == kern::err::io_pending) {
        if (!wait) return kern::set_last_error(kern::err::io_incomplete), false;
        while ((st = status.load(std::memory_order_acquire)) == kern::err::io_pending)
            if (kern::wait_event(ov->hEvent, kern::infinite) != kern::wait_object_0) return false;
    }
    if (count) *count = std::atomic_ref<uint32_t>(ov->internal_high).load(std::memory_order_relaxed);
    if (st != 0) return kern::set_last_error(st), false;
    return true;
}

bool shows_in_flight(handle h) {
    auto p = lookup(h);
    return p && p->shows_in_flight();
}

bool close_handle(handle h) {
    kern::checkpoint();
    std::shared_ptr<port> p;
    {
        std::lock_guard lk(reg().m);
        auto it = reg().ports.find(h);
        if (it == reg().ports.end()) return kern::set_last_error(kern::err::invalid_handle), false;
        p = std::move(it->second);
        reg().ports.erase(it);
    }
    p->close();
    return true;
}

}  // namespace ser
