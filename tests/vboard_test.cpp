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
constexpr double clock_rate = 25.0;
constexpr uint32_t long_wait_ms = 250'000;  // clock ms: 10 s of real time

template <class Pred>
bool poll(Pred pred, std::chrono::milliseconds limit = 10s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The analyzer's data: 32 + i mod 64, which never contains a flow-control character.
std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(32 + i % 64);
    return v;
}

struct ov_rec {
    ser::overlapped ov{};
    explicit ov_rec(bool manual = false) { ov.hEvent = kern::create_event(manual, false); }
    ~ov_rec() { kern::close_event(ov.hEvent); }
    ov_rec(const ov_rec&) = delete;
    bool signalled(uint32_t clock_ms = long_wait_ms) {
        return kern::wait_event(ov.hEvent, clock_ms) == kern::wait_object_0;
    }
    uint32_t status() { return std::atomic_ref<uint32_t>(ov.internal).load(); }
    uint32_t bytes() { return std::atomic_ref<uint32_t>(ov.internal_high).load(); }
};

// Expects the call to be refused with `code`.
#define EXPECT_REFUSED(call, code)                      \
    do {                                                \
        EXPECT_FALSE(call);                             \
        EXPECT_EQ(kern::last_error(), (code)) << #call; \
    } while (0)

struct port {
    ser::handle h;
    explicit port(int n) : h(ser::create_file(vboard::device_path(n).c_str())) {}
    ~port() { close(); }
    port(const port&) = delete;
    bool ok() const { return h != ser::invalid_handle_value; }
    void close() {
        if (ok()) ser::close_handle(h);
        h = ser::invalid_handle_value;
    }
    bool ctl(uint32_t code, const void* in, uint32_t in_size, void* out = nullptr, uint32_t out_size = 0,
             uint32_t* ret = nullptr, ser::overlapped* ov = nullptr) {
        return ser::device_io_control(h, code, in, in_size, out, out_size, ret, ov);
    }
    bool set(uint32_t code, uint32_t v) { return ctl(code, &v, 4); }
    bool baud(uint32_t b) { return set(ser::IOCTL_SERIAL_SET_BAUD_RATE, b); }
    bool timeouts(uint32_t interval, uint32_t mult, uint32_t constant) {
        ser::SERIAL_TIMEOUTS t{interval, mult, constant, 0, 0};
        return ctl(ser::IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t);
    }
    bool handflow(uint32_t control, uint32_t replace, int32_t xon, int32_t xoff) {
        ser::SERIAL_HANDFLOW f{control, replace, xon, xoff};
        return ctl(ser::IOCTL_SERIAL_SET_HANDFLOW, &f, sizeof f);
    }
    ser::SERIAL_HANDFLOW get_handflow() {
        ser::SERIAL_HANDFLOW f{};
        EXPECT_TRUE(ctl(ser::IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &f, sizeof f));
        return f;
    }
    ser::SERIAL_STATUS status() {
        ser::SERIAL_STATUS s{};
        uint32_t ret = 0;
        EXPECT_TRUE(ctl(ser::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s, &ret));
        EXPECT_EQ(ret, 20u);
        return s;
    }
    // Starts an overlapped request that must go pending.
    void read_pending(void* buf, uint32_t len, ov_rec& o) {
        EXPECT_FALSE(ser::read_file(h, buf, len, nullptr, &o.ov));
        EXPECT_EQ(kern::last_error(), kern::err::io_pending);
    }
    void write_pending(const void* buf, uint32_t len, ov_rec& o) {
        EXPECT_FALSE(ser::write_file(h, buf, len, nullptr, &o.ov));
        EXPECT_EQ(kern::last_error(), kern::err::io_pending);
    }
    // Writes and waits for the last byte to leave.
    void send(const std::vector<uint8_t>& data) {
        ov_rec o;
        write_pending(data.data(), static_cast<uint32_t>(data.size()), o);
        EXPECT_TRUE(o.signalled());
        EXPECT_EQ(o.status(), 0u);
    }
};

class VBoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        kern::clock_config(clock_rate, 0);
        threads0_ = kern::live_threads();
        events0_ = kern::live_events();
        handles0_ = ser::open_handles();
    }
    void TearDown() override {
        board_.reset();
        EXPECT_EQ(ser::open_handles(), handles0_);
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

// ---- Opening and configuration --------------------------------------------------------------------

TEST_F(VBoardTest, OpenRulesAndDefaultsOnEveryOpen) {
    make("ports=1-4,7; 2:missing; 3:busy; queue=1000");
    {
        port a(1);
        ASSERT_TRUE(a.ok());
        port again(1);
        EXPECT_FALSE(again.ok());
        EXPECT_EQ(kern::last_error(), kern::err::access_denied) << "exclusive open";
        EXPECT_FALSE(port(2).ok());
        EXPECT_EQ(kern::last_error(), kern::err::file_not_found) << "missing";
        EXPECT_FALSE(port(3).ok());
        EXPECT_EQ(kern::last_error(), kern::err::access_denied) << "busy";
        EXPECT_FALSE(port(5).ok());
        EXPECT_EQ(kern::last_error(), kern::err::file_not_found) << "not in ports=";
        EXPECT_TRUE(port(7).ok());
        for (const char* bad : {"\\\\.\\COM", "\\\\.\\COM01", "\\\\.\\COM1x", "\\\\.\\COM-1", "\\\\.\\COM+1",
                                "\\\\.\\COM 1", "\\\\.\\COM0"}) {
            EXPECT_EQ(ser::create_file(bad), ser::invalid_handle_value) << bad;
            EXPECT_EQ(kern::last_error(), kern::err::file_not_found) << bad;
        }
        EXPECT_FALSE(snap(2).exists);
        EXPECT_TRUE(snap(3).exists);

        // Leave every setting changed behind.
        EXPECT_TRUE(a.baud(115200));
        EXPECT_TRUE(a.ctl(ser::IOCTL_SET_INTERNAL_LOOPBACK, nullptr, 0));
        EXPECT_TRUE(a.handflow(ser::SERIAL_CTS_HANDSHAKE, ser::SERIAL_AUTO_RECEIVE, 7, 9));
        EXPECT_TRUE(a.timeouts(ser::MAXDWORD, 0, 30));
        EXPECT_TRUE(a.set(ser::IOCTL_SERIAL_SET_WAIT_MASK, ser::SERIAL_EV_ERR));
        ser::SERIAL_HANDFLOW f = a.get_handflow();
        EXPECT_EQ(f.ControlHandShake, ser::SERIAL_CTS_HANDSHAKE);
        EXPECT_EQ(f.FlowReplace, ser::SERIAL_AUTO_RECEIVE);
        EXPECT_EQ(f.XonLimit, 7);
        EXPECT_EQ(f.XoffLimit, 9);
    }
    port a(1);
    ASSERT_TRUE(a.ok()) << "free again after the close";
    vboard::port_snapshot s = snap(1);
    EXPECT_EQ(s.opens, 2u);
    EXPECT_EQ(s.baud, 9600u);
    EXPECT_FALSE(s.internal_loopback);
    EXPECT_EQ(s.wait_mask, 0u);
    EXPECT_EQ(s.timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(s.timeouts.ReadIntervalTimeout, 0u);
    ser::SERIAL_HANDFLOW f = a.get_handflow();
    EXPECT_EQ(f.ControlHandShake, ser::SERIAL_DTR_CONTROL);
    EXPECT_EQ(f.FlowReplace, ser::SERIAL_RTS_CONTROL);
    EXPECT_EQ(f.XonLimit, 500);
    EXPECT_EQ(f.XoffLimit, 125);
    EXPECT_TRUE(s.dtr && s.rts && s.dsr && s.cts) << "plug wiring brings both lines back";
}

TEST_F(VBoardTest, ConfigErrorsNameTheItem) {
    for (const char* item : {"queue=abc", "queue=0", "ports=5-3", "ports=1-x", "maxbaud=-5", "speed=9600",
                             "wiring=crossed", "wiring=null:1-1", "wiring=null:1-2,2-3", "wiring=null:",
                             "3:noise=0", "3:refuse=fly", "3:unplug=soon", "3:", "1-4", "3:missing,"}) {
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
    b.set_faults(1, "");
    EXPECT_TRUE(port(1).ok());
}

// ---- Pacing and wiring ----------------------------------------------------------------------------

TEST_F(VBoardTest, PacingHoldsBaudOverSecondsAndWritesCompleteWhenSent) {
    make("wiring=open");
    for (uint32_t baud : {9600u, 921600u}) {
        SCOPED_TRACE(baud);
        const double cps = baud / 10.0;
        // Long enough to still be sending at the second look however late this thread wakes.
        std::vector<uint8_t> data = pattern(static_cast<size_t>(cps * 30));
        ov_rec o;
        port p(1);
        ASSERT_TRUE(p.baud(baud));
        p.write_pending(data.data(), static_cast<uint32_t>(data.size()), o);
        kern::sleep(300);
        vboard::port_snapshot a = snap(1);
        kern::sleep(3000);
        vboard::port_snapshot b = snap(1);
        ASSERT_GT(b.out_queue, 0u) << "the write must still be running";
        double rate =
            static_cast<double>(b.tx_bytes - a.tx_bytes) * 1e6 / static_cast<double>(b.time_us - a.time_us);
        EXPECT_NEAR(rate, cps, cps * 0.01);
        EXPECT_EQ(b.out_queue, data.size() - b.tx_bytes);
        EXPECT_EQ(b.rx_bytes, 0u) << "open wiring delivers nothing";
        ASSERT_TRUE(p.set(ser::IOCTL_SERIAL_PURGE, ser::SERIAL_PURGE_TXABORT));
        ASSERT_TRUE(o.signalled());

        // A write completes once its last byte has left, not before.
        const uint32_t len = static_cast<uint32_t>(cps / 2);
        uint64_t t0 = kern::now_us();
        p.write_pending(data.data(), len, o);
        ASSERT_TRUE(o.signalled());
        double took_s = static_cast<double>(kern::now_us() - t0) / 1e6;
        EXPECT_EQ(o.status(), 0u);
        EXPECT_EQ(o.bytes(), len);
        EXPECT_GE(took_s, len / cps * 0.999);
        EXPECT_LT(took_s, len / cps + 5.0);
    }
}

TEST_F(VBoardTest, WiringDecidesWhereBytesAndLinesGo) {
    std::vector<uint8_t> data = pattern(100), got(200);
    uint32_t n = 0;
    {
        make("wiring=open");
        port p(1);
        ASSERT_TRUE(p.timeouts(ser::MAXDWORD, 0, 0));  // reads take what is there and return
        ASSERT_TRUE(p.ctl(ser::IOCTL_SET_INTERNAL_LOOPBACK, nullptr, 0));
        EXPECT_TRUE(snap(1).dsr && snap(1).cts) << "internal loopback wires the port to itself";
        p.send(data);
        ASSERT_TRUE(ser::read_file(p.h, got.data(), 100, &n, nullptr));
        EXPECT_EQ(n, 100u);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
        ASSERT_TRUE(p.ctl(ser::IOCTL_CLEAR_INTERNAL_LOOPBACK, nullptr, 0));
        p.send(data);
        vboard::port_snapshot s = snap(1);
        EXPECT_EQ(s.tx_bytes, 200u);
        EXPECT_EQ(s.rx_bytes, 100u) << "open wiring loses what is sent";
        EXPECT_EQ(s.in_queue, 0u);
        EXPECT_FALSE(s.dsr || s.cts);
    }
    make("wiring=null:1-2");
    port a(1), b(2), loner(3);
    ASSERT_TRUE(a.ok() && b.ok() && loner.ok());
    ASSERT_TRUE(b.timeouts(ser::MAXDWORD, 0, 0));
    a.send(data);
    EXPECT_EQ(snap(1).in_queue, 0u);
    EXPECT_EQ(snap(2).in_queue, 100u);
    ASSERT_TRUE(ser::read_file(b.h, got.data(), 100, &n, nullptr));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
    EXPECT_TRUE(snap(2).dsr && snap(2).cts);
    ASSERT_TRUE(a.handflow(0, ser::SERIAL_RTS_CONTROL, 10, 10));  // DTR off
    EXPECT_FALSE(snap(2).dsr);
    EXPECT_TRUE(snap(2).cts);
    EXPECT_FALSE(snap(3).dsr || snap(3).cts) << "a port in no pair is open";
    a.close();
    EXPECT_FALSE(snap(2).cts) << "a closed peer drives no line";
}

// ---- Reads ----------------------------------------------------------------------------------------

TEST_F(VBoardTest, ReadTimeoutModes) {
    make("");
    std::vector<uint8_t> buf(16384), data = pattern(50);
    uint32_t n = 99;
    ov_rec o, o2;
    port p(1);

    // The analyzer's mode: about 30 ms after the issue, with whatever arrived.
    ASSERT_TRUE(p.timeouts(ser::MAXDWORD, 0, 30));
    for (uint32_t arriving : {0u, 10u}) {
        uint64_t t0 = kern::now_us();
        p.read_pending(buf.data(), 16384, o);
        if (arriving) p.write_pending(data.data(), arriving, o2);
        ASSERT_TRUE(o.signalled());
        double ms = static_cast<double>(kern::now_us() - t0) / 1000.0;
        EXPECT_GE(ms, 30.0);
        EXPECT_LT(ms, 5000.0);
        EXPECT_EQ(o.status(), 0u);
        EXPECT_EQ(o.bytes(), arriving);
        if (arriving) {
            EXPECT_TRUE(o2.signalled());
        }
    }

    // Immediate: what is queued, completed at once and signalled.
    ASSERT_TRUE(p.timeouts(ser::MAXDWORD, 0, 0));
    EXPECT_TRUE(ser::read_file(p.h, buf.data(), 100, &n, &o.ov));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(o.signalled(0));
    p.send(std::vector<uint8_t>(data.begin(), data.begin() + 20));
    EXPECT_TRUE(ser::read_file(p.h, buf.data(), 100, &n, &o.ov));
    EXPECT_EQ(n, 20u);
    EXPECT_TRUE(o.signalled(0));

    // No time-outs: only a full buffer completes; from the queue that is at once.
    ASSERT_TRUE(p.timeouts(0, 0, 0));
    p.read_pending(buf.data(), 50, o);
    p.send(std::vector<uint8_t>(data.begin(), data.begin() + 30));
    EXPECT_FALSE(o.signalled(0));
    p.send(std::vector<uint8_t>(data.begin() + 30, data.end()));
    ASSERT_TRUE(o.signalled());
    EXPECT_EQ(o.bytes(), 50u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buf.begin()));
    p.send(data);
    EXPECT_TRUE(ser::read_file(p.h, buf.data(), 50, &n, &o.ov));
    EXPECT_EQ(n, 50u);
    EXPECT_TRUE(o.signalled(0));

    // Return on any byte: long before the constant.
    ASSERT_TRUE(p.timeouts(ser::MAXDWORD, ser::MAXDWORD, 600'000));
    p.read_pending(buf.data(), 100, o);
    p.write_pending(data.data(), 5, o2);
    ASSERT_TRUE(o.signalled());
    EXPECT_GE(o.bytes(), 1u);
    EXPECT_TRUE(o2.signalled());
    uint32_t first = o.bytes();
    ASSERT_TRUE(p.timeouts(ser::MAXDWORD, 0, 0));
    ASSERT_TRUE(ser::read_file(p.h, buf.data(), 100, &n, nullptr));
    EXPECT_EQ(first + n, 5u);

    // Interval time-out: ends a read once the line stays quiet after the first byte.
    ASSERT_TRUE(p.timeouts(50, 0, 0));
    p.read_pending(buf.data(), 1000, o);
    p.send(std::vector<uint8_t>(data.begin(), data.begin() + 10));
    ASSERT_TRUE(o.signalled());
    EXPECT_EQ(o.bytes(), 10u);
}

TEST_F(VBoardTest, ReadAndWriteWithoutOverlappedRecordBlockUntilDone) {
    make("");
    std::vector<uint8_t> data = pattern(40), got(40);
    uint32_t n = 0;
    port p(1);
    ASSERT_TRUE(ser::write_file(p.h, data.data(), 40, &n, nullptr));
    EXPECT_EQ(n, 40u);
    EXPECT_EQ(snap(1).tx_bytes, 40u) << "returned only once sent";
    ASSERT_TRUE(ser::read_file(p.h, got.data(), 40, &n, nullptr));
    EXPECT_EQ(got, data);
    ASSERT_TRUE(p.timeouts(ser::MAXDWORD, 0, 30));
    ASSERT_TRUE(ser::read_file(p.h, got.data(), 40, &n, nullptr));
    EXPECT_EQ(n, 0u);
}

// ---- Errors, events and purging -------------------------------------------------------------------

TEST_F(VBoardTest, FullQueueLosesBytesRaisesErrorOncePerBurst) {
    make("queue=256");
    std::vector<uint8_t> data = pattern(1000), got(256);
    uint32_t mask = 0, ret = 0, n = 0;
    ov_rec wait(true);
    port p(1);
    ASSERT_TRUE(p.set(ser::IOCTL_SERIAL_SET_WAIT_MASK, ser::SERIAL_EV_ERR));
    EXPECT_FALSE(p.ctl(ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &mask, 4, &ret, &wait.ov));
    EXPECT_EQ(kern::last_error(), kern::err::io_pending);
    p.send(data);
    ASSERT_TRUE(wait.signalled());
    EXPECT_EQ(wait.status(), 0u);
    EXPECT_EQ(wait.bytes(), 4u);
    EXPECT_EQ(mask, ser::SERIAL_EV_ERR);

    vboard::port_snapshot s = snap(1);
    EXPECT_EQ(s.lost, 744u);
    EXPECT_EQ(s.overruns, 1u);
    ser::SERIAL_STATUS st = p.status();
    EXPECT_EQ(st.Errors, ser::SERIAL_ERROR_QUEUEOVERRUN);
    EXPECT_EQ(st.AmountInInQueue, 256u);
    EXPECT_EQ(p.status().Errors, 0u) << "reporting clears the error";
    ASSERT_TRUE(ser::read_file(p.h, got.data(), 256, &n, nullptr));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin())) << "the oldest bytes are kept";

    // A second burst counts again; with no wait pending it is remembered for the next one.
    p.send(std::vector<uint8_t>(data.begin(), data.begin() + 300));
    EXPECT_EQ(snap(1).overruns, 2u);
    kern::reset_event(wait.ov.hEvent);
    EXPECT_TRUE(p.ctl(ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &mask, 4, &ret, &wait.ov));
    EXPECT_EQ(ret, 4u);
    EXPECT_EQ(mask, ser::SERIAL_EV_ERR);
    EXPECT_TRUE(wait.signalled(0));
}

TEST_F(VBoardTest, WaitOnMaskRules) {
    make("");
    uint32_t mask = 77, other = 0;
    ov_rec a(true), b(true);
    port p(1);
    EXPECT_REFUSED(p.ctl(ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &mask, 4, nullptr, &a.ov),
                   kern::err::invalid_parameter);
    EXPECT_FALSE(a.signalled(0)) << "a refused request signals nothing";
    ASSERT_TRUE(p.set(ser::IOCTL_SERIAL_SET_WAIT_MASK, ser::SERIAL_EV_ERR));
    EXPECT_REFUSED(p.ctl(ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &mask, 4), kern::err::invalid_parameter);
    EXPECT_FALSE(p.ctl(ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &mask, 4, nullptr, &a.ov));
    EXPECT_EQ(kern::last_error(), kern::err::io_pending);
    EXPECT_REFUSED(p.ctl(ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &other, 4, nullptr, &b.ov),
                   kern::err::invalid_parameter);
    EXPECT_TRUE(p.set(ser::IOCTL_SERIAL_PURGE, 0x0f));  // purge leaves the wait alone
    EXPECT_EQ(snap(1).pending_waits, 1u);
    ASSERT_TRUE(p.set(ser::IOCTL_SERIAL_SET_WAIT_MASK, 0));
    ASSERT_TRUE(a.signalled(0));
    EXPECT_EQ(a.status(), 0u);
    EXPECT_EQ(a.bytes(), 4u);
    EXPECT_EQ(mask, 0u);
    EXPECT_FALSE(b.signalled(0));
}

TEST_F(VBoardTest, PurgeCompletesReadsAndWritesWithTheirCounts) {
    make("");
    std::vector<uint8_t> data = pattern(5000), buf(5000);
    ov_rec r, w;
    port p(1);
    p.read_pending(buf.data(), 5000, r);
    p.write_pending(data.data(), 5000, w);
    ASSERT_TRUE(poll([&] { return snap(1).tx_bytes >= 100; }));
    ASSERT_TRUE(p.set(ser::IOCTL_SERIAL_PURGE, ser::SERIAL_PURGE_TXABORT | ser::SERIAL_PURGE_RXABORT));
    ASSERT_TRUE(r.signalled(0) && w.signalled(0)) << "both signalled by the purge itself";
    vboard::port_snapshot s = snap(1);
    EXPECT_EQ(w.status(), kern::err::operation_aborted);
    EXPECT_EQ(w.bytes(), s.tx_bytes);
    EXPECT_EQ(r.status(), kern::err::operation_aborted);
    EXPECT_EQ(r.bytes(), s.tx_bytes);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + r.bytes(), data.begin()));
    uint32_t n = 0;
    EXPECT_FALSE(ser::get_overlapped_result(p.h, &w.ov, &n, false));
    EXPECT_EQ(kern::last_error(), kern::err::operation_aborted);
    EXPECT_EQ(n, s.tx_bytes);
    EXPECT_EQ(s.out_queue, 0u);
    EXPECT_EQ(s.pending_reads + s.pending_writes, 0u);

    p.send(pattern(100));
    EXPECT_EQ(p.status().AmountInInQueue, 100u);
    ASSERT_TRUE(p.set(ser::IOCTL_SERIAL_PURGE, ser::SERIAL_PURGE_RXCLEAR));
    EXPECT_EQ(p.status().AmountInInQueue, 0u);
    EXPECT_REFUSED(p.set(ser::IOCTL_SERIAL_PURGE, 0x10), kern::err::invalid_parameter);
}

