// The virtual board's contract as the analyzer relies on it, driven through the serial interface.
#include "platform/serial/virtual/vboard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/serial/backend.h"
#include "platform/serial/serial.h"

namespace {

using namespace std::chrono_literals;
using namespace ser;
constexpr uint32_t long_wait_ms = 250'000;  // clock ms: 10 s of real time at the test clock rate

template <class Pred>
bool poll(Pred pred) {
    for (auto end = std::chrono::steady_clock::now() + 10s; !pred(); std::this_thread::sleep_for(1ms))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

// The analyzer's data: 32 + i mod 64, which never contains a flow-control character.
std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(32 + i % 64);
    return v;
}

struct ov_rec {
    overlapped ov{};
    explicit ov_rec(bool manual = false) { ov.hEvent = kern::create_event(manual, false); }
    ~ov_rec() { kern::close_event(ov.hEvent); }
    bool signalled(uint32_t ms = long_wait_ms) {
        return kern::wait_event(ov.hEvent, ms) == kern::wait_object_0;
    }
    uint32_t status() { return std::atomic_ref<uint32_t>(ov.internal).load(); }
    uint32_t bytes() { return std::atomic_ref<uint32_t>(ov.internal_high).load(); }
};

// The call returned false with `code` as the last error (refused, or pending with io_pending).
testing::AssertionResult fails_with(bool ok, uint32_t code) {
    uint32_t err = kern::last_error();
    if (!ok && err == code) return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << (ok ? "succeeded" : "failed with " + std::to_string(err)) << ", expected to fail with " << code;
}

// Declare records and buffers before the ports: closing a port completes what is still in flight.
struct port {
    handle h;
    explicit port(int n) : h(create_file(vboard::device_path(n).c_str())) {}
    ~port() { close(); }
    bool ok() const { return h != invalid_handle_value; }
    void close() {
        if (ok()) close_handle(h);
        h = invalid_handle_value;
    }
    bool ctl(uint32_t code, const void* in, uint32_t in_size, void* out = nullptr, uint32_t out_size = 0,
             uint32_t* ret = nullptr, overlapped* ov = nullptr) {
        return device_io_control(h, code, in, in_size, out, out_size, ret, ov);
    }
    bool set(uint32_t code, uint32_t v) { return ctl(code, &v, 4); }
    bool timeouts(uint32_t interval, uint32_t mult, uint32_t constant) {
        SERIAL_TIMEOUTS t{interval, mult, constant, 0, 0};
        return ctl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t);
    }
    bool handflow(uint32_t control, uint32_t replace, int32_t xon, int32_t xoff) {
        SERIAL_HANDFLOW f{control, replace, xon, xoff};
        return ctl(IOCTL_SERIAL_SET_HANDFLOW, &f, sizeof f);
    }
    SERIAL_STATUS status() {
        SERIAL_STATUS s{};
        uint32_t ret = 0;
        EXPECT_TRUE(ctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s, &ret));
        EXPECT_EQ(ret, 20u);
        return s;
    }
    bool wait_on_mask(uint32_t* mask, ov_rec& o) {
        return ctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, mask, 4, nullptr, &o.ov);
    }
    void read_pending(void* buf, uint32_t len, ov_rec& o) {
        EXPECT_TRUE(fails_with(read_file(h, buf, len, nullptr, &o.ov), kern::err::io_pending));
    }
    void write_pending(const void* buf, uint32_t len, ov_rec& o) {
        EXPECT_TRUE(fails_with(write_file(h, buf, len, nullptr, &o.ov), kern::err::io_pending));
    }
    // Writes and waits until the last byte has left.
    void send(const std::vector<uint8_t>& data, size_t len = SIZE_MAX) {
        ov_rec o;
        write_pending(data.data(), static_cast<uint32_t>(std::min(len, data.size())), o);
        EXPECT_TRUE(o.signalled());
        EXPECT_EQ(o.status(), 0u);
    }
};

class VBoardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kern::clock_config(25.0, 0);
        threads0_ = kern::live_threads();
        events0_ = kern::live_events();
        handles0_ = open_handles();
    }
    void TearDown() override {
        board_.reset();
        EXPECT_EQ(open_handles(), handles0_);
        // A terminated thread unwinds (and closes what it holds) after its handle is closed.
        EXPECT_TRUE(poll([&] { return kern::live_threads() == threads0_; }));
        EXPECT_TRUE(poll([&] { return kern::live_events() == events0_; })) << kern::live_events();
        kern::clock_config(1.0, 0);
    }
    vboard::board& make(const std::string& config) {
        board_.reset();
        board_ = std::make_unique<vboard::board>(config);
        return *board_;
    }
    vboard::port_snapshot snap(int n) { return board_->snapshot(n); }

    std::unique_ptr<vboard::board> board_;
    int threads0_ = 0, events0_ = 0, handles0_ = 0;
};

