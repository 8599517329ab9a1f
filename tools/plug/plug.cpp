// The plug's wiring: one thread moving bytes between the masters of all its pseudo-terminals.
#include "plug.h"

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/serial/termios/tty_sys.h"

namespace zplug {
namespace {

// Pacing: credit is earned continuously and spent as bytes are taken from the sender. An idle line
// keeps at most a couple of milliseconds of it; a busy one may catch up on a late wake-up.
constexpr double idle_credit_s = 0.002;
constexpr double busy_credit_s = 0.1;
constexpr uint64_t rate_check_us = 20000;
constexpr size_t chunk = 65536;

uint64_t now_us() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

std::runtime_error failure(const std::string& what) {
    return std::runtime_error("zentrel-plug: " + what + ": " + std::strerror(errno));
}

struct counter {
    std::atomic<uint64_t> bytes{0}, corrupted{0}, dropped{0};
};

// Bytes until the next fault: geometric gaps give each byte the same probability.
struct fault_gen {
    double p = 0;
    uint64_t left = UINT64_MAX;
    void reset(std::mt19937_64& rng) {
        if (p <= 0) {
            left = UINT64_MAX;
        } else if (p >= 1) {
            left = 0;
        } else {
            left = std::geometric_distribution<uint64_t>(p)(rng);
        }
    }
};

}  // namespace

struct plug::impl {
    options opt;
    struct port {
        int number = 0;
        size_t index = 0;
        int master = -1, slave = -1;
        std::string pts, link;
        int peer = 0;  // index of the port its output goes to
        // The line out of this port, towards peer's input.
        // Read in packet mode: buf[0] takes the packet's header byte, the data follows.
        std::vector<uint8_t> buf;
        size_t head = 0, len = 0;
        double credit = 0, cps = 0;
        uint64_t last_us = 0, next_rate_check = 0;
        bool busy = false;
        fault_gen corrupt, drop, drop_block;
        uint32_t block_pos = 0;  // bytes into the current 64-byte block arriving at this port
        bool block_lost = false;
        counter n;  // of the bytes arriving at this port
        std::atomic<bool> unplug_req{false};
    };
    std::vector<std::unique_ptr<port>> ports;
    int stop_fd = -1;
    std::atomic<bool> stopping{false};
    std::atomic<uint64_t> settle_req{0}, settle_done{0};
    std::mt19937_64 rng;
    std::thread worker;

    ~impl() {
        for (auto& p : ports) {
            // Only our own links: another plug may have taken the name since.
            if (!p->link.empty()) {
                char target[256];
                ssize_t n = ::readlink(p->link.c_str(), target, sizeof target - 1);
                if (n > 0 && std::string(target, static_cast<size_t>(n)) == p->pts) ::unlink(p->link.c_str());
            }
            if (p->master >= 0) ::close(p->master);
            if (p->slave >= 0) ::close(p->slave);
        }
        if (stop_fd >= 0) ::close(stop_fd);
    }

    void make_port(int number) {
        auto p = std::make_unique<port>();
        p->number = number;
        p->index = ports.size();
        p->master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (p->master < 0) throw failure("posix_openpt");
        ports.push_back(std::move(p));
        port& q = *ports.back();
        char name[128];
        if (::grantpt(q.master) != 0 || ::unlockpt(q.master) != 0 ||
            ::ptsname_r(q.master, name, sizeof name) != 0)
            throw failure("pseudo-terminal set-up");
        q.pts = name;
        q.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (q.slave < 0) throw failure("open " + q.pts);
        if (int e = ttysys::make_raw(q.slave)) {
            errno = e;
            throw failure("raw mode on " + q.pts);
        }
        std::string link = opt.dir + "/ttyV" + std::to_string(number);
        struct stat st {};
        if (::lstat(link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                errno = EEXIST;
                throw failure(link + " is in the way");
            }
            ::unlink(link.c_str());  // a stale link of an earlier plug
        }
        if (::symlink(name, link.c_str()) != 0) throw failure("symlink " + link);
        q.link = link;
        // Packet mode tells us when the port flushes its queues, which is when it opens and closes.
        int on = 1;
        if (::ioctl(q.master, TIOCPKT, &on) != 0) throw failure("packet mode on " + q.pts);
        q.buf.resize(chunk + 1);
    }

