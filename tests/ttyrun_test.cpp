// Whole runs of the engine on the Linux serial backend, through the pty plug, on the real clock.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "box_recorder.h"
#include "loop.h"
#include "model/chnl.h"
#include "platform/serial/backend.h"
#include "platform/serial/termios/termios_backend.h"
#include "plug.h"
#include "wait_until.h"
#include "wiring.h"
#include "write.h"

namespace {

using namespace zentrel;

// Sanitized builds run the plug's thread several times slower: it falls behind its 1 ms slices and
// catches up in bursts, which move bytes across the edges of a measuring window.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double rate_tolerance = 0.10;
#else
constexpr double rate_tolerance = 0.01;
#endif

// A channel's figures as the write monitor left them at one of its passes.
struct sample {
    uint64_t out_cur, in_cur;
    uint32_t time;
};

class PlugRun : public ::testing::Test {
  protected:
    void SetUp() override {
        ser::termios_backend_install();
        kern::clock_config(1.0, 0);
        threads0_ = kern::live_threads();
        events0_ = kern::live_events();
        settings_reset();
        chnls_startup("3");
        char tmpl[] = "/tmp/zt-ttyrun-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }

    void TearDown() override {
        stop();
        plug_.reset();
        ::rmdir(dir_.c_str());
        EXPECT_EQ(ser::open_handles(), 0);
        EXPECT_TRUE(wait_until([&] { return kern::live_threads() == threads0_; }));
        EXPECT_EQ(kern::live_events(), events0_);
        settings_reset();
    }

    void make_plug(zplug::options o) {
        o.dir = dir_;
        plug_ = std::make_unique<zplug::plug>(o);
        plug_->start();
        std::snprintf(devLink, sizeof devLink, "%s/ttyV", dir_.c_str());
    }

    void start() {
        bool none = true;
        ASSERT_EQ(loop_init(&none), 0);
        ASSERT_FALSE(none);
        loop_running = 1;
    }

    void stop() {
        if (!loop_running) return;
        loop_running = 0;
        loop_fini();
        EXPECT_EQ(ser::open_handles(), 0);
    }

    // The figures right after the monitor's next pass, which writes them all within a moment.
    static std::vector<sample> after_next_monitor_pass() {
        uint32_t seen = chnls[0].mon_loops;
        EXPECT_TRUE(wait_until([&] { return chnls[0].mon_loops != seen; }));
        kern::sleep(100);
        std::vector<sample> v;
        for (int i = 0; i < chnl_count; i++)
            v.push_back({chnls[i].out_cur, chnls[i].in_cur, chnls[i].out_time});
        return v;
    }

    std::vector<std::string> boxes_seen() const { return boxes_.seen(); }

    std::string dir_;
    std::unique_ptr<zplug::plug> plug_;
    box_recorder boxes_;
    int threads0_ = 0, events0_ = 0;
};

TEST_F(PlugRun, SixteenPacedPortsRunAtLineCapacityWithoutErrors) {
    // In 8N2, eleven bit times a character: the ptys carry the format and the plug paces by it.
    // (8N1 at the plug's capacity: the batch tests.)
    make_plug({});
    set_bauds(115200);
    set_flows(flow_none);
    com_format = line_format{8, ser::NO_PARITY, ser::STOP_BITS_2};
    start();
    EXPECT_EQ(chnl_count, 16);
    for (int p = 3; p <= 18; p++)
        EXPECT_EQ(plug_->line_cflag(p) & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8 | CSTOPB)) << p;
    after_next_monitor_pass();  // the lines are full from here on
    std::vector<sample> a = after_next_monitor_pass();
    // The received figure misses a read that has completed but is not yet counted: one 30 ms read at
    // either end of the window, 0.75% of four seconds.
    for (int s = 0; s < 3; s++) after_next_monitor_pass();
    std::vector<sample> b = after_next_monitor_pass();
    stop();

