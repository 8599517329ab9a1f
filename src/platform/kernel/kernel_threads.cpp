// Kernel services on standard C++ threads: one layer-wide lock, a condition variable per thread.
// What differs between systems (native thread ids, priorities, the clock's source) is in os_hooks.h,
// implemented once per platform (posix/, win32/).
//
// One lock guards every event and thread record. Each thread blocks only on its own condition
// variable, so terminate_thread() can always wake its target without knowing what it waits for.
// Nothing is ever killed asynchronously: a terminated thread parks at its next call into the layer.
#include <cstdlib>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/kernel/os_hooks.h"

namespace kern {

using steady = std::chrono::steady_clock;

struct thread {
    uint32_t id = 0;
    thread_entry fn = nullptr;
    void* arg = nullptr;
    bool adopted = false;  // not started by this layer (the main thread, test threads)
    std::condition_variable cv;
    std::atomic<bool> stop_req{false};
    bool parked = false;    // terminated: stopped at a termination point, stack kept
    bool released = false;  // handle closed after termination: unwind now
    bool finished = false;  // entry function returned or unwound
    bool closed = false;    // handle released
    bool started = false;   // its system thread has its native reference (or has none)
    uintptr_t native = 0;   // the system's own reference to the thread (os_hooks.h)
    bool has_native = false;
    uint32_t fail_waits = 0;
    std::vector<event*> events;  // created by this thread and still open
};

struct event {
    bool manual = false;
    bool signalled = false;
    bool closed = false;  // closed while threads still waited on it: freed by the last of them
    thread* owner = nullptr;
    std::vector<thread*> waiters;
};

namespace {

struct state {
    std::mutex m;
    std::condition_variable state_cv;  // thread records changing state (parked, finished)
    std::unordered_map<uint32_t, thread*> by_id;
    uint32_t next_id = 1;
    int live_threads = 0;
    int live_events = 0;
    // The system threads behind the records: joined, never detached, once their function is over.
    // A detached thread's runtime record is recycled for the next new thread while the old one is
    // still on its way out; MinGW's thread runtime then leaves the new thread spinning for good on a
    // lock of that record (seen under Wine: an overrun watcher stuck in its first thread-local
    // access after a stop). Joined, a thread is entirely gone before its record is reused.
    std::unordered_map<uint32_t, std::thread> running;  // by record id
    std::vector<std::thread> ended;                     // function over, to be joined
    std::atomic<int64_t> base_ns{os::now_ns()};
    std::atomic<double> scale{1.0};
    std::atomic<uint32_t> tick_start{0};
    // Threads waking the waiters of an event after releasing the lock (see wake_waiters): a thread
    // record is not freed while any is at it.
    std::atomic<int> waking{0};
};

void reap();
// A stopped run's workers may still be unwinding as the program leaves: give them a moment to end
// (one abandoned in a hung driver never does), joining each that does.
void reap_at_exit();

// Never destroyed: detached threads may still use it while the process exits.
state& g() {
    static state* s = [] {
        os::init();
        auto* st = new state;
        // Threads that ended since the last reap are joined as the process exits, so that none is
        // left behind unjoined.
        std::atexit(reap_at_exit);
        return st;
    }();
    return *s;
}

// Called with the lock held, before a thread record is freed: a waker that collected its condition
// variable before the lock was taken here has done with it once this returns. New wakers need the
// lock, so the count only drains.
void await_wakers() {
    while (g().waking.load(std::memory_order_acquire) != 0) std::this_thread::yield();
}

thread_local thread* tls_self = nullptr;
// Record of a thread this layer did not start, dropped from the id table when that thread ends.
struct adopted_holder {
    std::unique_ptr<thread> t;
    ~adopted_holder() {
        if (!t) return;
        std::lock_guard lk(g().m);
        g().by_id.erase(t->id);
        await_wakers();
    }
};
thread_local adopted_holder tls_adopted;
thread_local uint32_t tls_last_error = 0;

thread* self() {
    if (tls_self) return tls_self;
    tls_adopted.t = std::make_unique<thread>();
    thread* t = tls_adopted.t.get();
    t->adopted = true;
    {
        std::lock_guard lk(g().m);
        t->id = g().next_id++;
        g().by_id[t->id] = t;
    }
    tls_self = t;
    return tls_self;
}

// Called with the lock held. A thread asked to stop parks here until its handle is closed.
void park_if_stopped(std::unique_lock<std::mutex>& lk, thread* me) {
    if (!me->stop_req.load(std::memory_order_relaxed)) return;
    me->parked = true;
    g().state_cv.notify_all();
    // A handle closed before the thread got here (an abandoned thread) releases it at once.
    me->cv.wait(lk, [me] { return me->released || me->closed; });
    throw thread_unwind{};
}

steady::time_point real_deadline(uint32_t ms) {
    double real_ms = ms / g().scale.load(std::memory_order_relaxed);
    return steady::now() +
           std::chrono::duration_cast<steady::duration>(std::chrono::duration<double, std::milli>(real_ms));
}

void delete_event_locked(event* e) {
    if (e->owner) {
        auto& v = e->owner->events;
        for (auto it = v.begin(); it != v.end(); ++it)
            if (*it == e) {
                v.erase(it);
                break;
            }
    }
    e->owner = nullptr;
    g().live_events--;
    // A terminated thread may still be registered as a waiter until it unwinds.
    if (e->waiters.empty())
        delete e;
    else
        e->closed = true;
}

// Joins the system threads whose function is over (never the caller's: it has not ended).
void reap() {
    std::vector<std::thread> done;
    {
        std::lock_guard lk(g().m);
        done.swap(g().ended);
    }
    for (auto& th : done) th.join();
}

void reap_at_exit() {
    for (int i = 0; i < 100; i++) {
        reap();
        {
            std::lock_guard lk(g().m);
            if (g().running.empty()) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void finish(thread* t) {
    std::unique_lock lk(g().m);
    while (!t->events.empty()) delete_event_locked(t->events.back());
    if (auto it = g().running.find(t->id); it != g().running.end()) {
        g().ended.push_back(std::move(it->second));
        g().running.erase(it);
    }
    t->finished = true;
    g().by_id.erase(t->id);
    if (t->has_native) os::release_native(t->native);
    t->has_native = false;
    g().state_cv.notify_all();
    if (t->closed) {
        g().live_threads--;
        await_wakers();
        delete t;
    }
}

bool apply_priority(thread* t) {
    return t->has_native && os::raise_priority(t->native);
}

void trampoline(thread* t) {
    tls_self = t;
    {
        std::lock_guard lk(g().m);
        t->has_native = os::current_native(&t->native);
        t->started = true;
        g().state_cv.notify_all();  // set_thread_priority_highest may wait for this
    }
    try {
        {
            std::unique_lock lk(g().m);
            park_if_stopped(lk, t);  // terminated before it ever ran
        }
        t->fn(t->arg);
    } catch (const thread_unwind&) {
    }
    finish(t);
}

}  // namespace

uint32_t last_error() {
    return tls_last_error;
}
void set_last_error(uint32_t code) {
    tls_last_error = code;
}

// ---- Clock ---------------------------------------------------------------------------------------

uint64_t now_us() {
    auto& s = g();
    int64_t real_ns = os::now_ns() - s.base_ns.load(std::memory_order_relaxed);
    double v = static_cast<double>(real_ns) * s.scale.load(std::memory_order_relaxed) / 1000.0;
    return static_cast<uint64_t>(s.tick_start.load(std::memory_order_relaxed)) * 1000u +
           static_cast<uint64_t>(v);
}

uint32_t tick_count() {
    return static_cast<uint32_t>(now_us() / 1000u);
}

void clock_config(double scale, uint32_t tick_start) {
    auto& s = g();
    s.scale.store(scale > 0 ? scale : 1.0, std::memory_order_relaxed);
    s.tick_start.store(tick_start, std::memory_order_relaxed);
    s.base_ns.store(os::now_ns(), std::memory_order_relaxed);
}

double clock_scale() {
    return g().scale.load(std::memory_order_relaxed);
}

void sleep(uint32_t ms) {
    thread* me = self();
    std::unique_lock lk(g().m);
    park_if_stopped(lk, me);
    if (ms == 0) return;
    if (ms == infinite) {
        for (;;) {
            me->cv.wait(lk);
            park_if_stopped(lk, me);
        }
    }
    auto deadline = real_deadline(ms);
    while (me->cv.wait_until(lk, deadline) != std::cv_status::timeout) park_if_stopped(lk, me);
    park_if_stopped(lk, me);
}

void checkpoint() {
    thread* me = tls_self;
    if (!me || !me->stop_req.load(std::memory_order_relaxed)) return;
    std::unique_lock lk(g().m);
    park_if_stopped(lk, me);
}

// ---- Events --------------------------------------------------------------------------------------

event_handle create_event(bool manual_reset, bool initial_state) {
    thread* me = self();
    auto* e = new event;
    e->manual = manual_reset;
    e->signalled = initial_state;
    std::lock_guard lk(g().m);
    if (!me->adopted) {
        e->owner = me;
        me->events.push_back(e);
    }
    g().live_events++;
    return e;
}

namespace {

// Signals the event and wakes its waiters after releasing the lock: woken while the lock is still
// held, a waiter would at once block on it again (two more futex calls and a context switch on every
// completion of a request). The event itself may be gone by then (its owner saw the outcome and
// closed it); only the waiters' records are used, which await_wakers keeps.
void signal_and_wake(std::unique_lock<std::mutex>& lk, event* e) {
    e->signalled = true;
    std::condition_variable* one[4];
    std::vector<std::condition_variable*> many;
    size_t n = e->waiters.size();
    if (n > std::size(one))
        for (thread* w : e->waiters) many.push_back(&w->cv);
    else
        for (size_t i = 0; i < n; i++) one[i] = &e->waiters[i]->cv;
    if (n == 0) return;
    g().waking.fetch_add(1, std::memory_order_relaxed);
    lk.unlock();
    if (n > std::size(one))
        for (auto* cv : many) cv->notify_all();
    else
        for (size_t i = 0; i < n; i++) one[i]->notify_all();
    g().waking.fetch_sub(1, std::memory_order_release);
}

}  // namespace

bool set_event(event_handle e) {
    if (!e) return set_last_error(err::invalid_handle), false;
    std::unique_lock lk(g().m);
    signal_and_wake(lk, e);
    return true;
}

bool set_event_with(event_handle e, void (*publish)(void* ctx), void* ctx) {
    std::unique_lock lk(g().m);
    publish(ctx);
    if (!e) return set_last_error(err::invalid_handle), false;
    signal_and_wake(lk, e);
    return true;
}

bool reset_event(event_handle e) {
    if (!e) return set_last_error(err::invalid_handle), false;
    std::lock_guard lk(g().m);
    e->signalled = false;
    return true;
}

bool close_event(event_handle e) {
    if (!e) return set_last_error(err::invalid_handle), false;
    std::lock_guard lk(g().m);
    delete_event_locked(e);
    return true;
}

uint32_t wait_event(event_handle e, uint32_t timeout_ms) {
    thread* me = self();
    std::unique_lock lk(g().m);
    park_if_stopped(lk, me);
    if (me->fail_waits > 0) {
        me->fail_waits--;
        set_last_error(err::invalid_handle);
        return wait_failed;
    }
    if (!e || e->closed) {
        set_last_error(err::invalid_handle);
        return wait_failed;
    }
    // Registered as a waiter for as long as we block, also while unwinding after termination.
    struct waiter_guard {
        event* e;
        thread* t;
        waiter_guard(event* ev, thread* th) : e(ev), t(th) { e->waiters.push_back(t); }
        ~waiter_guard() {
            auto& v = e->waiters;
            for (auto it = v.begin(); it != v.end(); ++it)
                if (*it == t) {
                    v.erase(it);
                    break;
                }
            if (e->closed && v.empty()) delete e;
        }
    };
    std::optional<waiter_guard> guard;
    std::optional<steady::time_point> deadline;
    if (timeout_ms != infinite) deadline = real_deadline(timeout_ms);
    while (!e->signalled) {
        if (timeout_ms == 0) return wait_timeout;
        if (!guard) guard.emplace(e, me);
        if (deadline) {
            if (me->cv.wait_until(lk, *deadline) == std::cv_status::timeout) {
                park_if_stopped(lk, me);
                if (!e->signalled) return wait_timeout;
                break;
            }
        } else {
            me->cv.wait(lk);
        }
        park_if_stopped(lk, me);
    }
    if (!e->manual) e->signalled = false;
    return wait_object_0;
}

// ---- Threads -------------------------------------------------------------------------------------

thread_handle create_thread(thread_entry fn, void* arg, uint32_t /*stack_hint*/, uint32_t* id) {
    reap();
    auto* t = new thread;
    t->fn = fn;
    t->arg = arg;
    // Under the lock until the system thread is filed: the new thread takes it before anything else,
    // so it cannot finish before it is found in `running`.
    std::lock_guard lk(g().m);
    t->id = g().next_id++;
    try {
        g().running.emplace(t->id, std::thread(trampoline, t));
    } catch (...) {
        delete t;
        set_last_error(err::not_ready);
        return nullptr;
    }
    g().by_id[t->id] = t;
    g().live_threads++;
    if (id) *id = t->id;
    return t;
}

bool set_thread_priority_highest(thread_handle t) {
    if (!t) return set_last_error(err::invalid_handle), false;
    std::unique_lock lk(g().m);
    // A thread that has not run yet has no native reference to raise: its start is a moment away.
    g().state_cv.wait(lk, [t] { return t->started || t->finished || t->parked; });
    if (t->finished || t->parked) return false;
    return apply_priority(t);
}

bool set_current_thread_priority_highest() {
    uintptr_t native = 0;
    if (!os::current_native(&native)) return false;
    bool ok = os::raise_priority(native);
    os::release_native(native);
    return ok;
}

bool terminate_thread(thread_handle t) {
    return terminate_thread_within(t, infinite);
}

bool terminate_thread_within(thread_handle t, uint32_t timeout_ms) {
    if (!t) return set_last_error(err::invalid_handle), false;
    std::unique_lock lk(g().m);
    if (t == tls_self) return set_last_error(err::invalid_parameter), false;
    if (t->finished || t->parked) return true;
    t->stop_req.store(true, std::memory_order_relaxed);
    t->cv.notify_all();
    g().state_cv.notify_all();  // a target blocked in wait_thread watches the state variable
    auto stopped = [t] { return t->parked || t->finished; };
    if (timeout_ms == infinite) return g().state_cv.wait(lk, stopped), true;
    return g().state_cv.wait_until(lk, real_deadline(timeout_ms), stopped);
}

bool close_thread(thread_handle t) {
    if (!t) return set_last_error(err::invalid_handle), false;
    {
        std::lock_guard lk(g().m);
        t->closed = true;
        if (t->finished) {
            g().live_threads--;
            await_wakers();
            delete t;
        } else if (t->parked) {
            t->released = true;
            t->cv.notify_all();
        }
    }
    reap();
    return true;
}

uint32_t wait_thread(thread_handle t, uint32_t timeout_ms) {
    if (!t) return set_last_error(err::invalid_handle), wait_failed;
    thread* me = self();
    std::unique_lock lk(g().m);
    auto stopped = [&] { return t->finished || t->parked || me->stop_req.load(std::memory_order_relaxed); };
    if (timeout_ms == infinite)
        g().state_cv.wait(lk, stopped);
    else
        g().state_cv.wait_until(lk, real_deadline(timeout_ms), stopped);
    park_if_stopped(lk, me);
    return (t->finished || t->parked) ? wait_object_0 : wait_timeout;
}

bool thread_stopped(thread_handle t) {
    if (!t) return true;
    std::lock_guard lk(g().m);
    return t->finished || t->parked;
}

uint32_t current_thread_id() {
    return self()->id;
}

int live_threads() {
    reap();  // those whose function is over are gone entirely once counted out
    std::lock_guard lk(g().m);
    return g().live_threads;
}

int live_events() {
    std::lock_guard lk(g().m);
    return g().live_events;
}

void inject_wait_failures(uint32_t thread_id, uint32_t count) {
    std::lock_guard lk(g().m);
    auto it = g().by_id.find(thread_id);
    if (it != g().by_id.end()) it->second->fail_waits += count;
}

}  // namespace kern
