// The Windows serial backend against a fake of the few system calls it makes: completions reach the
// program's records once (at once or later, with and without completion packets for the former),
// purge and close abort what is pending, close returns only once nothing of the port is in flight,
// and the behaviours of Wine's serial emulation the backend smooths over.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/serial/serial.h"
#include "platform/serial/win32/win32_backend.h"
#include "wait_until.h"

namespace {

// ---- The fake system --------------------------------------------------------------------------------
struct packet {
    DWORD status, bytes;
    ULONG_PTR key;
    OVERLAPPED* ov;
};
struct op {
    OVERLAPPED* ov;
    char kind;  // 'r', 'w', 'm' (wait on mask)
    void* buf;
    DWORD len;
};

struct fake_sys {
    std::mutex m;
    std::condition_variable cv;
    std::deque<packet> packets;
    std::vector<op> pending;
    std::vector<DWORD> refused;  // request codes the driver refuses
    bool skip_supported = true;
    bool purge_aborts = false;     // Wine: purge leaves a pending read alone
    bool mask_aborts_wait = true;  // Wine: a new mask ends a pending wait with 995
    int ready_bytes = 0;           // a read completes at once with these
    int cancel_delay_ms = 0;       // cancelled requests complete this much later
    std::atomic<int> issued_writes{0};
    int pending_at_close = -1;
    DWORD open_error = 0;
    ULONG_PTR file_key = 0;
    std::string opened_path;
    bool cancel_ignored = false;  // a driver that never ends what is cancelled
    bool empty_reads = false;     // reads end at once with nothing, whatever the time-outs
    std::atomic<int> reads{0};
    // The handle's life: a system call on it after it was closed is a fault of the backend.
    std::atomic<bool> handle_open{false};
    std::atomic<int> used_after_close{0};
    // The port's settings, as another program left them (7E2, abort on error, DSR sensitivity,
    // null stripping, Xoff continue), and every setting request in order.
    ser::SERIAL_LINE_CONTROL line{ser::STOP_BITS_2, ser::EVEN_PARITY, 7};
    ser::SERIAL_CHARS chars{0x1A, 0x3F, 0, 0x0A, 0x01, 0x02};
    ser::SERIAL_HANDFLOW handflow{0x80000000u | 0x40 | ser::SERIAL_DTR_HANDSHAKE, 0x80000000u | 0x08 | 0x02,
                                  10, 10};
    ser::SERIAL_TIMEOUTS timeouts{1, 2, 3, 4, 5};
    uint32_t baud = 1200;
    bool line_ignored = false;  // takes the line control request without changing anything
    uint32_t errors = 0;        // the driver's error word, cleared by each status answer
    std::vector<DWORD> sets;