TEST_F(VBoardTest, OpenRulesAndDefaultsOnEveryOpen) {
    make("ports=1-4,7; 2:missing; 3:busy; queue=1000");
    {
        port a(1);
        ASSERT_TRUE(a.ok());
        EXPECT_TRUE(fails_with(port(1).ok(), kern::err::access_denied));
        EXPECT_TRUE(fails_with(port(2).ok(), kern::err::file_not_found));
        EXPECT_TRUE(fails_with(port(3).ok(), kern::err::access_denied));
        EXPECT_TRUE(fails_with(port(5).ok(), kern::err::file_not_found));
        EXPECT_TRUE(port(7).ok());
        for (const char* bad : {"\\\\.\\COM", "\\\\.\\COM01", "\\\\.\\COM1x", "\\\\.\\COM-1", "\\\\.\\COM+1"})
            EXPECT_TRUE(fails_with(create_file(bad) != invalid_handle_value, kern::err::file_not_found))
                << bad;
        EXPECT_FALSE(snap(2).exists);
        // Leave settings changed behind.
        EXPECT_TRUE(a.set(IOCTL_SERIAL_SET_BAUD_RATE, 115200));
        EXPECT_TRUE(a.ctl(IOCTL_SET_INTERNAL_LOOPBACK, nullptr, 0));
        EXPECT_TRUE(a.handflow(SERIAL_CTS_HANDSHAKE, SERIAL_AUTO_RECEIVE, 7, 9));
        EXPECT_TRUE(a.timeouts(MAXDWORD, 0, 30));
        EXPECT_TRUE(a.set(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_ERR));
        EXPECT_TRUE(fails_with(a.set(IOCTL_SERIAL_SET_BAUD_RATE, 921601), kern::err::invalid_parameter));
        EXPECT_TRUE(fails_with(a.ctl(0x001B0F00, nullptr, 0), kern::err::invalid_parameter));
    }
    port a(1);
    ASSERT_TRUE(a.ok()) << "free again after the close";
    vboard::port_snapshot s = snap(1);
    EXPECT_EQ(s.opens, 2u);
    EXPECT_EQ(s.baud, 9600u);
    EXPECT_FALSE(s.internal_loopback);
    EXPECT_EQ(s.wait_mask, 0u);
    EXPECT_EQ(s.timeouts.ReadIntervalTimeout, 0u);
    SERIAL_HANDFLOW f{};
    ASSERT_TRUE(a.ctl(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &f, sizeof f));
    EXPECT_EQ(f.ControlHandShake, SERIAL_DTR_CONTROL);
    EXPECT_EQ(f.FlowReplace, SERIAL_RTS_CONTROL);
    EXPECT_EQ(f.XonLimit, 500);
    EXPECT_EQ(f.XoffLimit, 125);
}

TEST_F(VBoardTest, ConfigErrorsNameTheItem) {
    for (const char* item :
         {"queue=abc", "queue=0", "ports=5-3", "maxbaud=-5", "speed=9600", "wiring=crossed",
          "wiring=null:1-1", "wiring=null:1-2,2-3", "wiring=map:1>2,1>3", "wiring=map:1-2", "3:noise=0",
          "3:dropblock=0", "3:pause=100", "3:pause=100:0", "3:refuse=fly", "3:ignore=status", "3:", "1-4"}) {
        try {
            vboard::board b(std::string("ports=1-8;") + item);
            ADD_FAILURE() << "accepted " << item;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(std::string("'") + item + "'"), std::string::npos)
                << e.what();
        }
    }
    vboard::board& b = make(" ports = 1-4 ;; queue = 512 ; 2 : noise = 10 , drop=3 ");
    EXPECT_THROW(b.set_faults(1, "loud"), std::invalid_argument);
    EXPECT_THROW(b.set_faults(9, "busy"), std::invalid_argument);
    b.set_faults(1, "busy");
    EXPECT_FALSE(port(1).ok());
}