    const double capacity = 115200 / 11.0;
    for (int i = 0; i < 16; i++) {
        SCOPED_TRACE(i);
        // What came back over whole seconds of a full line: the line's own rate.
        EXPECT_NEAR(chnl_rate(b[i].in_cur - a[i].in_cur, b[i].time, a[i].time), capacity,
                    capacity * rate_tolerance);
        // Sent but not yet back: what the pty and the plug hold, never more. (A pty holds 12 to 22 KiB,
        // taken and freed in chunks of a few KiB, and TIOCOUTQ does not see them; so the rate of what was
        // sent is exact only over long runs, and the whole-run figure can only read high.)
        EXPECT_GE(b[i].out_cur, b[i].in_cur);
        EXPECT_LE(b[i].out_cur - b[i].in_cur, 32768u);
        EXPECT_GE(chnl_rate(chnls[i].out_cur, chnls[i].out_time, chnls[i].out_time0),
                  capacity * (1 - rate_tolerance));
        EXPECT_EQ(chnls[i].in_errs, 0u);
        EXPECT_EQ(chnls[i].in_ovlds, 0u);
        EXPECT_GT(chnls[i].in_count, 3 * capacity);
    }
    EXPECT_TRUE(boxes_seen().empty());
}

TEST_F(PlugRun, InjectedFaultsAreCountedAsDataErrors) {
    zplug::options o;
    o.count = 4;
    o.corrupt = 5e-4;
    o.drop = 2e-4;
    o.seed = 7;
    make_plug(o);
    chnl_count = 4;
    set_bauds(115200);
    set_flows(flow_none);
    start();
    kern::sleep(3000);
    stop();
    zplug::port_counts t = plug_->totals();
    uint64_t faults = t.corrupted + t.dropped, errs = 0;
    for (int i = 0; i < 4; i++) errs += chnls[i].in_errs;
    ASSERT_GT(t.corrupted, 0u);
    ASSERT_GT(t.dropped, 0u);
    // One error per damaged read: faults close together share a read, and a corrupted last byte
    // costs the next read as well. Bytes still in flight at the stop are counted but never checked.
    EXPECT_GE(errs, faults / 2);
    EXPECT_LE(errs, 2 * t.corrupted + t.dropped);
    for (int i = 0; i < 4; i++) EXPECT_EQ(chnls[i].in_ovlds, 0u);
}

TEST_F(PlugRun, NullModemPairsAreMappedAndAnotherAnalyzerOnThePairIsForeign) {
    zplug::options o;
    o.count = 4;
    o.null_modem = true;
    make_plug(o);
    chnl_count = 4;
    set_bauds(115200);
    set_flows(flow_none);
    uint32_t t0 = kern::tick_count();
    start();
    std::printf("4 plug ports in pairs: opened and wiring found in %u ms\n", kern::tick_count() - t0);
    for (int i = 0; i < 4; i++) EXPECT_EQ(chnls[i].wire_from, i ^ 1) << "channel " << i;
    kern::sleep(1000);
    stop();
    for (int i = 0; i < 4; i++) EXPECT_EQ(chnls[i].in_errs, 0u) << "channel " << i;

    // Another analyzer starts on ttyV4 while this run on ttyV3 identifies its wiring: what arrives
    // is an identification, but not this run's.
    std::string cmd = "sleep 0.05; exec " ZENTREL_EXE " --batch --seconds 1 -n 1 -f none -d " + std::string(devLink) +
                      " 4 >/dev/null 2>&1";
    const char* argv[] = {"sh", "-c", cmd.c_str(), nullptr};
    pid_t other = 0;
    ASSERT_EQ(::posix_spawn(&other, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    chnl_count = 1;
    start();
    EXPECT_EQ(chnls[0].wire_from, wire_foreign);
    char reason[80];
    EXPECT_FALSE(chnl_wiring_ok(0, reason, sizeof reason));
    EXPECT_STREQ(reason, "receives from another program");
    stop();
    int status = 0;
    ASSERT_EQ(::waitpid(other, &status, 0), other);
}

TEST_F(PlugRun, AVanishedPortNeitherHangsNorSpinsAndTheOthersRunOn) {
    zplug::options o;
    o.count = 2;
    make_plug(o);
    chnl_count = 2;
    set_bauds(115200);
    set_flows(flow_xonxoff);  // the program's default: IXON on a pty must pass the pattern untouched
    start();
    kern::sleep(800);
    plug_->unplug(4);
    kern::sleep(200);
    uint32_t loops_then = chnls[1].in_loops, posted_then = chnls[1].out_posted,
             count_then = chnls[0].in_count;
    kern::sleep(1500);
    // A refused read backs off before the next: tens of reads in 1.5 s, not millions.
    EXPECT_LT(chnls[1].in_loops - loops_then, 200u);
    EXPECT_EQ(chnls[1].out_posted, posted_then);
    EXPECT_GT(chnls[0].in_count, count_then + 10000u) << "the other port runs on";
    stop();
    EXPECT_EQ(chnls[0].in_errs, 0u);
}

TEST_F(PlugRun, StartAndStopWhileLinesRunFlatOutLeaveNothingBehind) {
    // Unpaced lines keep every port's service thread in the device most of the time, so the stop's
    // purge and close meet it there. Every run starts clean: nothing a stopped run left on the lines
    // (in the ptys, in the plug) reaches the next one's receive check.
    zplug::options o;
    o.count = 4;
    o.paced = false;
    make_plug(o);
    for (int cycle = 0; cycle < 30; cycle++) {
        set_flows(cycle % 2 ? flow_xonxoff : flow_none);
        chnl_count = 4;
        start();
        kern::sleep(static_cast<uint32_t>(cycle % 6) * 15);
        if (cycle % 3 == 0) wait_until([] { return chnls[0].in_cur > 20000; });
        stop();
        ASSERT_EQ(ser::open_handles(), 0) << "cycle " << cycle;
        for (int i = 0; i < 4; i++) EXPECT_EQ(chnls[i].in_errs, 0u) << "cycle " << cycle << " port " << i;
        plug_->settle();  // as the next program's start-up would give it time to
    }
    EXPECT_GT(plug_->totals().bytes, 0u);
    EXPECT_TRUE(boxes_seen().empty());
}

}  // namespace