    // A cable holds a few bits, not kilobytes: what the line holds goes when an end flushes. A port
    // that drops its output (it closes) takes with it what it wrote that the line has not carried yet,
    // here in our buffer and in the master's input; its output ends there, so nothing new is lost. A
    // port that drops its input (it opens or closes) loses what was on the way to it; the far end's
    // master input is left alone, as the far end may be writing a new run already.
    void on_status(port& p, uint8_t st) {
        if (st & TIOCPKT_FLUSHWRITE) {
            p.len = 0;
            ::tcflush(p.master, TCIFLUSH);
        }
        if (st & TIOCPKT_FLUSHREAD) {
            for (auto& q : ports)
                if (static_cast<size_t>(q->peer) == p.index) q->len = 0;
        }
    }

    // Takes a pending flush notice of port p, if any, without taking data: in packet mode a status
    // comes alone, and a one-byte read with only data waiting returns the data header and nothing else.
    void take_status(port& p) {
        uint8_t b;
        ssize_t n = ::read(p.master, &b, 1);
        if (n == 1 && b != TIOCPKT_DATA) on_status(p, b);
    }

    // Moves what it can along the line out of port p. Sets *timer when only time will let it go on.
    void pump(port& p, uint64_t now, bool* timer, std::vector<short>& events) {
        port& d = *ports[static_cast<size_t>(p.peer)];
        if (opt.paced) {
            if (now >= p.next_rate_check) {
                // A character takes start, data, parity and stop bits: 10 for 8N1, 10 for 7E1, 11 for 8N2.
                uint32_t baud = 0;
                ttysys::format f;
                if (ttysys::get_baud(p.master, &baud) == 0 && ttysys::get_format(p.master, &f) == 0)
                    p.cps = baud / static_cast<double>(ttysys::char_bits(f));
                p.next_rate_check = now + rate_check_us;
            }
            p.credit += static_cast<double>(now - p.last_us) * p.cps / 1e6;
            p.credit = std::min(p.credit, std::max(1.0, p.cps * (p.busy ? busy_credit_s : idle_credit_s)));
        }
        p.last_us = now;
        for (;;) {
            if (p.len) {
                if (d.master < 0) {
                    p.len = 0;  // nobody at the far end: the bytes vanish
                } else {
                    ssize_t n = ::write(d.master, p.buf.data() + p.head, p.len);
                    if (n > 0) {
                        p.head += static_cast<size_t>(n);
                        p.len -= static_cast<size_t>(n);
                        d.n.bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
                        continue;
                    }
                    if (n < 0 && errno == EINTR) continue;
                    if (n < 0 && errno == EAGAIN) {
                        events[static_cast<size_t>(p.peer)] |= POLLOUT;
                        return;
                    }
                    p.len = 0;
                }
            }
            p.head = 1;
            size_t room = chunk;
            if (opt.paced) room = std::min(room, static_cast<size_t>(p.credit));
            if (room == 0) {
                *timer = true;
                return;
            }
            ssize_t n = ::read(p.master, p.buf.data(), room + 1);
            if (n > 0 && p.buf[0] != TIOCPKT_DATA) {
                on_status(p, p.buf[0]);
                continue;
            }
            if (n > 1) {
                size_t got = static_cast<size_t>(n) - 1;
                if (opt.paced) p.credit -= static_cast<double>(got);
                p.busy = got == room;
                p.len = inject(d, got, p.buf.data() + 1);
                continue;
            }
            if (n == 1) n = -1, errno = EAGAIN;
            if (n < 0 && errno == EINTR) continue;
            // EAGAIN: the line is idle. EIO: no slave is open (cannot happen while we hold one).
            p.busy = false;
            if (n < 0 && errno == EAGAIN) events[p.index] |= POLLIN;
            return;
        }
    }