TEST_F(VBoardTest, PacingHoldsBaudAndFormatAndWritesCompleteWhenSent) {
    make("wiring=open");
    struct pcase {
        uint32_t baud;
        SERIAL_LINE_CONTROL lc;
        double bits;  // bit times per character
    };
    const pcase cases[] = {
        {9600, {STOP_BIT_1, NO_PARITY, 8}, 10},       {921600, {STOP_BIT_1, NO_PARITY, 8}, 10},
        {115200, {STOP_BITS_2, NO_PARITY, 8}, 11},    {115200, {STOP_BITS_2, EVEN_PARITY, 8}, 12},
        {115200, {STOP_BITS_1_5, NO_PARITY, 5}, 7.5},
    };
    for (const auto& c : cases) {
        const uint32_t baud = c.baud;
        SCOPED_TRACE(testing::Message() << baud << " " << c.bits);
        const double cps = baud / c.bits;
        std::vector<uint8_t> data = pattern(static_cast<size_t>(cps * 30));  // outlasts any late wake-up
        ov_rec o;
        port p(1);
        ASSERT_TRUE(p.set(IOCTL_SERIAL_SET_BAUD_RATE, baud));
        ASSERT_TRUE(p.ctl(IOCTL_SERIAL_SET_LINE_CONTROL, &c.lc, sizeof c.lc));
        p.write_pending(data.data(), static_cast<uint32_t>(data.size()), o);
        kern::sleep(300);
        vboard::port_snapshot a = snap(1);
        kern::sleep(3000);
        vboard::port_snapshot b = snap(1);
        ASSERT_GT(b.out_queue, 0u) << "the write must still be running";
        EXPECT_NEAR((b.tx_bytes - a.tx_bytes) * 1e6 / static_cast<double>(b.time_us - a.time_us), cps,
                    cps / 100);
        EXPECT_EQ(b.out_queue, data.size() - b.tx_bytes);
        EXPECT_EQ(b.rx_bytes, 0u) << "open wiring delivers nothing";
        ASSERT_TRUE(p.set(IOCTL_SERIAL_PURGE, SERIAL_PURGE_TXABORT));
        ASSERT_TRUE(o.signalled());

        const uint32_t len = static_cast<uint32_t>(cps / 2);
        uint64_t t0 = kern::now_us();
        p.write_pending(data.data(), len, o);
        ASSERT_TRUE(o.signalled());
        double took_s = static_cast<double>(kern::now_us() - t0) / 1e6;
        EXPECT_EQ(o.bytes(), len);
        EXPECT_GE(took_s, len / cps * 0.999) << "never before the last byte left";
        EXPECT_LT(took_s, len / cps + 5.0);
    }

    // The driver keeps what a 16550 has: 1.5 stop bits only with 5 data bits, 2 only with 6 to 8.
    port p(1);
    SERIAL_LINE_CONTROL kept{STOP_BITS_2, ODD_PARITY, 7}, back{};
    uint32_t ret = 0;
    ASSERT_TRUE(p.ctl(IOCTL_SERIAL_SET_LINE_CONTROL, &kept, sizeof kept));
    for (SERIAL_LINE_CONTROL bad :
         {SERIAL_LINE_CONTROL{STOP_BITS_1_5, NO_PARITY, 8}, SERIAL_LINE_CONTROL{STOP_BITS_2, NO_PARITY, 5},
          SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 4}, SERIAL_LINE_CONTROL{STOP_BIT_1, 5, 8}}) {
        EXPECT_TRUE(
            fails_with(p.ctl(IOCTL_SERIAL_SET_LINE_CONTROL, &bad, sizeof bad), kern::err::invalid_parameter));
    }
    ASSERT_TRUE(p.ctl(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &back, sizeof back, &ret));
    EXPECT_EQ(ret, sizeof back);
    EXPECT_EQ(std::memcmp(&back, &kept, sizeof back), 0);
    p.close();
    port again(1);
    ASSERT_TRUE(again.ctl(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &back, sizeof back, &ret));
    EXPECT_EQ(back.WordLength, 8) << "every open starts at 8N1";
    EXPECT_EQ(back.Parity, NO_PARITY);
    EXPECT_EQ(back.StopBits, STOP_BIT_1);
}