    void post(DWORD status, DWORD bytes, OVERLAPPED* ov) {
        std::lock_guard lk(m);
        packets.push_back({status, bytes, file_key, ov});
        cv.notify_all();
    }
    // Completes the first pending request of a kind (as the driver would, later).
    // What the driver transfers goes into the buffer it was given: 'x's read, an event mask of 1.
    void finish(char kind, DWORD status, DWORD bytes) {
        ASSERT_TRUE(try_finish(kind, status, bytes)) << kind;
    }
    bool try_finish(char kind, DWORD status, DWORD bytes) {
        OVERLAPPED* ov = nullptr;
        {
            std::lock_guard lk(m);
            for (auto it = pending.begin(); it != pending.end(); ++it)
                if (it->kind == kind) {
                    ov = it->ov;
                    if (kind == 'r') std::memset(it->buf, 'x', std::min(bytes, it->len));
                    if (kind == 'm' && bytes >= 4) std::memset(it->buf, 1, 1);
                    pending.erase(it);
                    break;
                }
        }
        if (ov) post(status, bytes, ov);
        return ov != nullptr;
    }
    int count(char kind) {
        std::lock_guard lk(m);
        int n = 0;
        for (auto& o : pending) n += o.kind == kind;
        return n;
    }
};
fake_sys* F = nullptr;
thread_local DWORD fake_error = 0;

BOOL fail(DWORD e) {
    fake_error = e;
    return FALSE;
}
BOOL pend(OVERLAPPED* ov, char kind, void* buf, DWORD len) {
    std::lock_guard lk(F->m);
    F->pending.push_back({ov, kind, buf, len});
    return fail(ERROR_IO_PENDING);
}
// At once; with no skip-on-success the completion port still hears of it.
BOOL at_once(OVERLAPPED* ov, DWORD n, DWORD* count) {
    if (count) *count = n;
    if (!F->skip_supported) F->post(0, n, ov);
    return TRUE;
}

void check_handle(HANDLE h) {
    if (h == reinterpret_cast<HANDLE>(0x100) && !F->handle_open) F->used_after_close++;
}

// A setting request: stored (SET) or answered (GET) from the fake's state; 0 when not a setting.
DWORD setting(DWORD code, const void* in, void* out, DWORD out_size) {
    auto io = [&](auto& field, DWORD get, DWORD set) -> DWORD {
        if (code == set) {
            std::lock_guard lk(F->m);
            F->sets.push_back(code);
            if (!(set == ser::IOCTL_SERIAL_SET_LINE_CONTROL && F->line_ignored))
                std::memcpy(&field, in, sizeof field);
            return 1;
        }
        if (code == get && out_size >= sizeof field) {
            std::memcpy(out, &field, sizeof field);
            return sizeof field;
        }
        return 0;
    };
    if (DWORD n = io(F->line, ser::IOCTL_SERIAL_GET_LINE_CONTROL, ser::IOCTL_SERIAL_SET_LINE_CONTROL))
        return n;
    if (DWORD n = io(F->chars, ser::IOCTL_SERIAL_GET_CHARS, ser::IOCTL_SERIAL_SET_CHARS)) return n;
    if (DWORD n = io(F->handflow, ser::IOCTL_SERIAL_GET_HANDFLOW, ser::IOCTL_SERIAL_SET_HANDFLOW)) return n;
    if (DWORD n = io(F->timeouts, ser::serial_ctl_code(8), ser::IOCTL_SERIAL_SET_TIMEOUTS)) return n;
    if (DWORD n = io(F->baud, ser::IOCTL_SERIAL_GET_BAUD_RATE, ser::IOCTL_SERIAL_SET_BAUD_RATE)) return n;
    return 0;
}

ser::win32_calls fake_calls() {
    ser::win32_calls c{};
    c.create_file = [](const char* path) {
        F->opened_path = path;
        if (F->open_error) return fail(F->open_error), INVALID_HANDLE_VALUE;
        F->handle_open = true;
        return reinterpret_cast<HANDLE>(0x100);
    };
    c.device_io_control = [](HANDLE h, DWORD code, void* in, DWORD, void* out, DWORD out_size, DWORD* n,
                             OVERLAPPED* ov) -> BOOL {
        check_handle(h);
        {
            std::lock_guard lk(F->m);
            if (code == ser::IOCTL_SET_INTERNAL_LOOPBACK || code == ser::IOCTL_CLEAR_INTERNAL_LOOPBACK)
                F->sets.push_back(code);
        }
        for (DWORD r : F->refused)
            if (r == code) return fail(ERROR_INVALID_PARAMETER);
        if (DWORD size = setting(code, in, out, out_size)) return at_once(ov, size == 1 ? 0 : size, n);
        if (code == ser::IOCTL_SERIAL_WAIT_ON_MASK) return pend(ov, 'm', out, 4);
        if (code == ser::IOCTL_SERIAL_SET_WAIT_MASK && F->mask_aborts_wait && F->count('m'))
            F->finish('m', 995, 0);
        if (code == ser::IOCTL_SERIAL_PURGE && F->purge_aborts) {
            uint32_t mask;
            std::memcpy(&mask, in, 4);
            while ((mask & 2) && F->count('r')) F->finish('r', 995, 0);
        }
        DWORD size = code == ser::IOCTL_SERIAL_GET_COMMSTATUS ? 20 : 0;
        if (size) std::memset(out, 0, size);
        if (size) std::memcpy(out, &F->errors, 4), F->errors = 0;
        return at_once(ov, size, n);
    };
    c.read_file = [](HANDLE h, void* buf, DWORD len, DWORD* n, OVERLAPPED* ov) -> BOOL {
        check_handle(h);
        F->reads++;
        if (F->empty_reads) return at_once(ov, 0, n);
        if (F->ready_bytes) return at_once(ov, static_cast<DWORD>(F->ready_bytes), n);
        return pend(ov, 'r', buf, len);
    };
    c.write_file = [](HANDLE h, const void* buf, DWORD len, DWORD*, OVERLAPPED* ov) -> BOOL {
        check_handle(h);
        F->issued_writes++;
        return pend(ov, 'w', const_cast<void*>(buf), len);
    };
    c.cancel_io = [](HANDLE h, OVERLAPPED* ov) -> BOOL {
        check_handle(h);
        if (F->cancel_ignored) return TRUE;
        std::vector<OVERLAPPED*> hit;
        {
            std::lock_guard lk(F->m);
            for (auto it = F->pending.begin(); it != F->pending.end();)
                if (!ov || it->ov == ov) {
                    hit.push_back(it->ov);
                    it = F->pending.erase(it);
                } else {
                    ++it;
                }
        }
        for (OVERLAPPED* o : hit) {
            if (F->cancel_delay_ms)
                std::thread([o, d = F->cancel_delay_ms] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(d));
                    F->post(995, 0, o);
                }).detach();
            else
                F->post(995, 0, o);
        }
        return TRUE;
    };
    c.close_handle = [](HANDLE h) -> BOOL {
        if (h == reinterpret_cast<HANDLE>(0x100)) {
            check_handle(h);
            F->handle_open = false;
            std::lock_guard lk(F->m);
            F->pending_at_close = static_cast<int>(F->pending.size());
        }
        return TRUE;
    };
    c.create_port = [](HANDLE file, HANDLE port, ULONG_PTR key) {
        if (file != INVALID_HANDLE_VALUE) F->file_key = key;
        return port ? port : reinterpret_cast<HANDLE>(0x200);
    };
    c.skip_on_success = [](HANDLE) -> BOOL { return F->skip_supported; };
    c.get_completion = [](HANDLE, DWORD* bytes, ULONG_PTR* key, OVERLAPPED** ov) -> BOOL {
        std::unique_lock lk(F->m);
        F->cv.wait(lk, [] { return !F->packets.empty(); });
        packet p = F->packets.front();
        F->packets.pop_front();
        *bytes = p.bytes, *key = p.key, *ov = p.ov;
        return p.status ? fail(p.status) : TRUE;
    };
    c.post_completion = [](HANDLE, DWORD bytes, ULONG_PTR key, OVERLAPPED* ov) -> BOOL {
        std::lock_guard lk(F->m);
        F->packets.push_back({0, bytes, key, ov});
        F->cv.notify_all();
        return TRUE;
    };
    c.last_error = [] { return fake_error; };
    return c;
}

