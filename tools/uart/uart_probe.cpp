// zentrel-uart-probe: what the termios backend relies on from a real UART driver, checked inside the
// test guest, and the few root-only settings the guest's tests need.
//
//   facts PATH...              one line per fact and port; exit 1 when a fact does not hold
//   flood PATH BYTES           writes BYTES of the test pattern to the port (beside its owner), waiting
//                              for room; with the owner stopped, more than the tty's buffers hold
//   drain PATH...              reads and drops what the ports received until they stay quiet
//   baud-base PATH RATE        sets the UART's base rate (TIOCSSERIAL)
//   keep PATH... -- CMD...     gives the ports odd settings, closes them (the program refuses a port
//                              another process holds), runs CMD, then reopens them and says whether
//                              CMD left every port as it found it (the driver keeps a closed tty's
//                              settings; every open raises DTR and RTS); on a UART at an I/O port
//                              also what its line control register held while CMD ran (below)
//   dsr-hold PATH              DTR/DSR emulation of the backend in internal loopback: output is held
//                              while the input fills, and released once it is read
//   echo PATH...               a loopback plug on each port (the gadget ends of ACM ports): writes
//                              everything back, reading no more while 64 KiB wait to go back, so that
//                              the far end sees its output held rather than vanished; runs until killed
//   close-time PATH            fills the port's output through the backend where nothing drains it,
//                              then times the close; exit 1 when it took a second or more, or when the
//                              driver's closing wait was not put back
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial/serial.h"
#include "platform/serial/termios/termios_backend.h"

namespace {

constexpr int tiocm_loop = 0x8000;
int failures = 0;

void fact(const char* port, const char* name, bool ok, const std::string& detail) {
    std::printf("probe %s %s %s %s\n", port, name, ok ? "ok" : "FAIL", detail.c_str());
    if (!ok) ++failures;
}

int open_port(const char* path) {
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) std::printf("probe %s open FAIL %s\n", path, std::strerror(errno));
    return fd;
}

void on_alarm(int) {}

// TIOCMIWAIT with a time limit: true when it woke for a line change.
bool modem_wait(int fd, unsigned ms) {
    struct sigaction sa {};
    sa.sa_handler = on_alarm;  // no SA_RESTART: the alarm interrupts the wait
    sigaction(SIGALRM, &sa, nullptr);
    itimerval t{{0, 0}, {static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000}};
    setitimer(ITIMER_REAL, &t, nullptr);
    int r = ::ioctl(fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD);
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    return r == 0;
}

void facts(const char* path) {
    int fd = open_port(path);
    if (fd < 0) {
        ++failures;
        return;
    }
    serial_struct ss{};
    bool got = ::ioctl(fd, TIOCGSERIAL, &ss) == 0;
    fact(path, "uart", got && ss.type == PORT_16550A,
         got ? "type=" + std::to_string(ss.type) + " baud_base=" + std::to_string(ss.baud_base)
             : std::string("no TIOCGSERIAL"));
    serial_icounter_struct ic{};
    fact(path, "icount", ::ioctl(fd, TIOCGICOUNT, &ic) == 0, "buf_overrun=" + std::to_string(ic.buf_overrun));

    // The loop bit is kept, and RTS comes back as CTS, DTR as DSR.
    int lines = 0, bit = tiocm_loop | TIOCM_RTS | TIOCM_DTR;
    ::ioctl(fd, TIOCMBIS, &bit);
    ::ioctl(fd, TIOCMGET, &lines);
    fact(path, "loop-bit", lines & tiocm_loop, "lines=" + std::to_string(lines));
    fact(path, "loop-lines-on", (lines & TIOCM_CTS) && (lines & TIOCM_DSR), "lines=" + std::to_string(lines));
    bit = TIOCM_RTS | TIOCM_DTR;
    ::ioctl(fd, TIOCMBIC, &bit);
    ::ioctl(fd, TIOCMGET, &lines);
    fact(path, "loop-lines-off", !(lines & TIOCM_CTS) && !(lines & TIOCM_DSR),
         "lines=" + std::to_string(lines));

    // A line change in loop mode: does TIOCMIWAIT wake? The backend must not depend on it.
    std::thread flip([fd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        int b = TIOCM_RTS | TIOCM_DTR;
        ::ioctl(fd, TIOCMBIS, &b);
    });
    bool woke = modem_wait(fd, 400);
    flip.join();
    std::printf("probe %s tiocmiwait-in-loop %s\n", path, woke ? "wakes" : "never-wakes");

    // A rate above the base rate: the call succeeds and the driver keeps another rate.
    termios2 t{};
    ::ioctl(fd, TCGETS2, &t);
    termios2 saved = t;
    t.c_cflag = (t.c_cflag & ~CBAUD) | BOTHER;
    t.c_ispeed = t.c_ospeed = 921600;
    int r = ::ioctl(fd, TCSETS2, &t);
    termios2 back{};
    ::ioctl(fd, TCGETS2, &back);
    bool above = ss.baud_base < 921600;
    fact(path, "rate-above-base", !above || back.c_ospeed != 921600,
         "set=" + std::to_string(r) + " read-back=" + std::to_string(back.c_ospeed));
    ::ioctl(fd, TCSETS2, &saved);
    bit = tiocm_loop;
    ::ioctl(fd, TIOCMBIC, &bit);
    ::close(fd);
}