TEST_F(VBoardTest, WiringDecidesWhereBytesAndLinesGo) {
    std::vector<uint8_t> data = pattern(100), got(100);
    uint32_t n = 0;
    {
        make("wiring=open");
        ov_rec w1, w2;
        port p(1);
        ASSERT_TRUE(p.timeouts(MAXDWORD, 0, 0));
        ASSERT_TRUE(p.ctl(IOCTL_SET_INTERNAL_LOOPBACK, nullptr, 0));
        EXPECT_TRUE(snap(1).dsr && snap(1).cts) << "internal loopback wires the port to itself";
        p.write_pending(data.data(), 60, w1);  // queued writes leave in the order given
        p.write_pending(data.data() + 60, 40, w2);
        ASSERT_TRUE(w1.signalled() && w2.signalled());
        ASSERT_TRUE(read_file(p.h, got.data(), 100, &n, nullptr));
        EXPECT_EQ(got, data);
        ASSERT_TRUE(p.ctl(IOCTL_CLEAR_INTERNAL_LOOPBACK, nullptr, 0));
        p.send(data);
        EXPECT_EQ(snap(1).rx_bytes, 100u) << "open wiring loses what is sent";
        EXPECT_FALSE(snap(1).dsr || snap(1).cts);
    }
    make("wiring=null:1-2");
    port a(1), b(2), loner(3);
    ASSERT_TRUE(b.timeouts(MAXDWORD, 0, 0));
    a.send(data);
    EXPECT_EQ(snap(1).in_queue, 0u);
    ASSERT_TRUE(read_file(b.h, got.data(), 100, &n, nullptr));
    EXPECT_EQ(got, data);
    ASSERT_TRUE(a.handflow(0, SERIAL_RTS_CONTROL, 10, 10));  // DTR off
    EXPECT_FALSE(snap(2).dsr);
    EXPECT_TRUE(snap(2).cts);
    EXPECT_FALSE(snap(3).dsr || snap(3).cts) << "a port in no pair is open";
    a.close();
    EXPECT_FALSE(snap(2).cts) << "a closed peer drives no line";

    // Ends that disagree on the format: every character arrives with the error the receiver's UART
    // reports, a word length apart as framing, a parity apart as parity; stop bits alone pass. A word
    // of 5 bits carries only the low 5 bits of each byte.
    struct mcase {
        SERIAL_LINE_CONTROL from, to;
        uint32_t frame, parity;
        uint8_t mask;
    };
    const mcase mismatches[] = {
        {{STOP_BIT_1, EVEN_PARITY, 7}, {STOP_BIT_1, NO_PARITY, 8}, 100, 0, 0},
        {{STOP_BIT_1, EVEN_PARITY, 8}, {STOP_BIT_1, ODD_PARITY, 8}, 0, 100, 0},
        {{STOP_BITS_2, NO_PARITY, 8}, {STOP_BIT_1, NO_PARITY, 8}, 0, 0, 0xFF},
        {{STOP_BIT_1, EVEN_PARITY, 7}, {STOP_BIT_1, EVEN_PARITY, 7}, 0, 0, 0x7F},
        {{STOP_BIT_1, NO_PARITY, 5}, {STOP_BIT_1, NO_PARITY, 5}, 0, 0, 0x1F},
    };
    port c(1);
    ASSERT_TRUE(b.timeouts(MAXDWORD, 0, 0));
    for (const auto& m : mismatches) {
        SCOPED_TRACE(testing::Message() << int{m.from.WordLength} << "/" << int{m.to.WordLength});
        ASSERT_TRUE(c.ctl(IOCTL_SERIAL_SET_LINE_CONTROL, &m.from, sizeof m.from));
        ASSERT_TRUE(b.ctl(IOCTL_SERIAL_SET_LINE_CONTROL, &m.to, sizeof m.to));
        SERIALPERF_STATS before = snap(2).stats;
        c.send(data);
        SERIALPERF_STATS after = snap(2).stats;
        EXPECT_EQ(after.FrameErrorCount - before.FrameErrorCount, m.frame);
        EXPECT_EQ(after.ParityErrorCount - before.ParityErrorCount, m.parity);
        std::fill(got.begin(), got.end(), 0);
        ASSERT_TRUE(read_file(b.h, got.data(), 100, &n, nullptr));
        ASSERT_EQ(n, 100u);
        if (m.mask) {
            for (size_t i = 0; i < 100; i++) EXPECT_EQ(got[i], data[i] & m.mask) << i;
        } else {
            EXPECT_NE(got, data) << "a mismatch garbles the characters";
        }
        EXPECT_EQ(b.status().Errors & (SERIAL_ERROR_FRAMING | SERIAL_ERROR_PARITY),
                  (m.frame ? SERIAL_ERROR_FRAMING : 0u) | (m.parity ? SERIAL_ERROR_PARITY : 0u));
    }
    c.close();
    b.close();
    loner.close();

    make("wiring=map:1>2");  // one way only
    port from(1), to(2);
    ASSERT_TRUE(to.timeouts(MAXDWORD, 0, 0));
    to.send(data);
    EXPECT_EQ(snap(1).rx_bytes, 0u);
    from.send(data);
    ASSERT_TRUE(read_file(to.h, got.data(), 100, &n, nullptr));
    EXPECT_EQ(n, 100u);
    EXPECT_EQ(got, data);
}

TEST_F(VBoardTest, ReadTimeoutModes) {
    make("");
    std::vector<uint8_t> buf(16384), data = pattern(50);
    uint32_t n = 99;
    ov_rec o, o2;
    port p(1);
    // The analyzer's mode: about 30 ms after the issue, with whatever arrived.
    ASSERT_TRUE(p.timeouts(MAXDWORD, 0, 30));
    for (uint32_t arriving : {0u, 10u}) {
        uint64_t t0 = kern::now_us();
        p.read_pending(buf.data(), 16384, o);
        if (arriving) p.write_pending(data.data(), arriving, o2);
        ASSERT_TRUE(o.signalled());
        EXPECT_GE(kern::now_us() - t0, 30'000u);
        EXPECT_LT(kern::now_us() - t0, 5'000'000u);
        EXPECT_EQ(o.status(), 0u);
        EXPECT_EQ(o.bytes(), arriving);
        EXPECT_TRUE(!arriving || o2.signalled());
    }
    // Immediate: what is queued, completed at once and signalled.
    ASSERT_TRUE(p.timeouts(MAXDWORD, 0, 0));
    EXPECT_TRUE(read_file(p.h, buf.data(), 100, &n, &o.ov));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(o.signalled(0));
    p.send(data, 20);
    EXPECT_TRUE(read_file(p.h, buf.data(), 100, &n, &o.ov));
    EXPECT_EQ(n, 20u);
    EXPECT_TRUE(o.signalled(0));
    // No time-outs: only a full buffer completes; from the queue that is at once.
    ASSERT_TRUE(p.timeouts(0, 0, 0));
    p.read_pending(buf.data(), 50, o);
    p.send(data, 30);
    EXPECT_FALSE(o.signalled(0));
    p.send(data);
    ASSERT_TRUE(o.signalled());
    EXPECT_EQ(o.bytes(), 50u);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 30, buf.begin()));
    p.send(data);
    EXPECT_TRUE(read_file(p.h, buf.data(), 50, &n, &o.ov));
    EXPECT_EQ(n, 50u);
    EXPECT_TRUE(o.signalled(0));
}

