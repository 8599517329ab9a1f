// A day-long run at the highest rate on the accelerated clock: the counters pass the old 32-bit limits
// (2^31 bytes after 6.5 hours, 2^32 after 13) and the rate and the summary still come from the whole
// counts. Minutes of machine time, so it runs as `make test-long`, not in the default suite.
#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "loop.h"
#include "verdict.h"
#include "model/chnl.h"
#include "platform/serial/virtual/vboard.h"
#include "write.h"

namespace {

using namespace zentrel;

// 86400 clock seconds in about three minutes. RTS/CTS holds the sender while a loaded machine lets
// the receiver fall behind, so the run stays free of overruns whatever the machine's load.
constexpr double day_scale = 480.0;
constexpr uint32_t day_ms = 86400u * 1000u;

TEST(LongRun, ADayAt921600CountsPastTheOld32BitLimits) {
    kern::clock_config(day_scale, 0xFFFFFFFFu - 600000u);  // the tick count wraps ten minutes in
    settings_reset();
    chnls_startup("3");
    {
        // A queue that holds what one real millisecond of this clock brings (44 KB), so that the
        // receiver's wake-ups, not the queue, bound how much a step can move.
        vboard::board board("queue=65536");
        chnl_count = 1;
        set_bauds(921600);
        set_flows(flow_rtscts);
        drain_at_stop = 1;
        bool none = true;
        loop_init(&none);
        ASSERT_FALSE(none);
        loop_running = 1;
        auto w0 = std::chrono::steady_clock::now();
        const uint32_t t0 = kern::tick_count();
        // Until the last sample closes a whole day (the monitor may come late on a loaded machine),
        // within a bound.
        while (kern::tick_count() - t0 < day_ms + 2000u || (chnls[0].out_time - chnls[0].out_time0 < day_ms &&
                                                            kern::tick_count() - t0 < day_ms + 600000u)) {
            kern::sleep(1000);
            wrmon_watchdog();
        }
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
        loop_running = 0;
        loop_fini();
        drain_at_stop = 0;

        const chnl_struct& c = chnls[0];
        const uint32_t interval = c.out_time - c.out_time0;
        const uint64_t out = c.out_cur, in = c.in_cur;
        const uint32_t rate = chnl_rate(out, c.out_time, c.out_time0);
        char text[summary_size];
        loop_summary_text(text, sizeof text);
        std::printf("Simulated %.2f h at 921600 baud in %.0f s: Xmit %" PRIu64 " Rcv %" PRIu64
                    " rate %u cps (%.2f%%), sent %" PRIu64 " received %" PRIu64 " (drain %s), errors %" PRIu64
                    ", overruns %" PRIu64 "\n",
                    interval / 3.6e6, wall, out, in, rate, rate / 921.6, chnl_sent(&c), chnl_received(&c),
                    drain_state == drain_exact ? "exact" : "not exact", c.in_errs.get(), c.in_ovlds.get());
        for (char* p = text; *p; p++)
            if (*p == '\r') *p = '|';
        std::printf("Summary: %s\n", text);

        EXPECT_GE(interval, day_ms);
        EXPECT_GT(out, uint64_t{1} << 32) << "the run passes the point where 32-bit counters wrapped";
        EXPECT_GT(in, uint64_t{1} << 32);
        EXPECT_EQ(c.in_errs.get(), 0u);
        EXPECT_EQ(c.in_ovlds.get(), 0u);
        // The rate from the whole count, exactly as the formula reads.
        EXPECT_EQ(rate, static_cast<uint32_t>(static_cast<long double>(out) * 1000.0L / interval));
        EXPECT_EQ(std::string(text).rfind("Average cps: " + std::to_string(rate) + " (", 0), 0u) << text;
        EXPECT_EQ(drain_state.get(), drain_exact);
        EXPECT_EQ(chnl_sent(&c), chnl_received(&c)) << "nothing is lost on a clean line";
    }
    kern::clock_config(1.0, 0);
}

}  // namespace
