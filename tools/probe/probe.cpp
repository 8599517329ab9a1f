// zentrel-probe.exe: qualifies a COM port and its driver for Zentrel. With a loopback plug on the
// port (TX to RX, RTS to CTS, DTR to DSR) it issues every request the program uses and reports each
// as PASS or FAIL, so a board or adapter can be judged without reading code.
//   zentrel-probe COMn [BAUD]          exit code: the number of failed checks
// It talks to the driver directly (no Zentrel layer in between): what it reports is the driver's.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The driver's request codes (serial device type 0x1B, buffered, any access).
constexpr DWORD ctl(DWORD f) {
    return (0x1Bu << 16) | (f << 2);
}
constexpr DWORD SET_BAUD = ctl(1), SET_TIMEOUTS = ctl(7), SET_WAIT_MASK = ctl(17), WAIT_ON_MASK = ctl(18),
                PURGE = ctl(19), GET_HANDFLOW = ctl(24), SET_HANDFLOW = ctl(25), GET_STATUS = ctl(27),
                GET_STATS = ctl(35), CLEAR_LOOPBACK = ctl(0x40), SET_LOOPBACK = ctl(0x41);

int failures = 0;

void report(bool ok, const char* what, const std::string& detail = "") {
    std::printf("%s  %s%s%s\n", ok ? "PASS" : "FAIL", what, detail.empty() ? "" : ": ", detail.c_str());
    if (!ok) failures++;
}
void info(const char* what, const std::string& detail) {
    std::printf("INFO  %s: %s\n", what, detail.c_str());
}
std::string err(DWORD e) {
    return "error " + std::to_string(e);
}

HANDLE open_port(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

// A request on an overlapped handle: issued, then awaited up to ms; false with the error otherwise.
bool request(HANDLE h, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* n, DWORD ms,
             DWORD* error) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = DeviceIoControl(h, code, in, in_size, out, out_size, n, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, ms) != WAIT_OBJECT_0) {
            CancelIoEx(h, &ov);
            GetOverlappedResult(h, &ov, n, TRUE);
            *error = WAIT_TIMEOUT;
            CloseHandle(ov.hEvent);
            return false;
        }
        ok = GetOverlappedResult(h, &ov, n, FALSE);
    }
    *error = ok ? 0 : GetLastError();
    CloseHandle(ov.hEvent);
    return ok;
}