TEST_F(VBoardTest, FullQueueOverrunAndWaitOnMaskRules) {
    make("queue=256");
    std::vector<uint8_t> data = pattern(1000), got(256);
    uint32_t mask = 77, other = 0, n = 0;
    ov_rec wait(true), second(true);
    port p(1);
    EXPECT_TRUE(fails_with(p.wait_on_mask(&mask, wait), kern::err::invalid_parameter)) << "no mask set";
    EXPECT_FALSE(wait.signalled(0)) << "a refused request signals nothing";
    ASSERT_TRUE(p.set(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_ERR));
    EXPECT_TRUE(
        fails_with(p.ctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &mask, 4), kern::err::invalid_parameter));
    EXPECT_TRUE(fails_with(p.wait_on_mask(&mask, wait), kern::err::io_pending));
    EXPECT_TRUE(fails_with(p.wait_on_mask(&other, second), kern::err::invalid_parameter))
        << "one wait at a time";
    p.send(data);
    ASSERT_TRUE(wait.signalled());
    EXPECT_EQ(wait.bytes(), 4u);
    EXPECT_EQ(mask, SERIAL_EV_ERR);
    vboard::port_snapshot s = snap(1);
    EXPECT_EQ(s.lost, 744u);
    EXPECT_EQ(s.overruns, 1u) << "one burst of loss";
    SERIAL_STATUS st = p.status();
    EXPECT_EQ(st.Errors, SERIAL_ERROR_QUEUEOVERRUN);
    EXPECT_EQ(st.AmountInInQueue, 256u);
    EXPECT_EQ(p.status().Errors, 0u) << "reporting clears the error";
    ASSERT_TRUE(read_file(p.h, got.data(), 256, &n, nullptr));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin())) << "the oldest bytes are kept";

    // A second burst counts again and, with no wait pending, is remembered for the next wait.
    p.send(data, 300);
    EXPECT_EQ(snap(1).overruns, 2u);
    kern::reset_event(wait.ov.hEvent);
    EXPECT_TRUE(p.wait_on_mask(&mask, wait));
    EXPECT_EQ(mask, SERIAL_EV_ERR);
    EXPECT_TRUE(wait.signalled(0));
    // A new mask ends a pending wait with no event; purging leaves it alone.
    EXPECT_TRUE(fails_with(p.wait_on_mask(&mask, second), kern::err::io_pending));
    ASSERT_TRUE(p.set(IOCTL_SERIAL_PURGE, 0x0f));
    EXPECT_FALSE(second.signalled(0));
    ASSERT_TRUE(p.set(IOCTL_SERIAL_SET_WAIT_MASK, 0));
    ASSERT_TRUE(second.signalled(0));
    EXPECT_EQ(second.status(), 0u);
    EXPECT_EQ(mask, 0u);

    // Clock time that passed while nobody stepped the board (its thread woke late) is no time the
    // program had to come back: the pending read takes what arrived until the present, past its
    // time-out, and the queue does not overrun. 9600 baud on the real clock: 960 bytes a second.
    kern::clock_config(1.0, kern::tick_count());
    std::vector<uint8_t> many = pattern(3000), in(2500);
    ov_rec r, w;
    ASSERT_TRUE(p.timeouts(0, 0, 500));
    p.status();  // clears the second burst's error
    p.write_pending(many.data(), 3000, w);
    p.read_pending(in.data(), 2500, r);
    kern::clock_config(1.0, kern::tick_count() + 2000);  // two seconds at once
    ASSERT_TRUE(r.signalled());
    EXPECT_GE(r.bytes(), 1800u) << "what came in the two seconds, not the 480 bytes of its time-out";
    EXPECT_EQ(snap(1).overruns, 2u);
    EXPECT_EQ(p.status().Errors, 0u);
    ASSERT_TRUE(p.set(IOCTL_SERIAL_PURGE, 0x0f));
    EXPECT_TRUE(w.signalled(0));
}