// ---- Flow control ---------------------------------------------------------------------------------

struct flow_case {
    const char* name;
    uint32_t control, replace, sender_hold;
};

void PrintTo(const flow_case& c, std::ostream* os) { *os << c.name; }

class VBoardFlowTest : public VBoardTest, public ::testing::WithParamInterface<flow_case> {};

TEST_P(VBoardFlowTest, HoldsSenderWhileReceiverIdleAndReleasesOnRead) {
    const flow_case& fc = GetParam();
    make("wiring=null:1-2; queue=1024");
    const uint32_t total = 20000;
    std::vector<uint8_t> data = pattern(total), got(total);
    ov_rec w, r;
    port tx(1), rx(2);
    for (port* p : {&tx, &rx}) {
        // One service step at this rate carries more than the whole queue: holds must act mid-step.
        ASSERT_TRUE(p->baud(921600));
        ASSERT_TRUE(p->handflow(fc.control, fc.replace, 256, 128));
        ASSERT_TRUE(p->timeouts(ser::MAXDWORD, 0, 30));
    }
    tx.write_pending(data.data(), total, w);
    ASSERT_TRUE(poll([&] { return (snap(1).hold_reasons & fc.sender_hold) != 0; }));
    uint64_t sent = snap(1).tx_bytes;
    kern::sleep(500);
    vboard::port_snapshot s = snap(2);
    EXPECT_EQ(snap(1).tx_bytes, sent) << "a held sender sends nothing";
    EXPECT_EQ(s.lost, 0u);
    EXPECT_EQ(s.overruns, 0u);
    EXPECT_GE(s.in_queue, 1024u - 128u);
    EXPECT_LT(sent, total);
    EXPECT_EQ(tx.status().HoldReasons & fc.sender_hold, fc.sender_hold);
    if (fc.replace & ser::SERIAL_AUTO_RECEIVE) {
        EXPECT_EQ(rx.status().HoldReasons & ser::SERIAL_TX_WAITING_XOFF_SENT,
                  ser::SERIAL_TX_WAITING_XOFF_SENT);
        EXPECT_EQ(s.tx_bytes, 1u) << "the XOFF went out";
    }

    uint32_t have = 0;
    while (have < total) {
        if (!ser::read_file(rx.h, got.data() + have, total - have, nullptr, &r.ov)) {
            ASSERT_EQ(kern::last_error(), kern::err::io_pending);
        }
        ASSERT_TRUE(r.signalled());
        ASSERT_EQ(r.status(), 0u);
        have += r.bytes();
        if (r.bytes() == 0 && w.status() != kern::err::io_pending) break;  // bytes went missing
    }
    EXPECT_EQ(got, data) << "no flow-control character shows up as data";
    ASSERT_TRUE(w.signalled());
    EXPECT_EQ(w.status(), 0u);
    EXPECT_EQ(snap(2).lost, 0u);
    EXPECT_EQ(tx.status().HoldReasons, 0u);
    if (fc.replace & ser::SERIAL_AUTO_RECEIVE) {
        EXPECT_GE(snap(2).tx_bytes, 2u) << "XOFF and XON count as sent";
        EXPECT_EQ(snap(2).tx_bytes % 2, 0u) << "every XOFF is followed by an XON";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, VBoardFlowTest,
    ::testing::Values(flow_case{"RtsCts", ser::SERIAL_DTR_CONTROL | ser::SERIAL_CTS_HANDSHAKE,
                                ser::SERIAL_RTS_HANDSHAKE, ser::SERIAL_TX_WAITING_FOR_CTS},
                      flow_case{"DtrDsr", ser::SERIAL_DTR_HANDSHAKE | ser::SERIAL_DSR_HANDSHAKE,
                                ser::SERIAL_RTS_CONTROL, ser::SERIAL_TX_WAITING_FOR_DSR},
                      flow_case{
                          "XonXoff", ser::SERIAL_DTR_CONTROL,
                          ser::SERIAL_RTS_CONTROL | ser::SERIAL_AUTO_TRANSMIT | ser::SERIAL_AUTO_RECEIVE,
                          ser::SERIAL_TX_WAITING_FOR_XON}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Faults ---------------------------------------------------------------------------------------

TEST_F(VBoardTest, StatusFaultsShortReportAndHangs) {
    make("1:status16; 2-3:status-hang");
    ser::SERIAL_STATUS st{};
    uint32_t ret = 0;
    port p(1);
    EXPECT_TRUE(p.ctl(ser::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &st, sizeof st, &ret));
    EXPECT_EQ(ret, 16u);
    EXPECT_REFUSED(p.ctl(ser::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &st, 16, &ret),
                   kern::err::invalid_parameter);

    // Released by the close, with operation_aborted.
    port hung(2);
    std::atomic<int> outcome{-1};
    std::atomic<uint32_t> error{0};
    std::thread t([&, h = hung.h] {
        ser::SERIAL_STATUS s{};
        outcome = ser::device_io_control(h, ser::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s,
                                         nullptr, nullptr);
        error = kern::last_error();
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(outcome.load(), -1) << "still blocked";
    hung.close();
    t.join();
    EXPECT_EQ(outcome.load(), 0);
    EXPECT_EQ(error.load(), kern::err::operation_aborted);

    // Terminable by the kernel layer, as the analyzer's watchdog does with a stuck monitor.
    struct ctx {
        ser::handle h;
        std::atomic<bool> entered{false}, returned{false};
    };
    port stuck(3);
    ctx c{stuck.h};
    auto entry = [](void* arg) {
        auto* cx = static_cast<ctx*>(arg);
        ser::SERIAL_STATUS s{};
        cx->entered = true;
        ser::device_io_control(cx->h, ser::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s, nullptr,
                               nullptr);
        cx->returned = true;
    };
    kern::thread_handle th = kern::create_thread(entry, &c, 0, nullptr);
    ASSERT_TRUE(poll([&] { return c.entered.load(); }));
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(kern::terminate_thread(th));
    EXPECT_TRUE(kern::thread_stopped(th));
    kern::close_thread(th);
    stuck.close();
    EXPECT_FALSE(c.returned.load()) << "a terminated thread performs nothing more";
}

TEST_F(VBoardTest, RefusedRequestsAreRefusedAndNothingElse) {
    struct req {
        const char* name;
        uint32_t code;
    };
    const req reqs[] = {{"baud", ser::IOCTL_SERIAL_SET_BAUD_RATE},
                        {"loopback", ser::IOCTL_SET_INTERNAL_LOOPBACK},
                        {"loopback", ser::IOCTL_CLEAR_INTERNAL_LOOPBACK},
                        {"timeouts", ser::IOCTL_SERIAL_SET_TIMEOUTS},
                        {"waitmask", ser::IOCTL_SERIAL_SET_WAIT_MASK},
                        {"waitonmask", ser::IOCTL_SERIAL_WAIT_ON_MASK},
                        {"purge", ser::IOCTL_SERIAL_PURGE},
                        {"gethandflow", ser::IOCTL_SERIAL_GET_HANDFLOW},
                        {"sethandflow", ser::IOCTL_SERIAL_SET_HANDFLOW},
                        {"status", ser::IOCTL_SERIAL_GET_COMMSTATUS},
                        {"read", 0},
                        {"write", 1}};
    // One input that every request taking one accepts: baud 3, purge 3, wait mask 3, and so on.
    uint8_t in[20] = {3}, out[20] = {}, buf[4] = {};
    constexpr size_t count = sizeof reqs / sizeof reqs[0];
    for (const req& refused : reqs) {
        SCOPED_TRACE(refused.name);
        make(std::string("1:refuse=") + refused.name);
        std::unique_ptr<ov_rec> o[count];  // one record each: some requests stay in flight
        port p(1);
        for (size_t i = 0; i < count; i++) {
            const req& r = reqs[i];
            o[i] = std::make_unique<ov_rec>(true);
            bool ok;
            if (r.code == 0)
                ok = ser::read_file(p.h, buf, 4, nullptr, &o[i]->ov);
            else if (r.code == 1)
                ok = ser::write_file(p.h, buf, 0, nullptr, &o[i]->ov);
            else
                ok = p.ctl(r.code, in, 20, out, 20, nullptr, &o[i]->ov);
            // Without a wait mask, waiting is refused the same way.
            bool refused_here =
                std::string(r.name) == refused.name ||
                (r.code == ser::IOCTL_SERIAL_WAIT_ON_MASK && refused.code == ser::IOCTL_SERIAL_SET_WAIT_MASK);
            if (refused_here) {
                EXPECT_FALSE(ok) << r.name;
                EXPECT_EQ(kern::last_error(), kern::err::invalid_parameter) << r.name;
                EXPECT_FALSE(o[i]->signalled(0)) << r.name;
            } else {
                EXPECT_TRUE(ok || kern::last_error() == kern::err::io_pending) << r.name;
            }
        }
        p.close();
    }
}

TEST_F(VBoardTest, NoiseAndDropHitEveryNthArrivingByte) {
    make("1:noise=100; 2:drop=100");
    std::vector<uint8_t> data = pattern(1000), got(1000);
    ov_rec r;
    port noisy(1), lossy(2);
    noisy.read_pending(got.data(), 1000, r);
    noisy.send(data);
    ASSERT_TRUE(r.signalled());
    for (size_t i = 0; i < data.size(); i++)
        ASSERT_EQ(got[i], (i + 1) % 100 == 0 ? data[i] ^ 0x40 : data[i]) << i;
    vboard::port_snapshot s = snap(1);
    EXPECT_EQ(s.noise_bytes, 10u);
    EXPECT_EQ(s.noise_reads, 1u);
    EXPECT_EQ(s.noise_tail_reads, 1u) << "the 1000th byte was hit";

    lossy.read_pending(got.data(), 990, r);
    lossy.send(data);
    ASSERT_TRUE(r.signalled());
    std::vector<uint8_t> expect;
    for (size_t i = 0; i < data.size(); i++)
        if ((i + 1) % 100) expect.push_back(data[i]);
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), got.begin()));
    EXPECT_EQ(snap(2).dropped_bytes, 10u);
    EXPECT_EQ(snap(2).in_queue, 0u);
}

TEST_F(VBoardTest, SlowDriverOverrunsItsQueue) {
    make("queue=512; 1:slow=200");
    std::vector<uint8_t> data = pattern(2000), buf(16384);
    ov_rec w, r;
    port p(1);
    ASSERT_TRUE(p.timeouts(ser::MAXDWORD, 0, 30));
    uint64_t t0 = kern::now_us();
    p.write_pending(data.data(), 2000, w);
    uint64_t delivered = 0;
    while (!w.signalled(0)) {
        if (!ser::read_file(p.h, buf.data(), 16384, nullptr, &r.ov)) {
            ASSERT_EQ(kern::last_error(), kern::err::io_pending);
        }
        ASSERT_TRUE(r.signalled());
        delivered += r.bytes();
    }
    vboard::port_snapshot s = snap(1);
    EXPECT_GE(s.overruns, 1u);
    EXPECT_GT(s.lost, 0u);
    EXPECT_EQ(s.delivered, delivered);
    EXPECT_EQ(s.delivered + s.lost + s.in_queue, s.rx_bytes);
    double seconds = static_cast<double>(s.time_us - t0) / 1e6;
    EXPECT_LE(static_cast<double>(delivered), 200 * seconds + 1) << "the driver moves 200 bytes a second";
    EXPECT_GT(delivered, 0u);
}

TEST_F(VBoardTest, UnplugCompletesInFlightAndRefusesLaterRequests) {
    vboard::board& b = make("1:unplug=300");
    std::vector<uint8_t> data = pattern(5000), buf(1000);
    uint32_t mask = 0;
    ov_rec r, w, wait(true);
    {
        port p(1), q(2);
        p.read_pending(buf.data(), 1000, r);
        p.write_pending(data.data(), 5000, w);
        ASSERT_TRUE(p.set(ser::IOCTL_SERIAL_SET_WAIT_MASK, ser::SERIAL_EV_ERR));
        EXPECT_FALSE(p.ctl(ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &mask, 4, nullptr, &wait.ov));
        for (ov_rec* o : {&r, &w, &wait}) {
            ASSERT_TRUE(o->signalled());
            EXPECT_EQ(o->status(), kern::err::device_not_connected);
        }
        EXPECT_GT(w.bytes(), 0u) << "it ran until it vanished";
        ser::SERIAL_STATUS st{};
        EXPECT_REFUSED(ser::read_file(p.h, buf.data(), 10, nullptr, &r.ov), kern::err::device_not_connected);
        EXPECT_REFUSED(ser::write_file(p.h, buf.data(), 10, nullptr, nullptr),
                       kern::err::device_not_connected);
        EXPECT_REFUSED(p.ctl(ser::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &st, sizeof st),
                       kern::err::device_not_connected);
        EXPECT_REFUSED(p.baud(9600), kern::err::device_not_connected);
        EXPECT_FALSE(r.signalled(0));

        // Pulled at run time.
        q.read_pending(buf.data(), 1000, r);
        b.set_faults(2, "unplug=0");
        ASSERT_TRUE(r.signalled(0));
        EXPECT_EQ(r.status(), kern::err::device_not_connected);
        EXPECT_TRUE(ser::close_handle(p.h));
        p.h = ser::invalid_handle_value;
    }
    port again(1);
    EXPECT_TRUE(again.ok()) << "a closed, unplugged port can be opened again";
}

// ---- The analyzer's way of using the board --------------------------------------------------------

// Per port: a transmit thread keeping four 8 KiB writes queued, a receive thread reading, an overrun
// watcher on EV_ERR; the test thread monitors, then stops the ports the way the analyzer does.
TEST_F(VBoardTest, StreamingPortsStopCleanly) {
    make("");
    constexpr int nports = 4;
    std::vector<uint8_t> out = pattern(8192);
    struct chan {
        std::atomic<uint64_t> received{0}, errors{0}, overruns{0};
        std::atomic<bool> writer_done{false};
    };
    chan ch[nports];
    std::vector<std::unique_ptr<port>> ports;
    for (int i = 0; i < nports; i++) {
        ports.push_back(std::make_unique<port>(i + 1));
        port& p = *ports.back();
        ASSERT_TRUE(p.ok());
        ASSERT_TRUE(p.baud(230400));
        ASSERT_TRUE(p.ctl(ser::IOCTL_SET_INTERNAL_LOOPBACK, nullptr, 0));
        ser::SERIAL_HANDFLOW f = p.get_handflow();
        ASSERT_TRUE(p.handflow(f.ControlHandShake,
                               f.FlowReplace | ser::SERIAL_AUTO_TRANSMIT | ser::SERIAL_AUTO_RECEIVE,
                               f.XonLimit, f.XoffLimit));
        ASSERT_TRUE(p.timeouts(ser::MAXDWORD, 0, 30));
        ASSERT_TRUE(p.set(ser::IOCTL_SERIAL_SET_WAIT_MASK, ser::SERIAL_EV_ERR));
    }
    std::atomic<bool> stopping{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < nports; i++) {
        ser::handle h = ports[i]->h;
        chan& c = ch[i];
        threads.emplace_back([&, h] {
            ov_rec ring[5];
            int head = 0, inflight = 0;
            bool failed = false;
            for (;;) {
                while (!failed && !stopping && inflight < 4) {
                    if (ser::write_file(h, out.data(), 8192, nullptr, &ring[(head + inflight) % 5].ov) ||
                        kern::last_error() == kern::err::io_pending)
                        inflight++;
                    else
                        failed = true;
                }
                if (inflight == 0) break;
                uint32_t n = 0;
                if (!ser::get_overlapped_result(h, &ring[head].ov, &n, true)) failed = true;
                head = (head + 1) % 5;
                inflight--;
            }
            c.writer_done = true;
        });
        threads.emplace_back([&, h] {
            std::vector<uint8_t> buf(16384);
            ov_rec o;
            uint8_t expect = 32;
            for (;;) {
                uint32_t n = 0;
                if (!ser::read_file(h, buf.data(), 16384, &n, &o.ov)) {
                    if (kern::last_error() != kern::err::io_pending) break;
                    bool ok = ser::get_overlapped_result(h, &o.ov, &n, true);
                    if (!ok && kern::last_error() != kern::err::operation_aborted) break;
                }
                c.received += n;
                // Purging cuts writes short, so the stream is only whole until the stop began.
                if (stopping) continue;
                for (uint32_t k = 0; k < n; k++) {
                    if (buf[k] != expect) c.errors++;
                    expect = static_cast<uint8_t>(buf[k] + 1 >= 96 ? 32 : buf[k] + 1);
                }
            }
        });
        threads.emplace_back([&, h] {
            ov_rec o(true);
            for (;;) {
                uint32_t mask = 0, n = 0;
                kern::reset_event(o.ov.hEvent);
                if (!ser::device_io_control(h, ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &mask, 4, nullptr,
                                            &o.ov) &&
                    kern::last_error() != kern::err::io_pending)
                    break;
                if (!ser::get_overlapped_result(h, &o.ov, &n, true) || mask == 0) break;
                ser::SERIAL_STATUS s{};
                if (ser::device_io_control(h, ser::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s,
                                           nullptr, nullptr) &&
                    (s.Errors & ser::SERIAL_ERROR_QUEUEOVERRUN))
                    c.overruns++;
            }
        });
    }
    for (int tick = 0; tick < 20; tick++) {
        kern::sleep(100);
        for (auto& p : ports) EXPECT_LE(p->status().AmountInInQueue, 4096u);
    }
    stopping = true;
    for (auto& p : ports) {
        ASSERT_TRUE(p->handflow(ser::SERIAL_DTR_CONTROL, ser::SERIAL_RTS_CONTROL, 2048, 512));
        ASSERT_TRUE(p->set(ser::IOCTL_SERIAL_SET_WAIT_MASK, 0));
        ASSERT_TRUE(p->set(ser::IOCTL_SERIAL_PURGE, ser::SERIAL_PURGE_TXABORT | ser::SERIAL_PURGE_RXABORT));
    }
    for (int i = 0; i < nports; i++) EXPECT_TRUE(poll([&] { return ch[i].writer_done.load(); }));
    for (auto& p : ports) p->close();
    for (auto& t : threads) t.join();
    for (int i = 0; i < nports; i++) {
        SCOPED_TRACE(i);
        vboard::port_snapshot s = snap(i + 1);
        EXPECT_GT(ch[i].received.load(), 0u);
        EXPECT_EQ(ch[i].received.load(), s.delivered);
        EXPECT_EQ(ch[i].errors.load(), 0u);
        EXPECT_EQ(s.lost, 0u) << "Xon/Xoff keeps the queue from overflowing";
        EXPECT_EQ(ch[i].overruns.load(), 0u);
        EXPECT_EQ(s.pending_reads + s.pending_writes + s.pending_waits, 0u);
    }
}

}  // namespace