    // Faults on the way to port d: returns the length left after drops.
    size_t inject(port& d, size_t n, uint8_t* b) {
        if (opt.corrupt <= 0 && opt.drop <= 0 && opt.drop_block <= 0) return n;
        for (size_t i = 0; i < n; i++) {
            if (d.corrupt.left == 0) {
                b[i] ^= 0x80;  // never turns 7-bit data into a flow-control character
                d.n.corrupted.fetch_add(1, std::memory_order_relaxed);
                d.corrupt.reset(rng);
            } else if (d.corrupt.left != UINT64_MAX) {
                d.corrupt.left--;
            }
        }
        size_t k = 0;
        for (size_t i = 0; i < n; i++) {
            if (d.drop.left == 0) {
                d.n.dropped.fetch_add(1, std::memory_order_relaxed);
                d.drop.reset(rng);
                continue;
            }
            if (d.drop.left != UINT64_MAX) d.drop.left--;
            b[k++] = b[i];
        }
        if (opt.drop_block <= 0) return k;
        // Whole blocks, as a lost USB packet or tty buffer: the pattern's 64-byte cycle hides them.
        n = k;
        k = 0;
        for (size_t i = 0; i < n; i++) {
            if (d.block_pos == 0) {
                d.block_lost = d.drop_block.left == 0;
                if (d.block_lost)
                    d.drop_block.reset(rng);
                else
                    d.drop_block.left--;
            }
            d.block_pos = (d.block_pos + 1) % 64;
            if (d.block_lost) {
                d.n.dropped.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            b[k++] = b[i];
        }
        return k;
    }

    void pull_out(port& p) {
        if (p.master >= 0) ::close(p.master);
        if (p.slave >= 0) ::close(p.slave);
        p.master = p.slave = -1;
        p.len = 0;
    }

    void run() {
        std::vector<pollfd> fds(ports.size() + 1);
        std::vector<short> events(ports.size());
        uint64_t start = now_us();
        for (auto& p : ports) p->last_us = start;
        while (!stopping.load(std::memory_order_relaxed)) {
            uint64_t req = settle_req.load(std::memory_order_acquire);
            uint64_t now = now_us();
            bool timer = false;
            std::fill(events.begin(), events.end(), 0);
            for (auto& p : ports) {
                if (p->unplug_req.load(std::memory_order_acquire)) {
                    pull_out(*p);
                    p->unplug_req.store(false, std::memory_order_release);
                }
                if (p->master >= 0) pump(*p, now, &timer, events);
            }
            fds[0] = {stop_fd, POLLIN, 0};
            // POLLPRI on every master: a flush notice wakes us even while its line waits for time or room.
            for (size_t i = 0; i < ports.size(); i++)
                fds[i + 1] = {ports[i]->master, static_cast<short>(events[i] | POLLPRI), 0};
            // A settle() waiting for this pass must not wait for traffic as well.
            bool settling = req != settle_done.load(std::memory_order_relaxed);
            int r = ::poll(fds.data(), fds.size(), settling ? 0 : timer ? 1 : -1);
            if (r > 0 && (fds[0].revents & POLLIN)) {
                uint64_t v;
                [[maybe_unused]] ssize_t n = ::read(stop_fd, &v, sizeof v);
            }
            // Notices first, so that nothing a port has flushed is carried after the flush.
            for (size_t i = 0; r > 0 && i < ports.size(); i++)
                if (fds[i + 1].revents & POLLPRI) take_status(*ports[i]);
            settle_done.store(req, std::memory_order_release);
        }
    }
};

plug::plug(const options& o) : impl_(std::make_unique<impl>()) {
    impl_->opt = o;
    if (o.dir.empty()) throw std::runtime_error("zentrel-plug: no directory given");
    if (o.count < 1 || o.count > 256) throw std::runtime_error("zentrel-plug: count must be 1 to 256");
    if (o.null_modem && o.count % 2)
        throw std::runtime_error("zentrel-plug: null-modem pairs need an even count");
    if (!(o.corrupt >= 0 && o.corrupt <= 1) || !(o.drop >= 0 && o.drop <= 1) ||
        !(o.drop_block >= 0 && o.drop_block <= 1))
        throw std::runtime_error("zentrel-plug: fault rates are probabilities between 0 and 1");
    if (::mkdir(o.dir.c_str(), 0755) != 0 && errno != EEXIST) throw failure("mkdir " + o.dir);
    impl_->stop_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (impl_->stop_fd < 0) throw failure("eventfd");
    impl_->rng.seed(o.seed);
    for (int i = 0; i < o.count; i++) impl_->make_port(o.first + i);
    for (int i = 0; i < o.count; i++) {
        auto& p = *impl_->ports[static_cast<size_t>(i)];
        p.peer = o.null_modem ? (i ^ 1) : i;
        p.corrupt.p = o.corrupt;
        p.drop.p = o.drop;
        p.drop_block.p = o.drop_block;
        p.corrupt.reset(impl_->rng);
        p.drop.reset(impl_->rng);
        p.drop_block.reset(impl_->rng);
    }
}

plug::~plug() {
    stop();
    if (impl_->worker.joinable()) impl_->worker.join();
}

void plug::start() {
    impl_->worker = std::thread([this] { impl_->run(); });
}

void plug::run() {
    impl_->run();
}

void plug::stop() {
    impl_->stopping.store(true, std::memory_order_relaxed);
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(impl_->stop_fd, &one, sizeof one);
}

std::string plug::link(int port_number) const {
    return impl_->opt.dir + "/ttyV" + std::to_string(port_number);
}

std::string plug::ready_line() const {
    const options& o = impl_->opt;
    return "ready: " + link(o.first) + ".." + link(o.first + o.count - 1);
}

port_counts plug::counts(int port_number) const {
    port_counts c;
    for (auto& p : impl_->ports)
        if (p->number == port_number) {
            c.bytes = p->n.bytes.load(std::memory_order_relaxed);
            c.corrupted = p->n.corrupted.load(std::memory_order_relaxed);
            c.dropped = p->n.dropped.load(std::memory_order_relaxed);
        }
    return c;
}

uint32_t plug::line_cflag(int port_number) const {
    for (auto& p : impl_->ports) {
        struct termios t {};
        if (p->number == port_number && p->slave >= 0 && ::tcgetattr(p->slave, &t) == 0)
            return static_cast<uint32_t>(t.c_cflag);
    }
    return 0;
}

port_counts plug::totals() const {
    port_counts t;
    for (auto& p : impl_->ports) {
        port_counts c = counts(p->number);
        t.bytes += c.bytes;
        t.corrupted += c.corrupted;
        t.dropped += c.dropped;
    }
    return t;
}

void plug::settle() {
    uint64_t req = impl_->settle_req.fetch_add(1, std::memory_order_acq_rel) + 1;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(impl_->stop_fd, &one, sizeof one);
    while (impl_->settle_done.load(std::memory_order_acquire) < req)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void plug::unplug(int port_number) {
    for (auto& p : impl_->ports)
        if (p->number == port_number) {
            p->unplug_req.store(true, std::memory_order_release);
            uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(impl_->stop_fd, &one, sizeof one);
            while (p->unplug_req.load(std::memory_order_acquire))
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
}

bool parse_rate(const char* text, double* rate) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (errno || *end || !(v >= 0 && v <= 1)) return false;
    *rate = v;
    return true;
}

namespace {

bool parse_int(const char* s, long lo, long hi, int* out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (!*s || *end || errno || v < lo || v > hi) return false;
    *out = static_cast<int>(v);
    return true;
}

// Decimal digits only: strtoull alone takes a sign, blanks and trailing junk.
bool parse_seed(const char* s, uint64_t* out) {
    if (*s < '0' || *s > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s, &end, 10);
    if (*end || errno) return false;
    *out = v;
    return true;
}

}  // namespace

args_result parse_args(int argc, char** argv, options* o, std::string* error) {
    const option longs[] = {
        {"dir", required_argument, nullptr, 'd'},   {"count", required_argument, nullptr, 'n'},
        {"first", required_argument, nullptr, 'f'}, {"null-modem", no_argument, nullptr, 'm'},
        {"unpaced", no_argument, nullptr, 'u'},     {"corrupt", required_argument, nullptr, 'c'},
        {"drop", required_argument, nullptr, 'r'},  {"seed", required_argument, nullptr, 's'},
        {"drop-block", required_argument, nullptr, 'b'},
        {"help", no_argument, nullptr, 'h'},        {nullptr, 0, nullptr, 0}};
    error->clear();
    optind = 0;  // a full restart of getopt's scan
    int c;
    while ((c = getopt_long(argc, argv, "", longs, nullptr)) != -1) {
        bool ok = true;
        switch (c) {
            case 'd':
                o->dir = optarg;
                break;
            case 'n':
                ok = parse_int(optarg, 1, 256, &o->count);
                break;
            case 'f':
                ok = parse_int(optarg, 0, 1000000, &o->first);
                break;
            case 'm':
                o->null_modem = true;
                break;
            case 'u':
                o->paced = false;
                break;
            case 'c':
                ok = parse_rate(optarg, &o->corrupt);
                break;
            case 'r':
                ok = parse_rate(optarg, &o->drop);
                break;
            case 'b':
                ok = parse_rate(optarg, &o->drop_block);
                break;
            case 's':
                ok = parse_seed(optarg, &o->seed);
                break;
            case 'h':
                return args_help;
            default:
                return args_invalid;
        }
        if (!ok) {
            *error = std::string("invalid value: ") + optarg;
            return args_invalid;
        }
    }
    if (optind < argc || o->dir.empty()) return args_invalid;
    return args_ok;
}

}  // namespace zplug