TEST_F(VBoardTest, PurgeCompletesReadsAndWritesWithTheirCounts) {
    make("");
    std::vector<uint8_t> data = pattern(5000), buf(5000);
    ov_rec r, w;
    port p(1);
    p.read_pending(buf.data(), 5000, r);
    p.write_pending(data.data(), 5000, w);
    ASSERT_TRUE(poll([&] { return snap(1).tx_bytes >= 100; }));
    ASSERT_TRUE(p.set(IOCTL_SERIAL_PURGE, SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT));
    ASSERT_TRUE(r.signalled(0) && w.signalled(0)) << "signalled by the purge itself";
    vboard::port_snapshot s = snap(1);
    EXPECT_EQ(w.status(), kern::err::operation_aborted);
    EXPECT_EQ(w.bytes(), s.tx_bytes);
    EXPECT_EQ(r.status(), kern::err::operation_aborted);
    EXPECT_EQ(r.bytes(), s.tx_bytes);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + r.bytes(), data.begin()));
    EXPECT_EQ(s.out_queue + s.pending_reads + s.pending_writes, 0u);
    p.send(data, 100);
    EXPECT_EQ(p.status().AmountInInQueue, 100u);
    ASSERT_TRUE(p.set(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR));
    EXPECT_EQ(p.status().AmountInInQueue, 0u);
}

struct flow_case {
    const char* name;
    uint32_t control, replace, sender_hold;
};
void PrintTo(const flow_case& c, std::ostream* os) {
    *os << c.name;
}

class VBoardFlowTest : public VBoardTest, public ::testing::WithParamInterface<flow_case> {};

TEST_P(VBoardFlowTest, HoldsSenderWhileReceiverIdleAndReleasesOnRead) {
    const flow_case& fc = GetParam();
    const bool xoff = fc.replace & SERIAL_AUTO_RECEIVE;
    make("wiring=null:1-2; queue=1024");
    const uint32_t total = 20000;
    std::vector<uint8_t> data = pattern(total), got(total);
    ov_rec w, r;
    port tx(1), rx(2);
    for (port* p : {&tx, &rx}) {
        // One service step at this rate carries more than the whole queue: holds must act mid-step.
        ASSERT_TRUE(p->set(IOCTL_SERIAL_SET_BAUD_RATE, 921600));
        ASSERT_TRUE(p->handflow(fc.control, fc.replace, 256, 128));
        ASSERT_TRUE(p->timeouts(MAXDWORD, 0, 30));
    }
    tx.write_pending(data.data(), total, w);
    ASSERT_TRUE(poll([&] { return (snap(1).hold_reasons & fc.sender_hold) != 0; }));
    uint64_t sent = snap(1).tx_bytes;
    kern::sleep(500);
    vboard::port_snapshot s = snap(2);
    EXPECT_EQ(snap(1).tx_bytes, sent) << "a held sender sends nothing";
    EXPECT_EQ(s.lost, 0u);
    EXPECT_GE(s.in_queue, 1024u - 128u);
    EXPECT_EQ(tx.status().HoldReasons, fc.sender_hold);
    if (xoff) {
        EXPECT_EQ(rx.status().HoldReasons, SERIAL_TX_WAITING_XOFF_SENT);
        EXPECT_EQ(s.tx_bytes, 1u) << "the XOFF went out";
    }

    uint32_t have = 0;
    while (have < total) {
        if (!read_file(rx.h, got.data() + have, total - have, nullptr, &r.ov)) {
            ASSERT_EQ(kern::last_error(), kern::err::io_pending);
        }
        ASSERT_TRUE(r.signalled());
        have += r.bytes();
        if (r.bytes() == 0 && w.status() != kern::err::io_pending) break;  // bytes went missing
    }
    EXPECT_EQ(got, data) << "no flow-control character shows up as data";
    ASSERT_TRUE(w.signalled());
    EXPECT_EQ(snap(2).lost, 0u);
    EXPECT_EQ(tx.status().HoldReasons, 0u);
    EXPECT_EQ(snap(2).tx_bytes % 2, 0u) << "every XOFF is followed by an XON";
}

