// The kernel layer: events, cooperative termination, thread reclamation and the clock.
#include "platform/kernel/kernel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "wait_until.h"

namespace {

using namespace std::chrono_literals;

class KernelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kern::clock_config(1.0, 0);
        threads0_ = kern::live_threads();
        events0_ = kern::live_events();
    }
    void TearDown() override {
        EXPECT_TRUE(wait_until([&] { return kern::live_threads() == threads0_; }));
        EXPECT_EQ(kern::live_events(), events0_);
        kern::clock_config(1.0, 0);
    }
    int threads0_ = 0, events0_ = 0;
};

TEST_F(KernelTest, AutoAndManualResetEvents) {
    kern::event_handle a = kern::create_event(false, false);
    kern::event_handle m = kern::create_event(true, true);
    EXPECT_EQ(kern::wait_event(a, 0), kern::wait_timeout);
    kern::set_event(a);
    EXPECT_EQ(kern::wait_event(a, 0), kern::wait_object_0);
    EXPECT_EQ(kern::wait_event(a, 0), kern::wait_timeout) << "auto-reset event must reset on a wait";
    EXPECT_EQ(kern::wait_event(m, 0), kern::wait_object_0);
    EXPECT_EQ(kern::wait_event(m, 0), kern::wait_object_0) << "manual-reset event stays set";
    kern::reset_event(m);
    EXPECT_EQ(kern::wait_event(m, 0), kern::wait_timeout);

    // A waiter blocked with no limit is released by a set from another thread.
    std::atomic<uint32_t> got{1234};
    std::thread t([&] { got = kern::wait_event(a, kern::infinite); });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(got.load(), 1234u);
    kern::set_event(a);
    t.join();
    EXPECT_EQ(got.load(), kern::wait_object_0);

    // A timed wait times out after about its limit.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(kern::wait_event(a, 50), kern::wait_timeout);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 45ms);

    EXPECT_EQ(kern::wait_event(nullptr, 0), kern::wait_failed);
    EXPECT_EQ(kern::last_error(), kern::err::invalid_handle);
    kern::close_event(a);
    kern::close_event(m);
}

struct blocked_ctx {
    kern::event_handle ev = nullptr;
    std::atomic<int> before{0}, after{0};
};

void wait_forever(void* p) {
    auto* c = static_cast<blocked_ctx*>(p);
    c->before = 1;
    kern::wait_event(c->ev, kern::infinite);
    c->after = 1;  // must never run once terminated
}

void sleep_forever(void* p) {
    auto* c = static_cast<blocked_ctx*>(p);
    c->before = 1;
    kern::sleep(kern::infinite);
    c->after = 1;
}

struct busy_ctx {
    std::atomic<bool> spin{true};
    std::atomic<uint32_t> counter{0};
    std::atomic<bool> in_loop{false};
};

void busy_then_checkpoint(void* p) {
    auto* c = static_cast<busy_ctx*>(p);
    for (;;) {
        c->in_loop = true;
        while (c->spin) {
        }  // a section with no call into the layer
        c->counter.fetch_add(1);
        kern::checkpoint();
    }
}

TEST_F(KernelTest, TerminateStopsBlockedThreadsForGood) {
    blocked_ctx w, s;
    w.ev = kern::create_event(false, false);
    kern::thread_handle tw = kern::create_thread(wait_forever, &w, 1024, nullptr);
    kern::thread_handle ts = kern::create_thread(sleep_forever, &s, 1024, nullptr);
    ASSERT_TRUE(wait_until([&] { return w.before && s.before; }));
    std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(kern::thread_stopped(tw));
    EXPECT_TRUE(kern::terminate_thread(tw));
    EXPECT_TRUE(kern::terminate_thread(ts));
    EXPECT_TRUE(kern::thread_stopped(tw));
    kern::set_event(w.ev);  // the event fires after termination: the thread must not go on
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(w.after.load(), 0);
    EXPECT_EQ(s.after.load(), 0);
    EXPECT_TRUE(kern::terminate_thread(tw)) << "terminating twice is harmless";
    // The event goes first while the terminated thread is still registered as its waiter.
    kern::close_event(w.ev);
    kern::close_thread(tw);
    kern::close_thread(ts);
}