class Win32SerialTest : public ::testing::Test {
  protected:
    void open(bool one_write_at_a_time = false) {
        F = fake_.get();
        auto c = fake_calls();
        c.one_write_at_a_time = one_write_at_a_time;
        c.first_byte_timeouts = true;
        backend_ = ser::make_win32_backend(c);
        ser::register_backend(backend_.get());
        h_ = ser::create_file("\\\\.\\COM5");
        ASSERT_NE(h_, ser::invalid_handle_value);
    }
    void TearDown() override {
        if (backend_) ser::unregister_backend(backend_.get());
        backend_.reset();
        F = nullptr;
    }
    static ser::overlapped record() {
        ser::overlapped ov{};
        ov.hEvent = kern::create_event(false, false);
        return ov;
    }
    std::unique_ptr<fake_sys> fake_ = std::make_unique<fake_sys>();
    std::unique_ptr<ser::backend> backend_;
    ser::handle h_ = ser::invalid_handle_value;
};

TEST_F(Win32SerialTest, CompletionsReachTheProgramsRecordsOnce) {
    for (bool skip : {true, false}) {
        SCOPED_TRACE(skip ? "skip-on-success" : "packets for every request");
        fake_ = std::make_unique<fake_sys>();
        fake_->skip_supported = skip;
        open();
        char buf[100];
        uint32_t n = 0;
        // Pending, then completed by the driver: the record and its event.
        ser::overlapped ov = record();
        EXPECT_FALSE(ser::read_file(h_, buf, sizeof buf, &n, &ov));
        EXPECT_EQ(kern::last_error(), kern::err::io_pending);
        fake_->finish('r', 0, 42);
        EXPECT_EQ(kern::wait_event(ov.hEvent, 5000), kern::wait_object_0);
        EXPECT_TRUE(ser::get_overlapped_result(h_, &ov, &n, false));
        EXPECT_EQ(n, 42u);
        // Completed at once: true, the record already filled, the event set exactly once.
        fake_->ready_bytes = 10;
        n = 0;
        EXPECT_TRUE(ser::read_file(h_, buf, sizeof buf, &n, &ov));
        EXPECT_EQ(n, 10u);
        EXPECT_EQ(ov.internal, 0u);
        EXPECT_EQ(ov.internal_high, 10u);
        EXPECT_EQ(kern::wait_event(ov.hEvent, 0), kern::wait_object_0);
        EXPECT_EQ(kern::wait_event(ov.hEvent, 200), kern::wait_timeout) << "reported once";
        fake_->ready_bytes = 0;
        // Requests without a record: the driver's answer, or its refusal with nothing left behind.
        ser::SERIAL_STATUS st;
        EXPECT_TRUE(ser::device_io_control(h_, ser::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &st, sizeof st,
                                           &n, nullptr));
        EXPECT_EQ(n, 20u);
        fake_->refused = {ser::IOCTL_SERIAL_SET_BAUD_RATE};
        uint32_t baud = 115200;
        EXPECT_FALSE(
            ser::device_io_control(h_, ser::IOCTL_SERIAL_SET_BAUD_RATE, &baud, 4, nullptr, 0, &n, nullptr));
        EXPECT_EQ(kern::last_error(), kern::err::invalid_parameter);
        EXPECT_TRUE(ser::close_handle(h_));
        EXPECT_EQ(fake_->pending_at_close, 0);
        kern::close_event(ov.hEvent);
        TearDown();
    }
    // An open the system refuses keeps its error number; a closed handle is never served again.
    fake_ = std::make_unique<fake_sys>();
    open();
    EXPECT_TRUE(ser::close_handle(h_));
    char b;
    uint32_t n;
    EXPECT_FALSE(ser::read_file(h_, &b, 1, &n, nullptr));
    EXPECT_EQ(kern::last_error(), kern::err::invalid_handle);
    fake_->open_error = ERROR_ACCESS_DENIED;
    EXPECT_EQ(ser::create_file("\\\\.\\COM5"), ser::invalid_handle_value);
    EXPECT_EQ(kern::last_error(), kern::err::access_denied);
}