int flood(const char* path, long bytes) {
    int fd = ::open(path, O_RDWR | O_NOCTTY);
    if (fd < 0) return 1;
    std::vector<uint8_t> pattern(4096);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(32 + i % 64);
    for (long left = bytes; left > 0;) {
        ssize_t n = ::write(fd, pattern.data(), static_cast<size_t>(std::min<long>(left, 4096)));
        if (n <= 0) break;
        left -= n;
    }
    ::close(fd);
    return 0;
}

// Raw bytes both ways, no echo of the tty's own.
void make_raw(int fd) {
    termios2 t{};
    ::ioctl(fd, TCGETS2, &t);
    t.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
    t.c_iflag &= ~(IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK);
    t.c_oflag &= ~OPOST;
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::ioctl(fd, TCSETS2, &t);
}

int echo(const std::vector<const char*>& paths) {
    std::vector<pollfd> fds;
    for (const char* path : paths) {
        int fd = open_port(path);
        if (fd < 0) return 1;
        make_raw(fd);
        fds.push_back({fd, POLLIN, 0});
    }
    std::vector<std::vector<uint8_t>> backlog(fds.size());
    std::vector<size_t> head(fds.size());
    std::printf("probe echo ready %zu\n", fds.size());
    std::vector<uint8_t> buf(16384);
    const size_t held = 65536;
    for (;;) {
        for (size_t i = 0; i < fds.size(); ++i)
            fds[i].events = static_cast<short>((backlog[i].size() - head[i] < held ? POLLIN : 0) |
                                               (backlog[i].size() > head[i] ? POLLOUT : 0));
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return 1;
        for (size_t i = 0; i < fds.size(); ++i) {
            auto& b = backlog[i];
            for (ssize_t n; b.size() - head[i] < held && (n = ::read(fds[i].fd, buf.data(), buf.size())) > 0;)
                b.insert(b.end(), buf.data(), buf.data() + n);
            while (b.size() > head[i]) {
                ssize_t n = ::write(fds[i].fd, b.data() + head[i], b.size() - head[i]);
                if (n <= 0) break;
                head[i] += static_cast<size_t>(n);
            }
            if (head[i] == b.size() || head[i] > held) {
                b.erase(b.begin(), b.begin() + static_cast<long>(head[i]));
                head[i] = 0;
            }
        }
    }
}

// The driver's closing wait in hundredths of a second (65535: none), or -1 without one.
int closing_wait(const char* path) {
    int fd = open_port(path);
    if (fd < 0) return -1;
    serial_struct ss{};
    int r = ::ioctl(fd, TIOCGSERIAL, &ss) == 0 ? ss.closing_wait : -1;
    ::close(fd);
    return r;
}