INSTANTIATE_TEST_SUITE_P(Modes, VBoardFlowTest,
                         ::testing::Values(flow_case{"RtsCts", SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE,
                                                     SERIAL_RTS_HANDSHAKE, SERIAL_TX_WAITING_FOR_CTS},
                                           flow_case{"DtrDsr", SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE,
                                                     SERIAL_RTS_CONTROL, SERIAL_TX_WAITING_FOR_DSR},
                                           flow_case{"XonXoff", SERIAL_DTR_CONTROL,
                                                     SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT |
                                                         SERIAL_AUTO_RECEIVE,
                                                     SERIAL_TX_WAITING_FOR_XON}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VBoardTest, StatusFaultsShortReportAndHangs) {
    make("1:status16; 2-3:status-hang");
    SERIAL_STATUS st{};
    uint32_t ret = 0;
    port p(1), hung(2), stuck(3);
    EXPECT_TRUE(p.ctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &st, sizeof st, &ret));
    EXPECT_EQ(ret, 16u);
    EXPECT_TRUE(
        fails_with(p.ctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &st, 16), kern::err::invalid_parameter));

    // Released by the close, with operation_aborted.
    std::atomic<uint32_t> error{0};
    std::thread t([&, h = hung.h] {
        SERIAL_STATUS s{};
        if (!device_io_control(h, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s, nullptr, nullptr))
            error = kern::last_error();
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(error.load(), 0u) << "still blocked";
    hung.close();
    t.join();
    EXPECT_EQ(error.load(), kern::err::operation_aborted);

    // Terminable by the kernel layer, as the analyzer's watchdog does with a stuck monitor.
    struct ctx {
        handle h;
        std::atomic<bool> entered{false}, returned{false};
    } c{stuck.h};
    auto entry = [](void* arg) {
        auto* cx = static_cast<ctx*>(arg);
        SERIAL_STATUS s{};
        cx->entered = true;
        device_io_control(cx->h, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s, nullptr, nullptr);
        cx->returned = true;
    };
    kern::thread_handle th = kern::create_thread(entry, &c, 0, nullptr);
    ASSERT_TRUE(poll([&] { return c.entered.load(); }));
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(kern::terminate_thread(th));
    kern::close_thread(th);
    stuck.close();
    EXPECT_FALSE(c.returned.load()) << "a terminated thread performs nothing more";
}

TEST_F(VBoardTest, RefusedRequestsAreRefusedAndNothingElse) {
    const std::pair<const char*, uint32_t> reqs[] = {{"waitmask", IOCTL_SERIAL_SET_WAIT_MASK},
                                                     {"waitonmask", IOCTL_SERIAL_WAIT_ON_MASK},
                                                     {"baud", IOCTL_SERIAL_SET_BAUD_RATE},
                                                     {"loopback", IOCTL_SET_INTERNAL_LOOPBACK},
                                                     {"loopback", IOCTL_CLEAR_INTERNAL_LOOPBACK},
                                                     {"timeouts", IOCTL_SERIAL_SET_TIMEOUTS},
                                                     {"purge", IOCTL_SERIAL_PURGE},
                                                     {"gethandflow", IOCTL_SERIAL_GET_HANDFLOW},
                                                     {"sethandflow", IOCTL_SERIAL_SET_HANDFLOW},
                                                     {"status", IOCTL_SERIAL_GET_COMMSTATUS},
                                                     {"read", 0},
                                                     {"write", 1}};
    uint8_t in[20] = {3}, out[20] = {}, buf[4] = {};  // acceptable to all: baud 3, purge 3, mask 3...
    for (const auto& [refused, refused_code] : reqs) {
        SCOPED_TRACE(refused);
        make(std::string("1:refuse=") + refused);
        std::vector<std::unique_ptr<ov_rec>> o;  // one record each: some requests stay in flight
        port p(1);
        for (const auto& [name, code] : reqs) {
            overlapped* ov = &o.emplace_back(std::make_unique<ov_rec>(true))->ov;
            bool ok = code == 0   ? read_file(p.h, buf, 4, nullptr, ov)
                      : code == 1 ? write_file(p.h, buf, 0, nullptr, ov)
                                  : p.ctl(code, in, 20, out, 20, nullptr, ov);
            // Without a wait mask, waiting is refused the same way.
            if (std::string(name) == refused ||
                (code == IOCTL_SERIAL_WAIT_ON_MASK && refused_code == IOCTL_SERIAL_SET_WAIT_MASK)) {
                EXPECT_TRUE(fails_with(ok, kern::err::invalid_parameter)) << name;
                EXPECT_FALSE(o.back()->signalled(0)) << name;
            } else {
                EXPECT_TRUE(ok || kern::last_error() == kern::err::io_pending) << name;
            }
        }
        p.close();
    }
}

TEST_F(VBoardTest, NoiseAndDropHitEveryNthArrivingByte) {
    make("1:noise=100; 2:drop=100");
    std::vector<uint8_t> data = pattern(1000), got(1000), expect;
    ov_rec r;
    port noisy(1), lossy(2);
    noisy.read_pending(got.data(), 1000, r);
    noisy.send(data);
    ASSERT_TRUE(r.signalled());
    for (size_t i = 0; i < data.size(); i++) ASSERT_EQ(got[i], (i + 1) % 100 ? data[i] : data[i] ^ 0x40) << i;
    EXPECT_EQ(snap(1).noise_bytes, 10u);
    EXPECT_EQ(snap(1).noise_reads, 1u);
    EXPECT_EQ(snap(1).noise_tail_reads, 1u) << "the 1000th byte was hit";

    lossy.read_pending(got.data(), 990, r);
    lossy.send(data);
    ASSERT_TRUE(r.signalled());
    for (size_t i = 0; i < data.size(); i++)
        if ((i + 1) % 100) expect.push_back(data[i]);
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), got.begin()));
    EXPECT_EQ(snap(2).dropped_bytes, 10u);
    EXPECT_EQ(snap(2).in_queue, 0u);
}