TEST_F(Win32SerialTest, PurgeAndCloseAbortAndCloseWaitsForEverything) {
    open(true);
    char rbuf[64], wbuf[3][16] = {};
    uint32_t n = 0, mask = 0x80;
    ser::overlapped r = record(), m = record(), w[3] = {record(), record(), record()};
    EXPECT_FALSE(ser::read_file(h_, rbuf, sizeof rbuf, &n, &r));
    EXPECT_FALSE(ser::device_io_control(h_, ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &mask, 4, &n, &m));
    EXPECT_EQ(kern::last_error(), kern::err::io_pending);
    // One write at a time reaches the driver; the next goes as soon as the one before completed.
    for (auto& o : w) EXPECT_FALSE(ser::write_file(h_, wbuf[&o - w], 16, &n, &o));
    EXPECT_EQ(fake_->issued_writes, 1);
    fake_->finish('w', 0, 16);
    EXPECT_EQ(kern::wait_event(w[0].hEvent, 5000), kern::wait_object_0);
    EXPECT_TRUE(ser::get_overlapped_result(h_, &w[0], &n, false));
    EXPECT_EQ(n, 16u);
    EXPECT_TRUE(wait_until([&] { return fake_->issued_writes == 2; }))
        << "the next write follows the completion";

    // Purge aborts the pending read and writes although this driver leaves them pending; the
    // wait on the mask is not the purge's.
    uint32_t purge = ser::SERIAL_PURGE_TXABORT | ser::SERIAL_PURGE_RXABORT;
    EXPECT_TRUE(ser::device_io_control(h_, ser::IOCTL_SERIAL_PURGE, &purge, 4, nullptr, 0, &n, nullptr));
    for (auto* o : {&r, &w[1], &w[2]}) {
        EXPECT_EQ(kern::wait_event(o->hEvent, 5000), kern::wait_object_0);
        EXPECT_FALSE(ser::get_overlapped_result(h_, o, &n, false));
        EXPECT_EQ(kern::last_error(), kern::err::operation_aborted);
    }
    EXPECT_EQ(fake_->issued_writes, 2) << "the queued write was aborted, not issued";
    EXPECT_EQ(m.internal, kern::err::io_pending);

    // A new mask ends the wait with success and no events, also where the driver aborts it.
    uint32_t zero = 0;
    EXPECT_TRUE(
        ser::device_io_control(h_, ser::IOCTL_SERIAL_SET_WAIT_MASK, &zero, 4, nullptr, 0, &n, nullptr));
    EXPECT_EQ(kern::wait_event(m.hEvent, 5000), kern::wait_object_0);
    EXPECT_TRUE(ser::get_overlapped_result(h_, &m, &n, false));
    EXPECT_EQ(mask, 0u);

    // Close: what is still pending is aborted, and close returns only after it was delivered,
    // even when the driver takes its time.
    fake_->cancel_delay_ms = 300;
    EXPECT_FALSE(ser::read_file(h_, rbuf, sizeof rbuf, &n, &r));
    EXPECT_TRUE(ser::close_handle(h_));
    EXPECT_EQ(fake_->pending_at_close, 0);
    EXPECT_EQ(r.internal, kern::err::operation_aborted) << "delivered before close returned";
    for (auto* o : {&r, &m, &w[0], &w[1], &w[2]}) kern::close_event(o->hEvent);
}