int close_time(const char* path) {
    using namespace ser;
    int before = closing_wait(path);
    termios_backend_install();
    handle h = create_file(path);
    if (h == invalid_handle_value) {
        std::printf("probe %s close FAIL open %u\n", path, kern::last_error());
        return 1;
    }
    // Write until a write stays pending: the driver holds all it will take.
    std::vector<uint8_t> chunk(16384, 'C');
    overlapped ov{0, 0, kern::create_event(false, false)};
    uint64_t taken = 0;
    bool pending = false;
    for (int i = 0; i < 200 && !pending; ++i) {
        uint32_t n = 0;
        if (write_file(h, chunk.data(), static_cast<uint32_t>(chunk.size()), &n, &ov)) {
            kern::reset_event(ov.hEvent);
            taken += n;
        } else if (kern::last_error() == kern::err::io_pending) {
            pending = kern::wait_event(ov.hEvent, 500) != kern::wait_object_0;
            if (!pending) get_overlapped_result(h, &ov, &n, false), taken += n;
        } else {
            break;
        }
    }
    SERIAL_STATUS s{};
    device_io_control(h, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s, nullptr, nullptr);
    auto t0 = std::chrono::steady_clock::now();
    close_handle(h);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    kern::close_event(ov.hEvent);
    int after = closing_wait(path);
    bool ok = pending && ms < 1000 && after == before;
    std::printf(
        "probe %s close %s ms=%lld written=%llu out-queue=%u held=%d closing-wait before=%d after=%d\n", path,
        ok ? "ok" : "FAIL", static_cast<long long>(ms), static_cast<unsigned long long>(taken),
        s.AmountInOutQueue, pending, before, after);
    return ok ? 0 : 1;
}

