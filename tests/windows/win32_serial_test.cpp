// The Windows serial backend against a fake of the few system calls it makes: completions reach the
// program's records once (at once or later, with and without completion packets for the former),
// purge and close abort what is pending, close returns only once nothing of the port is in flight,
// and the behaviours of Wine's serial emulation the backend smooths over.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
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

    void post(DWORD status, DWORD bytes, OVERLAPPED* ov) {
        std::lock_guard lk(m);
        packets.push_back({status, bytes, file_key, ov});
        cv.notify_all();
    }
    // Completes the first pending request of a kind (as the driver would, later).
    void finish(char kind, DWORD status, DWORD bytes) {
        OVERLAPPED* ov = nullptr;
        {
            std::lock_guard lk(m);
            for (auto it = pending.begin(); it != pending.end(); ++it)
                if (it->kind == kind) {
                    ov = it->ov;
                    pending.erase(it);
                    break;
                }
        }
        ASSERT_NE(ov, nullptr) << kind;
        post(status, bytes, ov);
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

ser::win32_calls fake_calls() {
    ser::win32_calls c{};
    c.create_file = [](const char*) {
        if (F->open_error) return fail(F->open_error), INVALID_HANDLE_VALUE;
        return reinterpret_cast<HANDLE>(0x100);
    };
    c.device_io_control = [](HANDLE, DWORD code, void* in, DWORD, void* out, DWORD, DWORD* n,
                             OVERLAPPED* ov) -> BOOL {
        for (DWORD r : F->refused)
            if (r == code) return fail(ERROR_INVALID_PARAMETER);
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
        return at_once(ov, size, n);
    };
    c.read_file = [](HANDLE, void* buf, DWORD len, DWORD* n, OVERLAPPED* ov) -> BOOL {
        if (F->ready_bytes) return at_once(ov, static_cast<DWORD>(F->ready_bytes), n);
        return pend(ov, 'r', buf, len);
    };
    c.write_file = [](HANDLE, const void* buf, DWORD len, DWORD*, OVERLAPPED* ov) -> BOOL {
        F->issued_writes++;
        return pend(ov, 'w', const_cast<void*>(buf), len);
    };
    c.cancel_io = [](HANDLE, OVERLAPPED* ov) -> BOOL {
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

}  // namespace