// Close against a driver that never ends what it cancelled, and against completions arriving while
// it runs: it returns at once with every record of the program ended, and nothing the system does
// later reaches the program's records or buffers, or uses the closed handle.
TEST_F(Win32SerialTest, CloseLeavesTheDriverNothingOfTheProgramsAndNeverWaitsLong) {
    open();
    fake_->cancel_ignored = true;
    char rbuf[64];
    uint32_t n = 0, mask = 0;
    ser::overlapped r = record(), m = record();
    EXPECT_FALSE(ser::read_file(h_, rbuf, sizeof rbuf, &n, &r));
    EXPECT_FALSE(ser::device_io_control(h_, ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &mask, 4, &n, &m));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(ser::close_handle(h_));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(r.internal, kern::err::operation_aborted);
    EXPECT_EQ(m.internal, kern::err::operation_aborted);
    std::memset(rbuf, '-', sizeof rbuf);
    r.internal = m.internal = 12345;
    fake_->finish('r', 0, sizeof rbuf);
    fake_->finish('m', 0, 4);
    EXPECT_TRUE(wait_until([&] {
        std::lock_guard lk(fake_->m);
        return fake_->packets.empty();
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the last packet's delivery
    EXPECT_EQ(std::string(rbuf, sizeof rbuf), std::string(sizeof rbuf, '-'));
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(r.internal, 12345u);
    EXPECT_EQ(m.internal, 12345u);

    // One write at a time: completions hand the next queued write to the driver while close runs.
    TearDown();
    fake_ = std::make_unique<fake_sys>();
    open(true);
    std::atomic<bool> stop{false};
    std::thread driver([&] {
        while (!stop) fake_->try_finish('w', 0, 16);
    });
    char wbuf[16] = {};
    for (int round = 0; round < 300; round++) {
        if (round) h_ = ser::create_file("\\\\.\\COM5");
        ASSERT_NE(h_, ser::invalid_handle_value);
        ser::overlapped w[3] = {record(), record(), record()};
        for (auto& o : w) ser::write_file(h_, wbuf, sizeof wbuf, &n, &o);
        if (round % 3) std::this_thread::sleep_for(std::chrono::microseconds(round % 200));
        EXPECT_TRUE(ser::close_handle(h_));
        for (auto& o : w) {
            EXPECT_NE(std::atomic_ref<uint32_t>(o.internal).load(), kern::err::io_pending)
                << "round " << round;
            o.internal = 12345;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (auto& o : w) {
            EXPECT_EQ(o.internal, 12345u) << "round " << round;
            kern::close_event(o.hEvent);
        }
        ASSERT_EQ(fake_->used_after_close, 0) << "round " << round;
    }
    stop = true;
    driver.join();
    kern::close_event(r.hEvent);
    kern::close_event(m.hEvent);
}

// What the port keeps from the program before it is restored: the line format, characters and
// handshake flags set and read back at open, the program's own format passed on, and what was
// there put back at close; the device namespace for every COM name; the operator's words for a
// failed open; the board's private loopback requests never reaching a standard driver.
TEST_F(Win32SerialTest, PortSettingsAtOpenAndCloseAndWhatIsNeverSent) {
    open();
    EXPECT_EQ(fake_->opened_path, "\\\\.\\COM5");
    EXPECT_EQ(fake_->line.WordLength, 8);
    EXPECT_EQ(fake_->line.Parity, ser::NO_PARITY);
    EXPECT_EQ(fake_->line.StopBits, ser::STOP_BIT_1);
    EXPECT_EQ(fake_->chars.XonChar, 0x11);
    EXPECT_EQ(fake_->chars.XoffChar, 0x13);
    EXPECT_EQ(fake_->handflow.ControlHandShake, ser::SERIAL_DTR_CONTROL)
        << "no abort on error, no DSR sensitivity";
    EXPECT_EQ(fake_->handflow.FlowReplace, ser::SERIAL_RTS_CONTROL) << "no null stripping, no Xoff continue";
    // The program's own format reaches the driver.
    ser::SERIAL_LINE_CONTROL e71{ser::STOP_BIT_1, ser::EVEN_PARITY, 7};
    uint32_t n = 0;
    EXPECT_TRUE(
        ser::device_io_control(h_, ser::IOCTL_SERIAL_SET_LINE_CONTROL, &e71, 3, nullptr, 0, &n, nullptr));
    EXPECT_EQ(fake_->line.Parity, ser::EVEN_PARITY);
    // The receive time-outs in their documented form; refused, as they were asked for.
    ser::SERIAL_TIMEOUTS to{MAXDWORD, 0, 30, 0, 0};
    EXPECT_TRUE(
        ser::device_io_control(h_, ser::IOCTL_SERIAL_SET_TIMEOUTS, &to, sizeof to, nullptr, 0, &n, nullptr));
    EXPECT_EQ(fake_->timeouts.ReadTotalTimeoutMultiplier, MAXDWORD);
    EXPECT_EQ(fake_->timeouts.ReadTotalTimeoutConstant, 30u);
    // The loopback requests: refused as an unknown request, the driver never asked.
    for (uint32_t code : {ser::IOCTL_SET_INTERNAL_LOOPBACK, ser::IOCTL_CLEAR_INTERNAL_LOOPBACK}) {
        EXPECT_FALSE(ser::device_io_control(h_, code, nullptr, 0, nullptr, 0, &n, nullptr));
        EXPECT_EQ(kern::last_error(), kern::err::invalid_parameter);
    }
    EXPECT_EQ(std::count(fake_->sets.begin(), fake_->sets.end(), ser::IOCTL_SET_INTERNAL_LOOPBACK), 0);
    EXPECT_TRUE(ser::close_handle(h_));
    EXPECT_EQ(fake_->line.WordLength, 7);
    EXPECT_EQ(fake_->line.StopBits, ser::STOP_BITS_2);
    EXPECT_EQ(fake_->chars.XonChar, 0x01);
    EXPECT_EQ(fake_->handflow.ControlHandShake, 0x80000000u | 0x40 | ser::SERIAL_DTR_HANDSHAKE);
    EXPECT_EQ(fake_->timeouts.ReadIntervalTimeout, 1u);
    EXPECT_EQ(fake_->baud, 1200u);

    fake_->timeouts = {};
    fake_->refused = {};
    struct {
        const char* name;
        const char* path;
        DWORD open_error;
        bool line_ignored;
        uint32_t error;
        const char* words;
    } cases[] = {
        {"two digits", "COM12", 0, false, 0, ""},
        {"missing", "COM7", ERROR_FILE_NOT_FOUND, false, kern::err::file_not_found, "not found"},
        {"in use", "COM7", ERROR_ACCESS_DENIED, false, kern::err::access_denied, "in use"},
        {"keeps its format", "COM7", 0, true, kern::err::invalid_parameter,
         "does not take 8 data bits, no parity, 1 stop bit"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_->open_error = c.open_error;
        fake_->line_ignored = c.line_ignored;
        ser::handle h = ser::create_file(c.path);
        EXPECT_EQ(fake_->opened_path, std::string("\\\\.\\") + c.path);
        EXPECT_EQ(std::string(ser::open_detail()), c.words);
        if (c.error) {
            EXPECT_EQ(h, ser::invalid_handle_value);
            EXPECT_EQ(kern::last_error(), c.error);
        } else {
            ASSERT_NE(h, ser::invalid_handle_value);
            ser::close_handle(h);
        }
        EXPECT_FALSE(fake_->handle_open) << "never left open";
    }
}

// Every reader of the driver's error word: a queue overrun that another thread's status request
// took first still reaches the thread that waits for error events, once. And a driver that ends
// reads empty at once, time-outs or not, never lets a receiver spin.
TEST_F(Win32SerialTest, OverrunsReachTheErrorWaiterAndEmptyReadsArePaced) {
    open();
    uint32_t n = 0, mask = ser::SERIAL_EV_ERR;
    ser::overlapped m = record();
    ser::SERIAL_STATUS st{};
    auto status = [&] {
        st = {};
        ser::device_io_control(h_, ser::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &st, sizeof st, &n, nullptr);
        return st.Errors;
    };
    EXPECT_TRUE(
        ser::device_io_control(h_, ser::IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, nullptr, 0, &n, nullptr));
    EXPECT_FALSE(ser::device_io_control(h_, ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &mask, 4, &n, &m));
    fake_->errors = ser::SERIAL_ERROR_QUEUEOVERRUN;
    uint32_t other = 0;
    std::thread([&] { other = status(); }).join();  // the monitor's sample, first
    EXPECT_EQ(other, ser::SERIAL_ERROR_QUEUEOVERRUN);
    fake_->finish('m', 0, 4);
    EXPECT_EQ(kern::wait_event(m.hEvent, 5000), kern::wait_object_0);
    EXPECT_EQ(status(), ser::SERIAL_ERROR_QUEUEOVERRUN) << "the waiter sees it too";
    EXPECT_EQ(status(), 0u) << "once";

    ser::SERIAL_TIMEOUTS to{MAXDWORD, 0, 30, 0, 0};
    EXPECT_TRUE(
        ser::device_io_control(h_, ser::IOCTL_SERIAL_SET_TIMEOUTS, &to, sizeof to, nullptr, 0, &n, nullptr));
    fake_->empty_reads = true;
    char b[16];
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < end) ser::read_file(h_, b, sizeof b, &n, nullptr);
    EXPECT_LT(fake_->reads, 30) << "about one empty read per time-out";
    EXPECT_TRUE(ser::close_handle(h_));
    kern::close_event(m.hEvent);
}

}  // namespace
