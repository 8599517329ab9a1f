// zentrel-probe.exe: qualifies a COM port and its driver for Zentrel. With a loopback plug on the
// port (TX to RX, RTS to CTS, DTR to DSR) it issues every request the program uses and reports each
// as PASS or FAIL, so a board or adapter can be judged without reading code.
//   zentrel-probe COMn [BAUD]          exit code: the number of failed checks (64: bad usage)
// It talks to the driver directly (no Zentrel layer in between): what it reports is the driver's.
// It checks the settings the program itself sets, and puts back what the port had when it ends.
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
constexpr DWORD SET_BAUD = ctl(1), SET_LINE = ctl(3), SET_TIMEOUTS = ctl(7), GET_TIMEOUTS = ctl(8),
                SET_WAIT_MASK = ctl(17), WAIT_ON_MASK = ctl(18), PURGE = ctl(19), GET_BAUD = ctl(20),
                GET_LINE = ctl(21), GET_CHARS = ctl(22), SET_CHARS = ctl(23), GET_HANDFLOW = ctl(24),
                SET_HANDFLOW = ctl(25), GET_STATUS = ctl(27), GET_STATS = ctl(35);

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

// The port's settings as the probe found them, put back at the end.
struct settings {
    bool baud, line, chars, handflow, timeouts;
    DWORD b;
    BYTE l[3], c[6];
    DWORD hf[4], to[5];
};
settings save(HANDLE h) {
    settings s{};
    DWORD n = 0;
    s.baud = simple(h, GET_BAUD, nullptr, 0, &s.b, 4, &n) && n == 4;
    s.line = simple(h, GET_LINE, nullptr, 0, s.l, 3, &n) && n == 3;
    s.chars = simple(h, GET_CHARS, nullptr, 0, s.c, 6, &n) && n == 6;
    s.handflow = simple(h, GET_HANDFLOW, nullptr, 0, s.hf, 16, &n) && n == 16;
    s.timeouts = simple(h, GET_TIMEOUTS, nullptr, 0, s.to, 20, &n) && n == 20;
    return s;
}
void restore(HANDLE h, settings& s) {
    if (s.timeouts) simple(h, SET_TIMEOUTS, s.to, 20);
    if (s.handflow) simple(h, SET_HANDFLOW, s.hf, 16);
    if (s.chars) simple(h, SET_CHARS, s.c, 6);
    if (s.line) simple(h, SET_LINE, s.l, 3);
    if (s.baud) simple(h, SET_BAUD, &s.b, 4);
}

int usage(FILE* to, int code) {
    std::fprintf(to, "usage: zentrel-probe COMn [BAUD]   (a loopback plug on the port; BAUD 1 to 4000000)\n");
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 &&
        (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "/?")))
        return usage(stdout, 0);
    if (argc < 2 || argc > 3 || argv[1][0] == '-') return usage(stderr, 64);
    std::string path = std::strncmp(argv[1], "\\\\.\\", 4) == 0 ? argv[1] : std::string("\\\\.\\") + argv[1];
    DWORD baud = 115200;
    if (argc > 2) {
        char* end = nullptr;
        unsigned long v = std::strtoul(argv[2], &end, 10);
        if (!*argv[2] || *end || argv[2][0] == '-' || v == 0 || v > 4000000) return usage(stderr, 64);
        baud = static_cast<DWORD>(v);
    }
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

    settings found = save(h);
    DWORD e = 0, n = 0;
    bool ok = simple(h, SET_BAUD, &baud, 4, nullptr, 0, nullptr, &e);
    report(ok, "set baud rate", e ? err(e) : "");
    // The line format and characters the program sets at open, each read back.
    BYTE line[3] = {0, 0, 8}, line_back[3] = {};  // 1 stop bit, no parity, 8 data bits
    ok = simple(h, SET_LINE, line, 3, nullptr, 0, nullptr, &e) &&
         simple(h, GET_LINE, nullptr, 0, line_back, 3, &n, &e) && std::memcmp(line, line_back, 3) == 0;
    report(ok, "8 data bits, no parity, 1 stop bit, read back", e ? err(e) : "");
    BYTE chars[6] = {}, chars_back[6] = {};
    if (found.chars) std::memcpy(chars, found.c, 6);
    chars[1] = chars[2] = chars[3] = 0;
    chars[4] = 0x11, chars[5] = 0x13;
    ok = simple(h, SET_CHARS, chars, 6, nullptr, 0, nullptr, &e) &&
         simple(h, GET_CHARS, nullptr, 0, chars_back, 6, &n, &e) && chars_back[4] == 0x11 &&
         chars_back[5] == 0x13;
    report(ok, "Xon/Xoff characters, read back", e ? err(e) : "");
    ok = found.handflow;
    report(ok, "get handflow (16 bytes)");
    // DTR and RTS on, no handshake, no abort on error, no DSR sensitivity, nothing stripped or replaced,
    // the limits of a 4 KiB input queue: what the program sets at open.
    DWORD hf[4] = {0x01, 0x40, 2048, 512}, hf_back[4] = {};
    ok = simple(h, SET_HANDFLOW, hf, sizeof hf, nullptr, 0, nullptr, &e) &&
         simple(h, GET_HANDFLOW, nullptr, 0, hf_back, 16, &n, &e) && (hf_back[0] & 0x8000007Eu) == 0 &&
         (hf_back[1] & 0x800000BFu) == 0;
    report(ok, "handflow without handshake or abort on error, read back", e ? err(e) : "");
    // The receive time-outs the program uses: a read returns what is there, else waits up to 30 ms
    // for the first byte. With nothing arriving it must last about that long, not return at once.
    DWORD to[5] = {MAXDWORD, MAXDWORD, 30, 0, 0};
    ok = simple(h, SET_TIMEOUTS, to, sizeof to, nullptr, 0, nullptr, &e);
    report(ok, "set timeouts (MAXDWORD/MAXDWORD/30)", e ? err(e) : "");
    DWORD purge_rx = 0x0A;
    simple(h, PURGE, &purge_rx, 4);
    {
        OVERLAPPED eo{};
        eo.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        BYTE b[64];
        DWORD got_bytes = 0;
        LARGE_INTEGER f, t0, t1;
        QueryPerformanceFrequency(&f);
        QueryPerformanceCounter(&t0);
        bool stuck = false;
        for (int reads = 0; reads < 5 && !got_bytes && !stuck; reads++) {
            if (!ReadFile(h, b, sizeof b, &got_bytes, &eo) && GetLastError() == ERROR_IO_PENDING) {
                stuck = WaitForSingleObject(eo.hEvent, 500) != WAIT_OBJECT_0;
                if (stuck) CancelIoEx(h, &eo);
                GetOverlappedResult(h, &eo, &got_bytes, TRUE);
            }
        }
        QueryPerformanceCounter(&t1);
        double ms = static_cast<double>(t1.QuadPart - t0.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
        CloseHandle(eo.hEvent);
        report(got_bytes == 0 && !stuck && ms >= 5 * 10, "an empty read lasts its time-out (5 reads, 150 ms)",
               got_bytes ? "bytes arrived"
               : stuck   ? "a read waited for a byte past its time-out"
                         : std::to_string(static_cast<int>(ms)) + " ms");
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
    restore(h, found);
    report(CloseHandle(h) != FALSE, "close");
    std::printf("%d check%s failed\n", failures, failures == 1 ? "" : "s");
    return failures;
}