TEST_F(VBoardTest, WholeBlocksAndAPausedEchoAreLost) {
    make("1:dropblock=3; 2:pause=0:3000");
    std::vector<uint8_t> data = pattern(640), got(640);
    uint32_t n = 0;
    port blocks(1), paused(2);
    ASSERT_TRUE(blocks.set(IOCTL_SERIAL_SET_BAUD_RATE, 921600u));
    ASSERT_TRUE(paused.set(IOCTL_SERIAL_SET_BAUD_RATE, 921600u));
    // Blocks 3, 6 and 9 of ten go whole: the pattern arrives unbroken, three blocks short.
    ASSERT_TRUE(blocks.timeouts(MAXDWORD, 0, 0));
    blocks.send(data);
    ASSERT_TRUE(read_file(blocks.h, got.data(), 640, &n, nullptr));
    EXPECT_EQ(n, 448u);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 448, data.begin()));
    EXPECT_EQ(snap(1).dropped_bytes, 192u);
    // Nothing arrives during the pause, everything after it.
    ASSERT_TRUE(paused.timeouts(MAXDWORD, 0, 0));
    paused.send(data);
    EXPECT_EQ(snap(2).dropped_bytes, 640u);
    EXPECT_EQ(snap(2).in_queue, 0u);
    kern::sleep(3000);
    paused.send(data);
    EXPECT_EQ(snap(2).in_queue, 640u);
}

TEST_F(VBoardTest, SlowDriverOverrunsItsQueue) {
    make("queue=512; 1:slow=200");
    std::vector<uint8_t> data = pattern(2000), buf(16384);
    ov_rec w, r;
    port p(1);
    ASSERT_TRUE(p.timeouts(MAXDWORD, 0, 30));
    uint64_t t0 = kern::now_us(), delivered = 0;
    p.write_pending(data.data(), 2000, w);
    while (!w.signalled(0)) {
        if (!read_file(p.h, buf.data(), 16384, nullptr, &r.ov)) {
            ASSERT_EQ(kern::last_error(), kern::err::io_pending);
        }
        ASSERT_TRUE(r.signalled());
        delivered += r.bytes();
    }
    vboard::port_snapshot s = snap(1);
    EXPECT_GE(s.overruns, 1u);
    EXPECT_EQ(s.delivered, delivered);
    EXPECT_EQ(s.delivered + s.lost + s.in_queue, s.rx_bytes);
    EXPECT_GT(delivered, 0u);
    EXPECT_LE(delivered, 200 * (s.time_us - t0) / 1'000'000 + 1) << "the driver moves 200 bytes a second";
}

TEST_F(VBoardTest, UnplugCompletesInFlightAndRefusesLaterRequests) {
    vboard::board& b = make("1:unplug=300");
    std::vector<uint8_t> data = pattern(5000), buf(1000);
    uint32_t mask = 0;
    SERIAL_STATUS st{};
    ov_rec r, w, wait(true);
    {
        port p(1), q(2);
        p.read_pending(buf.data(), 1000, r);
        p.write_pending(data.data(), 5000, w);
        ASSERT_TRUE(p.set(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_ERR));
        EXPECT_FALSE(p.wait_on_mask(&mask, wait));
        for (ov_rec* o : {&r, &w, &wait}) {
            ASSERT_TRUE(o->signalled());
            EXPECT_EQ(o->status(), kern::err::device_not_connected);
        }
        EXPECT_GT(w.bytes(), 0u) << "it ran until it vanished";
        EXPECT_TRUE(
            fails_with(read_file(p.h, buf.data(), 10, nullptr, &r.ov), kern::err::device_not_connected));
        EXPECT_TRUE(
            fails_with(write_file(p.h, buf.data(), 10, nullptr, nullptr), kern::err::device_not_connected));
        EXPECT_TRUE(fails_with(p.ctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &st, sizeof st),
                               kern::err::device_not_connected));
        EXPECT_FALSE(r.signalled(0));
        // Pulled at run time.
        q.read_pending(buf.data(), 1000, r);
        b.set_faults(2, "unplug=0");
        ASSERT_TRUE(r.signalled(0));
        EXPECT_EQ(r.status(), kern::err::device_not_connected);
        EXPECT_TRUE(close_handle(p.h));
        p.h = invalid_handle_value;
    }
    EXPECT_TRUE(port(1).ok()) << "a closed, unplugged port can be opened again";
}

}  // namespace