TEST_F(KernelTest, TerminateOfBusyThreadWaitsForItsNextCall) {
    busy_ctx c;
    kern::thread_handle t = kern::create_thread(busy_then_checkpoint, &c, 1024, nullptr);
    ASSERT_TRUE(wait_until([&] { return c.in_loop.load(); }));
    std::atomic<bool> returned{false};
    std::thread terminator([&] {
        kern::terminate_thread(t);
        returned = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(returned.load()) << "terminate must not return while the target runs its own code";
    c.spin = false;
    terminator.join();
    uint32_t seen = c.counter.load();
    EXPECT_EQ(seen, 1u);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(c.counter.load(), seen) << "no effect after terminate returned";
    kern::close_thread(t);
}

void quick(void* p) {
    static_cast<std::atomic<int>*>(p)->fetch_add(1);
}

void owns_event(void* p) {
    kern::event_handle e = kern::create_event(true, false);
    static_cast<std::atomic<int>*>(p)->fetch_add(1);
    kern::wait_event(e, kern::infinite);
}

TEST_F(KernelTest, ThousandCreateTerminateCyclesLeaveNothing) {
    std::atomic<int> ran{0};
    for (int i = 0; i < 1000; i++) {
        uint32_t id = 0;
        kern::thread_handle t = kern::create_thread(i % 2 ? quick : owns_event, &ran, 1024, &id);
        ASSERT_NE(t, nullptr);
        EXPECT_NE(id, 0u);
        if (i % 3 == 0) kern::set_thread_priority_highest(t);
        kern::terminate_thread(t);  // may find it finished, blocked, or not started yet
        kern::close_thread(t);
    }
    EXPECT_TRUE(wait_until([&] { return kern::live_threads() == threads0_; }));
    // Events a thread created and never closed go with the thread.
    EXPECT_EQ(kern::live_events(), events0_);
}

struct fail_ctx {
    kern::event_handle ev;
    uint32_t results[3];
    std::atomic<bool> ready{false}, go{false}, done{false};
};

void waits_three_times(void* p) {
    auto* c = static_cast<fail_ctx*>(p);
    c->ready = true;
    while (!c->go) kern::sleep(1);
    for (auto& r : c->results) r = kern::wait_event(c->ev, 0);
    c->done = true;
}

TEST_F(KernelTest, InjectedWaitFailuresHitOnlyTheNamedThread) {
    fail_ctx c;
    c.ev = kern::create_event(true, true);
    uint32_t id = 0;
    kern::thread_handle t = kern::create_thread(waits_three_times, &c, 1024, &id);
    ASSERT_TRUE(wait_until([&] { return c.ready.load(); }));
    kern::inject_wait_failures(id, 2);
    EXPECT_EQ(kern::wait_event(c.ev, 0), kern::wait_object_0) << "other threads are not affected";
    c.go = true;
    ASSERT_TRUE(wait_until([&] { return c.done.load(); }));
    EXPECT_EQ(c.results[0], kern::wait_failed);
    EXPECT_EQ(c.results[1], kern::wait_failed);
    EXPECT_EQ(c.results[2], kern::wait_object_0);
    kern::close_thread(t);
    kern::close_event(c.ev);
}

TEST_F(KernelTest, TickCountWrapsAndIntervalsStayRight) {
    kern::clock_config(1.0, 0xFFFFFFFFu - 20);
    uint32_t before = kern::tick_count();
    std::this_thread::sleep_for(60ms);
    uint32_t after = kern::tick_count();
    EXPECT_LT(after, before) << "the counter must have wrapped";
    uint32_t interval = after - before;
    EXPECT_GE(interval, 55u);
    EXPECT_LT(interval, 2000u);
    EXPECT_GT(kern::now_us(), 0xFFFFFFFFull * 1000) << "the 64-bit clock does not wrap";
}

TEST_F(KernelTest, AcceleratedClockDrivesSleepsAndTimeouts) {
    kern::clock_config(50.0, 1000);
    auto r0 = std::chrono::steady_clock::now();
    uint32_t t0 = kern::tick_count();
    kern::sleep(5000);  // 5 s of clock time, 0.1 s of real time
    uint32_t slept = kern::tick_count() - t0;
    auto real = std::chrono::steady_clock::now() - r0;
    EXPECT_GE(slept, 5000u);
    EXPECT_LT(real, 3s);
    kern::event_handle e = kern::create_event(false, false);
    t0 = kern::tick_count();
    EXPECT_EQ(kern::wait_event(e, 2000), kern::wait_timeout);
    EXPECT_GE(kern::tick_count() - t0, 2000u);
    kern::close_event(e);
}

}  // namespace