bool simple(HANDLE h, DWORD code, void* in, DWORD in_size, void* out = nullptr, DWORD out_size = 0,
            DWORD* n_out = nullptr, DWORD* error = nullptr) {
    DWORD n = 0, e = 0;
    bool ok = request(h, code, in, in_size, out, out_size, &n, 5000, &e);
    if (n_out) *n_out = n;
    if (error) *error = e;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: zentrel-probe COMn [BAUD]   (a loopback plug on the port)\n");
        return 64;
    }
    std::string path = std::strncmp(argv[1], "\\\\.\\", 4) == 0 ? argv[1] : std::string("\\\\.\\") + argv[1];
    DWORD baud = argc > 2 ? static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)) : 115200;
    std::printf("Zentrel probe of %s at %lu baud\n", path.c_str(), static_cast<unsigned long>(baud));

    HANDLE h = open_port(path);
    report(h != INVALID_HANDLE_VALUE, "open, exclusive and overlapped",
           h == INVALID_HANDLE_VALUE ? err(GetLastError()) : "");
    if (h == INVALID_HANDLE_VALUE) return failures;
    HANDLE second = open_port(path);
    DWORD e2 = GetLastError();
    report(second == INVALID_HANDLE_VALUE && e2 == ERROR_ACCESS_DENIED, "a second open is refused (5)",
           second == INVALID_HANDLE_VALUE ? err(e2) : "it succeeded");
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);

    DWORD e = 0, n = 0;
    bool ok = simple(h, SET_BAUD, &baud, 4, nullptr, 0, nullptr, &e);
    report(ok, "set baud rate", e ? err(e) : "");
    DWORD hf[4] = {};
    ok = simple(h, GET_HANDFLOW, nullptr, 0, hf, sizeof hf, &n, &e) && n == 16;
    report(ok, "get handflow (16 bytes)", e ? err(e) : "");
    hf[0] = (hf[0] & ~0x3Bu) | 0x01;  // DTR on, no handshake
    hf[1] = (hf[1] & ~0xC3u) | 0x40;  // RTS on
    ok = simple(h, SET_HANDFLOW, hf, sizeof hf, nullptr, 0, nullptr, &e);
    report(ok, "set handflow (no flow control)", e ? err(e) : "");
    // A read returns as soon as bytes are there, or after a second without any.
    DWORD to[5] = {MAXDWORD, MAXDWORD, 1000, 0, 0};
    ok = simple(h, SET_TIMEOUTS, to, sizeof to, nullptr, 0, nullptr, &e);
    report(ok, "set timeouts", e ? err(e) : "");
    for (DWORD code : {SET_LOOPBACK, CLEAR_LOOPBACK}) {
        ok = simple(h, code, nullptr, 0, nullptr, 0, nullptr, &e);
        info(code == SET_LOOPBACK ? "board's set-internal-loopback request"
                                  : "board's clear-internal-loopback request",
             ok ? "accepted"
                : err(e) + (e == 87 ? " (a standard driver; the program goes on without it)" : ""));
    }
    BYTE status[20] = {};
    ok = simple(h, GET_STATUS, nullptr, 0, status, sizeof status, &n, &e) && n == 20;
    report(ok, "status (20 bytes)", e ? err(e) : ok ? "" : "returned " + std::to_string(n));
    BYTE stats[24] = {};
    bool st = simple(h, GET_STATS, nullptr, 0, stats, sizeof stats, &n, &e);
    info("statistics request", st ? "answered" : err(e) + " (line-error counts not available)");
    DWORD purge = 0x0F;
    simple(h, PURGE, &purge, 4);

    // The pattern through the plug and back.
    std::vector<BYTE> out(8192), in(8192);
    for (size_t i = 0; i < out.size(); i++) out[i] = static_cast<BYTE>(32 + i % 64);
    OVERLAPPED wo{}, ro{};
    wo.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ro.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL wok = WriteFile(h, out.data(), static_cast<DWORD>(out.size()), nullptr, &wo);
    bool wpending = wok || GetLastError() == ERROR_IO_PENDING;
    size_t got = 0;
    DWORD deadline = GetTickCount() + 5000 + 8192 * 10000 / baud;
    while (got < in.size() && static_cast<int>(deadline - GetTickCount()) > 0) {
        ResetEvent(ro.hEvent);
        DWORD r = 0;
        if (!ReadFile(h, in.data() + got, static_cast<DWORD>(in.size() - got), &r, &ro)) {
            r = 0;
            if (GetLastError() == ERROR_IO_PENDING) {
                if (WaitForSingleObject(ro.hEvent, 2000) != WAIT_OBJECT_0) CancelIoEx(h, &ro);
                GetOverlappedResult(h, &ro, &r, TRUE);
            } else {
                Sleep(10);
            }
        }
        got += r;
    }
    DWORD wn = 0;
    bool wdone = wpending && WaitForSingleObject(wo.hEvent, 5000) == WAIT_OBJECT_0 &&
                 GetOverlappedResult(h, &wo, &wn, FALSE);
    report(wdone && wn == out.size(), "overlapped write of 8192 bytes", "wrote " + std::to_string(wn));
    report(got == in.size() && in == out, "overlapped reads bring the pattern back through the plug",
           "received " + std::to_string(got) + (got == in.size() && in != out ? ", damaged" : ""));

    // A pending read must be aborted by the purge (the program's stop relies on it).
    DWORD to_block[5] = {0, 0, 0, 0, 0};  // reads wait for their whole count
    simple(h, SET_TIMEOUTS, to_block, sizeof to_block);
    ResetEvent(ro.hEvent);
    DWORD r = 0;
    BOOL rok = ReadFile(h, in.data(), 1000, &r, &ro);
    if (!rok && GetLastError() == ERROR_IO_PENDING) {
        purge = 0x03;
        simple(h, PURGE, &purge, 4);
        bool ended = WaitForSingleObject(ro.hEvent, 1000) == WAIT_OBJECT_0;
        if (!ended) CancelIoEx(h, &ro);
        BOOL res = GetOverlappedResult(h, &ro, &r, TRUE);
        DWORD re = res ? 0 : GetLastError();
        report(ended && re == ERROR_OPERATION_ABORTED, "purge aborts a pending read (995)",
               ended ? err(re) : "the read stayed pending");
    } else {
        report(false, "purge aborts a pending read (995)", "the read did not pend");
    }

    // A wait on the error event must end, with success, when the mask is set to 0.
    DWORD mask = 0x80, got_mask = 0xFFFF;
    simple(h, SET_WAIT_MASK, &mask, 4);
    OVERLAPPED mo{};
    mo.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL mok = DeviceIoControl(h, WAIT_ON_MASK, nullptr, 0, &got_mask, 4, &n, &mo);
    if (!mok && GetLastError() == ERROR_IO_PENDING) {
        DWORD zero = 0;
        simple(h, SET_WAIT_MASK, &zero, 4);
        bool ended = WaitForSingleObject(mo.hEvent, 1000) == WAIT_OBJECT_0;
        if (!ended) CancelIoEx(h, &mo);
        BOOL res = GetOverlappedResult(h, &mo, &n, TRUE);
        DWORD me = res ? 0 : GetLastError();
        report(ended && res && got_mask == 0, "a new wait mask ends a pending wait with success and mask 0",
               ended ? (res ? "mask " + std::to_string(got_mask) : err(me)) : "the wait stayed pending");
    } else {
        report(false, "a new wait mask ends a pending wait with success and mask 0", "the wait did not pend");
    }
    CloseHandle(mo.hEvent);
    CloseHandle(wo.hEvent);
    CloseHandle(ro.hEvent);
    report(CloseHandle(h) != FALSE, "close");
    std::printf("%d check%s failed\n", failures, failures == 1 ? "" : "s");
    return failures;
}