// Wired lines keep bytes in flight between runs (in the host's sockets): they are read off here.
void drain(const std::vector<int>& fds) {
    std::vector<uint8_t> buf(4096);
    auto quiet_since = std::chrono::steady_clock::now();
    auto start = quiet_since;
    while (std::chrono::steady_clock::now() - quiet_since < std::chrono::milliseconds(300) &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
        bool any = false;
        for (int fd : fds)
            while (::read(fd, buf.data(), buf.size()) > 0) any = true;
        if (any) quiet_since = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int baud_base(const char* path, int rate) {
    int fd = open_port(path);
    if (fd < 0) return 1;
    serial_struct ss{};
    if (::ioctl(fd, TIOCGSERIAL, &ss) != 0) return 1;
    ss.baud_base = rate;
    int r = ::ioctl(fd, TIOCSSERIAL, &ss);
    std::printf("probe %s baud-base %d %s\n", path, rate, r == 0 ? "ok" : std::strerror(errno));
    ::close(fd);
    return r == 0 ? 0 : 1;
}

struct snapshot {
    termios2 t;
    int lines;
};

snapshot take(int fd) {
    snapshot s{};
    ::ioctl(fd, TCGETS2, &s.t);
    ::ioctl(fd, TIOCMGET, &s.lines);
    s.lines &= TIOCM_DTR | TIOCM_RTS | tiocm_loop;
    return s;
}

// The UART's line control register, read through /dev/port: reading it changes nothing in the UART
// (unlike the receive, interrupt and line status registers). -1 when it cannot be read.
int read_lcr(int devport, unsigned base) {
    uint8_t v = 0;
    return base && ::pread(devport, &v, 1, base + 3) == 1 ? v : -1;
}

// Only a UART at an I/O port of its own: a USB adapter's TIOCGSERIAL has no base, and below 0x100
// sit the PC's timers and DMA controllers, whose registers do change when read.
unsigned uart_base(int fd) {
    serial_struct ss{};
    return ::ioctl(fd, TIOCGSERIAL, &ss) == 0 && ss.type != PORT_UNKNOWN && ss.io_type == SERIAL_IO_PORT &&
                   ss.port >= 0x100
               ? ss.port
               : 0;
}

std::string hex(int v) {
    char b[8];
    std::snprintf(b, sizeof b, "%#04x", v);
    return v < 0 ? "none" : b;
}

// The character format the driver holds, in stty's words.
std::string format_words(const termios2& t) {
    static const char* sizes[] = {"cs5", "cs6", "cs7", "cs8"};
    auto flag = [&](tcflag_t f, const char* name) { return std::string(t.c_cflag & f ? " " : " -") + name; };
    return sizes[(t.c_cflag & CSIZE) / CS6] + flag(PARENB, "parenb") + flag(PARODD, "parodd") +
           flag(CMSPAR, "cmspar") + flag(CSTOPB, "cstopb");
}

// What a port's line control register showed while a command ran: each value it took in turn, and
// the one it held once another than the closed port's had stayed for half a second, with the termios
// the driver held then (read beside the command's own descriptor, which a second open leaves alone).
struct lcr_watch {
    const char* path;
    unsigned base;
    std::vector<int> seen{};
    int during = -1;
    std::string termios = "none";
    std::chrono::steady_clock::time_point since{};

    void sample(int devport) {
        int v = read_lcr(devport, base);
        auto now = std::chrono::steady_clock::now();
        if (seen.empty() || v != seen.back()) {
            seen.push_back(v);
            since = now;
        } else if (during < 0 && v >= 0 && v != seen.front() && now - since >= std::chrono::milliseconds(500)) {
            int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
            termios2 t{};
            if (fd >= 0 && ::ioctl(fd, TCGETS2, &t) == 0) termios = format_words(t);
            if (fd >= 0) ::close(fd);
            during = v;
        }
    }

    void print() const {
        std::string s;
        for (int v : seen) s += (s.empty() ? "" : ">") + hex(v);
        std::printf("probe %s lcr base=%#x seen=%s during=%s termios=%s\n", path, base, s.c_str(),
                    hex(during).c_str(), termios.c_str());
    }
};

int keep(const std::vector<const char*>& ports, char** cmd) {
    std::vector<int> fds;
    std::vector<snapshot> before;
    std::vector<lcr_watch> watch;
    int devport = ::open("/dev/port", O_RDONLY | O_CLOEXEC);
    for (size_t i = 0; i < ports.size(); ++i) {
        int fd = open_port(ports[i]);
        if (fd < 0) return 1;
        // Settings nobody would choose by chance: 19200 7E2 with Xon/Xoff. The lines stay as the open
        // left them, DTR and RTS on: every open raises both again, so no program can be asked to
        // give back other levels than that.
        termios2 t{};
        ::ioctl(fd, TCGETS2, &t);
        t.c_cflag = (t.c_cflag & ~(CBAUD | CSIZE | PARODD)) | BOTHER | CS7 | PARENB | CSTOPB;
        t.c_ispeed = t.c_ospeed = 19200;
        t.c_iflag |= IXON | IXOFF;
        ::ioctl(fd, TCSETS2, &t);
        before.push_back(take(fd));
        if (unsigned base = devport >= 0 ? uart_base(fd) : 0) watch.push_back({.path = ports[i], .base = base});
        ::close(fd);
    }
    for (auto& w : watch) w.sample(devport);  // as the closed port holds it
    pid_t pid = fork();
    if (pid == 0) {
        execv(cmd[0], cmd);
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, watch.empty() ? 0 : WNOHANG) == 0) {
        for (auto& w : watch) w.sample(devport);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (auto& w : watch) {
        w.sample(devport);  // the register the port was closed with
        w.print();
    }
    if (devport >= 0) ::close(devport);
    int rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    int bad = 0;
    for (size_t i = 0; i < ports.size(); ++i) {
        fds.push_back(open_port(ports[i]));
        if (fds[i] < 0) return 1;
        snapshot a = take(fds[i]);
        bool same_t = std::memcmp(&a.t, &before[i].t, sizeof a.t) == 0;
        bool same_l = a.lines == before[i].lines;
        std::printf("probe %s restored %s settings=%s lines=%#x/%#x\n", ports[i],
                    same_t && same_l ? "ok" : "FAIL", same_t ? "same" : "changed",
                    static_cast<unsigned>(before[i].lines), static_cast<unsigned>(a.lines));
        bad += !(same_t && same_l);
        ::close(fds[i]);
    }
    // The command's own exit code, so that its caller sees it; a port left changed is 99.
    return bad ? 99 : rc;
}

// The backend's DTR/DSR emulation against the real driver: in internal loopback DTR comes back as DSR,
// so when the input side fills, DTR drops and output must stop; reading the input raises DTR again
// and output resumes. The driver signals no line change in loop mode: only polling sees it.
int dsr_hold(const char* path) {
    using namespace ser;
    termios_backend_install();
    handle h = create_file(path);
    if (h == invalid_handle_value) {
        std::printf("probe %s dsr-hold FAIL open %u\n", path, kern::last_error());
        return 1;
    }
    uint32_t baud = 115200;
    device_io_control(h, IOCTL_SERIAL_SET_BAUD_RATE, &baud, 4, nullptr, 0, nullptr, nullptr);
    device_io_control(h, IOCTL_SET_INTERNAL_LOOPBACK, nullptr, 0, nullptr, 0, nullptr, nullptr);
    SERIAL_HANDFLOW hf{};
    device_io_control(h, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &hf, sizeof hf, nullptr, nullptr);
    hf.ControlHandShake = (hf.ControlHandShake & ~0x3Bu) | SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE;
    hf.FlowReplace = (hf.FlowReplace & ~0xC3u) | SERIAL_RTS_CONTROL;
    bool set = device_io_control(h, IOCTL_SERIAL_SET_HANDFLOW, &hf, sizeof hf, nullptr, 0, nullptr, nullptr);
    auto status = [&] {
        SERIAL_STATUS s{};
        device_io_control(h, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s, nullptr, nullptr);
        return s;
    };
    // Write without reading until the output stops moving.
    std::vector<uint8_t> chunk(4096, 'U');
    overlapped ov{0, 0, kern::create_event(false, false)};
    uint64_t sent = 0;
    bool held = false, pending = false;
    SERIAL_STATUS s{};
    for (int i = 0; i < 400 && !held; ++i) {
        uint32_t n = 0;
        if (!pending) {
            if (write_file(h, chunk.data(), static_cast<uint32_t>(chunk.size()), &n, &ov)) {
                kern::reset_event(ov.hEvent);  // completed at once: its signal is not wanted
                sent += n;
                continue;
            }
            if (kern::last_error() != kern::err::io_pending) break;
            pending = true;
        }
        if (kern::wait_event(ov.hEvent, 200) == kern::wait_object_0) {
            get_overlapped_result(h, &ov, &n, false);
            sent += n;
            pending = false;
            continue;
        }
        s = status();
        held = s.HoldReasons & SERIAL_TX_WAITING_FOR_DSR;
    }
    std::printf("probe %s dsr-hold %s handflow=%d sent=%llu in-queue=%u hold=%#x\n", path,
                held ? "ok" : "FAIL", set, static_cast<unsigned long long>(sent), s.AmountInInQueue,
                s.HoldReasons);
    // Reading the input raises DTR, DSR follows, and the held write completes.
    std::vector<uint8_t> buf(65536);
    SERIAL_TIMEOUTS to{MAXDWORD, 0, 0, 0, 0};
    device_io_control(h, IOCTL_SERIAL_SET_TIMEOUTS, &to, sizeof to, nullptr, 0, nullptr, nullptr);
    overlapped rov{0, 0, kern::create_event(false, false)};
    uint64_t got = 0;
    bool released = !pending;
    for (int i = 0; i < 300 && !released; ++i) {
        uint32_t n = 0;
        if (read_file(h, buf.data(), static_cast<uint32_t>(buf.size()), &n, &rov)) {
            kern::reset_event(rov.hEvent);
            got += n;
        }
        released = kern::wait_event(ov.hEvent, 10) == kern::wait_object_0;
    }
    std::printf("probe %s dsr-release %s read=%llu hold=%#x\n", path, held && released ? "ok" : "FAIL",
                static_cast<unsigned long long>(got), status().HoldReasons);
    close_handle(h);
    kern::close_event(ov.hEvent);
    kern::close_event(rov.hEvent);
    return held && released ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc >= 3 && !std::strcmp(argv[1], "facts")) {
        for (int i = 2; i < argc; ++i) facts(argv[i]);
        return failures ? 1 : 0;
    }
    if (argc == 4 && !std::strcmp(argv[1], "flood")) return flood(argv[2], std::atol(argv[3]));
    if (argc >= 3 && !std::strcmp(argv[1], "drain")) {
        std::vector<int> fds;
        for (int i = 2; i < argc; ++i) {
            int fd = open_port(argv[i]);
            if (fd < 0) continue;
            make_raw(fd);
            fds.push_back(fd);
        }
        drain(fds);
        for (int fd : fds) ::close(fd);
        return 0;
    }
    if (argc == 4 && !std::strcmp(argv[1], "baud-base")) return baud_base(argv[2], std::atoi(argv[3]));
    if (argc == 3 && !std::strcmp(argv[1], "dsr-hold")) return dsr_hold(argv[2]);
    if (argc >= 3 && !std::strcmp(argv[1], "echo")) return echo({argv + 2, argv + argc});
    if (argc == 3 && !std::strcmp(argv[1], "close-time")) return close_time(argv[2]);
    if (argc >= 5 && !std::strcmp(argv[1], "keep")) {
        std::vector<const char*> ports;
        int i = 2;
        for (; i < argc && std::strcmp(argv[i], "--"); ++i) ports.push_back(argv[i]);
        if (i + 1 < argc) return keep(ports, argv + i + 1);
    }
    std::fprintf(stderr,
                 "usage: zentrel-uart-probe facts|flood|drain|baud-base|keep|dsr-hold|echo|close-time ...\n");
    return 64;
}
