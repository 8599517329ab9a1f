// The Linux serial backend's contract, on pseudo-terminals: the test holds the master end and plays
// the far side of the line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial/backend.h"
#include "platform/serial/termios/termios_backend.h"
#include "platform/serial/termios/tty_claim.h"
#include "platform/serial/termios/tty_sys.h"
#include "wait_until.h"

// Drivers' answers the ptys cannot give, injected here: every ioctl of this program goes through this one.
namespace {
struct fake_driver {
    std::atomic<int> outq{-1};        // TIOCOUTQ says this when not negative
    std::atomic<bool> serial{false};  // TIOCGSERIAL/TIOCSSERIAL as a USB driver has them
    std::mutex m;
    uint16_t closing_wait = 3000;
    std::vector<uint16_t> set_waits;  // every closing wait TIOCSSERIAL was given, in order
} fake;
}  // namespace

extern "C" int ioctl(int fd, unsigned long req, ...) noexcept {
    va_list ap;
    va_start(ap, req);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (req == TIOCOUTQ && fake.outq >= 0) {
        *static_cast<int*>(arg) = fake.outq;
        return 0;
    }
    if ((req == TIOCGSERIAL || req == TIOCSSERIAL) && fake.serial) {
        std::lock_guard lk(fake.m);
        auto* ss = static_cast<serial_struct*>(arg);
        if (req == TIOCGSERIAL) {
            *ss = serial_struct{};
            ss->closing_wait = fake.closing_wait;
        } else {
            fake.set_waits.push_back(ss->closing_wait);
            fake.closing_wait = ss->closing_wait;
            // The close that follows ends the transfers in flight.
            if (ss->closing_wait == ASYNC_CLOSING_WAIT_NONE) fake.outq = 0;
        }
        return 0;
    }
    return static_cast<int>(::syscall(SYS_ioctl, fd, req, arg));
}

namespace {

using ser::MAXDWORD;

// An overlapped record with its own manual-reset event.
struct async_req {
    ser::overlapped o{};
    async_req() { o.hEvent = kern::create_event(true, false); }
    ~async_req() { kern::close_event(o.hEvent); }
    async_req(const async_req&) = delete;
    bool wait(uint32_t ms = 5000) { return kern::wait_event(o.hEvent, ms) == kern::wait_object_0; }
    bool pending() const {
        return std::atomic_ref<const uint32_t>(o.internal).load() == kern::err::io_pending;
    }
    uint32_t status() const { return std::atomic_ref<const uint32_t>(o.internal).load(); }
    uint32_t bytes() const { return std::atomic_ref<const uint32_t>(o.internal_high).load(); }
};

bool ioctl_u32(ser::handle h, uint32_t code, uint32_t v) {
    uint32_t ret = 0;
    return ser::device_io_control(h, code, &v, sizeof v, nullptr, 0, &ret, nullptr);
}

bool set_timeouts(ser::handle h, uint32_t interval, uint32_t mult, uint32_t constant) {
    ser::SERIAL_TIMEOUTS to{interval, mult, constant, 0, 0};
    uint32_t ret = 0;
    return ser::device_io_control(h, ser::IOCTL_SERIAL_SET_TIMEOUTS, &to, sizeof to, nullptr, 0, &ret,
                                  nullptr);
}

ser::SERIAL_STATUS status_of(ser::handle h) {
    ser::SERIAL_STATUS s{};
    uint32_t ret = 0;
    EXPECT_TRUE(
        ser::device_io_control(h, ser::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s, &ret, nullptr));
    EXPECT_EQ(ret, 20u);
    return s;
}

ser::SERIAL_HANDFLOW handflow_of(ser::handle h) {
    ser::SERIAL_HANDFLOW hf{};
    uint32_t ret = 0;
    EXPECT_TRUE(
        ser::device_io_control(h, ser::IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &hf, sizeof hf, &ret, nullptr));
    return hf;
}

bool set_handflow(ser::handle h, ser::SERIAL_HANDFLOW hf) {
    uint32_t ret = 0;
    return ser::device_io_control(h, ser::IOCTL_SERIAL_SET_HANDFLOW, &hf, sizeof hf, nullptr, 0, &ret,
                                  nullptr);
}

uint64_t elapsed_ms(uint64_t since_us) {
    return (kern::now_us() - since_us) / 1000;
}

class TermiosPort : public ::testing::Test {
  protected:
    void SetUp() override {
        ser::termios_backend_install();
        kern::clock_config(1.0, 0);
        threads0_ = kern::live_threads();
        events0_ = kern::live_events();
        char name[128];
        ASSERT_EQ(::openpty(&master_, &held_, name, nullptr, nullptr), 0);
        pts_ = name;
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        char tmpl[] = "/tmp/zt-termios-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/ttyT0";
        ASSERT_EQ(::symlink(name, path_.c_str()), 0);
        // Lock files go to the test's own directory, not the machine's.
        roots_.lock = dir_;
        ser::termios_set_roots(roots_);
    }

    void TearDown() override {
        for (ser::handle h : handles_) ser::close_handle(h);
        ser::termios_set_roots({});
        ser::termios_allow_console(false);
        EXPECT_EQ(ser::open_handles(), 0);
        EXPECT_TRUE(wait_until([&] { return kern::live_threads() == threads0_; }));
        EXPECT_EQ(kern::live_events(), events0_);
        if (master_ >= 0) ::close(master_);
        ::close(held_);
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }

    ser::handle open_port() {
        ser::handle h = ser::create_file(path_.c_str());
        EXPECT_NE(h, ser::invalid_handle_value) << "error " << kern::last_error() << ": " << ser::open_detail();
        if (h != ser::invalid_handle_value) handles_.push_back(h);
        return h;
    }

    void close_port(ser::handle h) {
        EXPECT_TRUE(ser::close_handle(h));
        std::erase(handles_, h);
    }

    ser::termios_port_stats stats() {
        ser::termios_port_stats s;
        EXPECT_TRUE(ser::termios_stats(path_.c_str(), &s));
        return s;
    }

    void far_send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Everything the port sent, read until the line has been quiet for quiet_ms.
    std::vector<uint8_t> far_receive(int quiet_ms = 150) {
        std::vector<uint8_t> got;
        uint8_t buf[4096];
        for (;;) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, quiet_ms) <= 0) return got;
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) return got;
            got.insert(got.end(), buf, buf + n);
        }
    }

    int master_ = -1, held_ = -1;
    std::string pts_, dir_, path_;
    ser::list_roots roots_;
    std::vector<ser::handle> handles_;
    int threads0_ = 0, events0_ = 0;
};

std::vector<uint8_t> every_byte_value() {
    std::vector<uint8_t> v(256);
    for (int i = 0; i < 256; i++) v[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    return v;
}

std::string read_text(const std::string& file) {
    std::string s;
    if (FILE* f = std::fopen(file.c_str(), "r")) {
        char buf[64];
        size_t n = std::fread(buf, 1, sizeof buf, f);
        s.assign(buf, n);
        std::fclose(f);
    }
    return s;
}

void write_text(const std::string& file, const std::string& text) {
    FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr) << file;
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

// A child process that opens `path` (and sets TIOCEXCL on it when asked), then waits to be killed.
pid_t holder(const std::string& path, int close_fd, bool excl) {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(close_fd);  // the master: a holder of it would count as the line's far end
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd >= 0 && excl) ::ioctl(fd, TIOCEXCL);
        char c = fd >= 0 ? 'y' : 'n';
        (void)!::write(ready[1], &c, 1);
        for (;;) ::pause();
    }
    char c = 0;
    ::close(ready[1]);
    (void)!::read(ready[0], &c, 1);
    ::close(ready[0]);
    return c == 'y' ? pid : -1;
}

void end_child(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

TEST_F(TermiosPort, OpenIsExclusiveForEveryoneAndErrorsUseTheWindowsNumbers) {
    const std::string lock = ser::tty::lock_file_of(path_, roots_);
    EXPECT_EQ(lock, dir_ + "/LCK.." + pts_.substr(5).replace(3, 1, "_")) << "named after /dev/pts/N";
    ser::handle h = open_port();
    int excl = 0;
    ASSERT_EQ(::ioctl(held_, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 1);
    char mine[16];
    std::snprintf(mine, sizeof mine, "%10d\n", static_cast<int>(::getpid()));
    EXPECT_EQ(read_text(lock), mine) << "the lock file in the ten-character form others read";
    // The tests run as root, which TIOCEXCL lets through: the locks must refuse the second open.
    for (const std::string& p : {path_, pts_}) {
        EXPECT_EQ(ser::create_file(p.c_str()), ser::invalid_handle_value) << p;
        EXPECT_EQ(kern::last_error(), kern::err::access_denied) << p;
        EXPECT_EQ(std::string(ser::open_detail()).rfind("in use by PID " + std::to_string(::getpid()), 0), 0u)
            << ser::open_detail();
    }
    close_port(h);
    ASSERT_EQ(::ioctl(held_, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0) << "the exclusive flag would outlive the close while the plug holds the tty";
    EXPECT_NE(::access(lock.c_str(), F_OK), 0) << "the lock file goes with the port";
    h = open_port();
    EXPECT_NE(h, ser::invalid_handle_value) << "a closed port opens again";
    close_port(h);

    std::string file = dir_ + "/plain";
    int fd = ::open(file.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    for (const auto& [p, words] : {std::pair{dir_ + "/missing", "not found"}, std::pair{file, "not a terminal"},
                                   std::pair{dir_, "not a terminal"}}) {
        EXPECT_EQ(ser::create_file(p.c_str()), ser::invalid_handle_value) << p;
        EXPECT_EQ(kern::last_error(), kern::err::file_not_found) << p;
        EXPECT_STREQ(ser::open_detail(), words) << p;
    }
    ::unlink(file.c_str());
}

TEST_F(TermiosPort, ATtySomeoneElseHasIsRefusedNamingWhoAndLeftAsItWas) {
    const std::string lock = ser::tty::lock_file_of(path_, roots_);
    pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    auto refused = [&](const std::string& words) {
        ser::handle h = ser::create_file(path_.c_str());
        if (h != ser::invalid_handle_value) {
            ser::close_handle(h);
            ADD_FAILURE() << "opened; expected " << words;
            return;
        }
        EXPECT_EQ(kern::last_error(), kern::err::access_denied);
        EXPECT_EQ(std::string(ser::open_detail()).rfind(words, 0), 0u) << ser::open_detail();
    };
    auto opens = [&] {
        ser::handle h = open_port();
        if (h != ser::invalid_handle_value) close_port(h);
    };

    // Another process holding it open, with or without TIOCEXCL (which root passes).
    for (bool excl : {false, true}) {
        pid_t child = holder(pts_, master_, excl);
        ASSERT_GT(child, 0);
        refused("in use by PID " + std::to_string(child) + " (");
        int flag = 0;
        ASSERT_EQ(::ioctl(held_, TIOCGEXCL, &flag), 0);
        EXPECT_EQ(flag, excl ? 1 : 0) << "someone else's flag is left alone";
        end_child(child);
    }
    ::ioctl(held_, TIOCNXCL);  // the flag stays with the tty while anyone has it open
    opens();
    // Someone's TIOCEXCL (here on the test's own descriptor, which no scan of other processes finds).
    ASSERT_EQ(::ioctl(held_, TIOCEXCL), 0);
    refused("in use (locked)");
    int flag = 0;
    ASSERT_EQ(::ioctl(held_, TIOCGEXCL, &flag), 0);
    EXPECT_EQ(flag, 1) << "never cleared by a refused open";
    ::ioctl(held_, TIOCNXCL);
    // An flock on the device.
    int other = ::open(pts_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    refused("in use by PID " + std::to_string(::getpid()));
    ::close(other);
    opens();
    // UUCP lock files: a live holder's (PID 1 is always alive) under the device's name or the link's;
    // a dead one's is stale, removed and replaced by ours.
    for (const std::string& file : {lock, dir_ + "/LCK..ttyT0"}) {
        write_text(file, "         1\n");
        refused("in use by PID 1 (");
        ::unlink(file.c_str());
    }
    write_text(lock, std::to_string(dead) + "\n");
    ser::handle h = open_port();
    EXPECT_EQ(std::atoi(read_text(lock).c_str()), ::getpid());
    close_port(h);
    EXPECT_NE(::access(lock.c_str(), F_OK), 0);

    // The system console, as a made-up sysfs tells it: refused unless allowed.
    struct stat st {};
    ASSERT_EQ(::stat(pts_.c_str(), &st), 0);
    const std::string sys = dir_ + "/sys", con = sys + "/class/tty/console", tty = sys + "/class/tty/ttyFAKE";
    for (const std::string& d : {sys, sys + "/class", sys + "/class/tty", con, tty}) ::mkdir(d.c_str(), 0755);
    write_text(con + "/active", "tty0 ttyFAKE\n");
    write_text(tty + "/dev", std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)) + "\n");
    ser::list_roots fake = roots_;
    fake.sys = sys;
    ser::termios_set_roots(fake);
    refused("the system console");
    ser::termios_allow_console(true);
    opens();
    std::filesystem::remove_all(sys);
}

TEST_F(TermiosPort, BaudRatesAndFormatsAreSetAndReadBack) {
    ser::handle h = open_port();
    for (uint32_t baud : {9600u, 76800u, 123457u, 921600u, 3000000u}) {
        EXPECT_TRUE(ioctl_u32(h, ser::IOCTL_SERIAL_SET_BAUD_RATE, baud)) << baud;
        uint32_t now = 0;
        ASSERT_EQ(ttysys::get_baud(master_, &now), 0);
        EXPECT_EQ(now, baud);
    }
    EXPECT_FALSE(ioctl_u32(h, ser::IOCTL_SERIAL_SET_BAUD_RATE, 0)) << "rate 0 would hang the line up";
    EXPECT_EQ(kern::last_error(), kern::err::invalid_parameter);
    uint32_t now = 0;
    ASSERT_EQ(ttysys::get_baud(master_, &now), 0);
    EXPECT_EQ(now, 3000000u);

    // Formats as the tty's control flags show them, and read back through the port. What a driver
    // does not keep is refused: ptys here take 8N2 but refuse narrower words and parity (EINVAL) or
    // silently stay at CS8 for CS5, so a format is checked against what the tty then holds.
    struct fcase {
        ser::SERIAL_LINE_CONTROL lc;
        tcflag_t cflag;  // under CSIZE | PARENB | PARODD | CMSPAR | CSTOPB
    };
    const fcase formats[] = {
        {{ser::STOP_BITS_2, ser::NO_PARITY, 8}, CS8 | CSTOPB},
        {{ser::STOP_BIT_1, ser::EVEN_PARITY, 7}, CS7 | PARENB},
        {{ser::STOP_BIT_1, ser::ODD_PARITY, 5}, CS5 | PARENB | PARODD},
        {{ser::STOP_BITS_2, ser::MARK_PARITY, 6}, CS6 | PARENB | CMSPAR | PARODD | CSTOPB},
        {{ser::STOP_BIT_1, ser::SPACE_PARITY, 8}, CS8 | PARENB | CMSPAR},
        {{ser::STOP_BIT_1, ser::NO_PARITY, 5}, CS5},
    };
    constexpr tcflag_t bits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    uint32_t ret = 0;
    for (const auto& f : formats) {
        SCOPED_TRACE(testing::Message() << int{f.lc.WordLength} << " " << int{f.lc.Parity});
        bool ok = ser::device_io_control(h, ser::IOCTL_SERIAL_SET_LINE_CONTROL, &f.lc, sizeof f.lc, nullptr,
                                         0, &ret, nullptr);
        termios t{};
        ASSERT_EQ(::tcgetattr(held_, &t), 0);
        ser::SERIAL_LINE_CONTROL back{};
        ASSERT_TRUE(ser::device_io_control(h, ser::IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &back,
                                           sizeof back, &ret, nullptr));
        if (ok) {
            EXPECT_EQ(t.c_cflag & bits, f.cflag);
            EXPECT_EQ(std::memcmp(&back, &f.lc, sizeof back), 0);
        } else {
            EXPECT_EQ(kern::last_error(), kern::err::invalid_parameter);
            EXPECT_NE(t.c_cflag & bits, f.cflag) << "refused although the tty kept it";
            EXPECT_NE(std::memcmp(&back, &f.lc, sizeof back), 0) << "read back as if kept";
        }
        if (f.lc.WordLength == 8 && f.lc.Parity == ser::NO_PARITY) {
            EXPECT_TRUE(ok) << "every tty has 8 data bits without parity";
        }
    }
    // Linux has no 1.5 stop bits; nor is there a 9-bit word. Refused, the format left as it was.
    ser::SERIAL_LINE_CONTROL n2{ser::STOP_BITS_2, ser::NO_PARITY, 8};
    ASSERT_TRUE(ser::device_io_control(h, ser::IOCTL_SERIAL_SET_LINE_CONTROL, &n2, sizeof n2, nullptr, 0,
                                       &ret, nullptr));
    for (ser::SERIAL_LINE_CONTROL bad : {ser::SERIAL_LINE_CONTROL{ser::STOP_BITS_1_5, ser::NO_PARITY, 5},
                                         ser::SERIAL_LINE_CONTROL{ser::STOP_BIT_1, ser::NO_PARITY, 9}}) {
        EXPECT_FALSE(ser::device_io_control(h, ser::IOCTL_SERIAL_SET_LINE_CONTROL, &bad, sizeof bad, nullptr,
                                            0, &ret, nullptr));
        EXPECT_EQ(kern::last_error(), kern::err::invalid_parameter);
    }
    termios t{};
    ASSERT_EQ(::tcgetattr(held_, &t), 0);
    EXPECT_EQ(t.c_cflag & bits, static_cast<tcflag_t>(CS8 | CSTOPB));
}

TEST_F(TermiosPort, RawModeCarriesEveryByteValueBothWaysAndOpenStartsEmpty) {
    // The tty is left cooked, echoing and translating, with stale input, as another program might.
    termios t{};
    ASSERT_EQ(::tcgetattr(held_, &t), 0);
    t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    t.c_iflag |= ICRNL | IXON | ISTRIP;
    t.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(::tcsetattr(held_, TCSANOW, &t), 0);
    far_send({'s', 't', 'a', 'l', 'e', '\n'});
    ASSERT_TRUE(wait_until([&] {
        int n = 0;
        return ::ioctl(held_, FIONREAD, &n) == 0 && n == 6;
    }));
    far_receive();  // its echo, which the cooked tty sent before the port existed

    ser::handle h = open_port();
    EXPECT_EQ(status_of(h).AmountInInQueue, 0u);
    std::vector<uint8_t> all = every_byte_value();
    async_req w;
    uint32_t n = 0;
    if (!ser::write_file(h, all.data(), 256, &n, &w.o)) {
        ASSERT_EQ(kern::last_error(), kern::err::io_pending);
    }
    ASSERT_TRUE(w.wait());
    EXPECT_EQ(w.status(), 0u);
    EXPECT_EQ(w.bytes(), 256u);
    EXPECT_EQ(far_receive(), all);

    ASSERT_TRUE(set_timeouts(h, 0, 0, 0));  // until full
    std::vector<uint8_t> in(256);
    async_req r;
    EXPECT_FALSE(ser::read_file(h, in.data(), 256, &n, &r.o));
    far_send(all);
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(r.bytes(), 256u);
    EXPECT_EQ(in, all);
    EXPECT_TRUE(far_receive(50).empty()) << "nothing echoed";
}

TEST_F(TermiosPort, CloseRestoresTheSettingsFoundAtOpen) {
    termios t{};
    ASSERT_EQ(::tcgetattr(held_, &t), 0);
    t.c_lflag |= ICANON | ECHO;
    t.c_iflag |= ICRNL;
    t.c_cflag |= CRTSCTS;
    ::cfsetspeed(&t, B2400);
    ASSERT_EQ(::tcsetattr(held_, TCSANOW, &t), 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(held_, &before), 0);

    ser::handle h = open_port();
    EXPECT_TRUE(ioctl_u32(h, ser::IOCTL_SERIAL_SET_BAUD_RATE, 76800));
    ser::SERIAL_LINE_CONTROL lc{ser::STOP_BITS_2, ser::NO_PARITY, 8};
    uint32_t ret = 0;
    EXPECT_TRUE(ser::device_io_control(h, ser::IOCTL_SERIAL_SET_LINE_CONTROL, &lc, sizeof lc, nullptr, 0,
                                       &ret, nullptr));
    EXPECT_TRUE(set_handflow(
        h, {ser::SERIAL_DTR_CONTROL,
            ser::SERIAL_AUTO_TRANSMIT | ser::SERIAL_AUTO_RECEIVE | ser::SERIAL_RTS_CONTROL, 100, 100}));
    termios during{};
    ASSERT_EQ(::tcgetattr(held_, &during), 0);
    EXPECT_FALSE(during.c_lflag & (ICANON | ECHO));
    close_port(h);

    termios after{};
    ASSERT_EQ(::tcgetattr(held_, &after), 0);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof after.c_cc), 0);
    EXPECT_EQ(::cfgetospeed(&after), B2400);
    EXPECT_EQ(::cfgetispeed(&after), ::cfgetispeed(&before));
}

TEST_F(TermiosPort, ReadTimeoutsFollowTheWindowsRules) {
    ser::handle h = open_port();
    uint8_t buf[64];
    uint32_t n = 0;

    // The receive worker's setting: whatever came within 30 ms, or nothing.
    ASSERT_TRUE(set_timeouts(h, MAXDWORD, 0, 30));
    for (size_t waiting : {0u, 10u}) {
        SCOPED_TRACE(waiting);
        if (waiting) far_send(std::vector<uint8_t>(waiting, 'a'));
        if (waiting) {
            ASSERT_TRUE(wait_until([&] { return status_of(h).AmountInInQueue == waiting; }));
        }
        async_req r;
        uint64_t t0 = kern::now_us();
        EXPECT_FALSE(ser::read_file(h, buf, sizeof buf, &n, &r.o));
        EXPECT_EQ(kern::last_error(), kern::err::io_pending);
        ASSERT_TRUE(r.wait());
        EXPECT_GE(elapsed_ms(t0), 30u);
        EXPECT_EQ(r.status(), 0u);
        EXPECT_EQ(r.bytes(), waiting);
    }

    // Immediate: at once with what is there.
    ASSERT_TRUE(set_timeouts(h, MAXDWORD, 0, 0));
    {
        async_req r;
        EXPECT_TRUE(ser::read_file(h, buf, sizeof buf, &n, &r.o));
        EXPECT_EQ(n, 0u);
        EXPECT_TRUE(r.wait(0)) << "completed at once means signalled as well";
        far_send({1, 2, 3});
        ASSERT_TRUE(wait_until([&] { return status_of(h).AmountInInQueue == 3; }));
        async_req r2;
        EXPECT_TRUE(ser::read_file(h, buf, sizeof buf, &n, &r2.o));
        EXPECT_EQ(n, 3u);
        EXPECT_EQ(r2.bytes(), 3u);
    }

    // First byte or the constant: the bytes end it long before the constant does.
    ASSERT_TRUE(set_timeouts(h, MAXDWORD, MAXDWORD, 20000));
    {
        async_req r;
        uint64_t t0 = kern::now_us();
        EXPECT_FALSE(ser::read_file(h, buf, sizeof buf, &n, &r.o));
        kern::sleep(20);
        EXPECT_TRUE(r.pending());
        far_send({7});
        ASSERT_TRUE(r.wait(15000));
        EXPECT_LT(elapsed_ms(t0), 15000u);
        EXPECT_EQ(r.bytes(), 1u);
        EXPECT_EQ(buf[0], 7);
    }

    // All zero: until the buffer is full, however long that takes.
    ASSERT_TRUE(set_timeouts(h, 0, 0, 0));
    {
        async_req r;
        EXPECT_FALSE(ser::read_file(h, buf, 20, &n, &r.o));
        far_send(std::vector<uint8_t>(10, 'b'));
        EXPECT_FALSE(r.wait(100));
        far_send(std::vector<uint8_t>(10, 'c'));
        ASSERT_TRUE(r.wait());
        EXPECT_EQ(r.bytes(), 20u);
        EXPECT_EQ(buf[19], 'c');
    }

    // Interval: a gap after the first byte ends it; the total time-out ends an empty one.
    ASSERT_TRUE(set_timeouts(h, 40, 0, 0));
    {
        async_req r;
        EXPECT_FALSE(ser::read_file(h, buf, sizeof buf, &n, &r.o));
        EXPECT_FALSE(r.wait(100)) << "no interval before the first byte";
        uint64_t t0 = kern::now_us();
        far_send(std::vector<uint8_t>(5, 'd'));
        ASSERT_TRUE(r.wait());
        EXPECT_GE(elapsed_ms(t0), 40u);
        EXPECT_EQ(r.bytes(), 5u);
    }
}

TEST_F(TermiosPort, BytesReadAheadUnderFullFlowArriveInOrder) {
    // The far end writes flat out; the reader leaves gaps between its reads, in which the port reads
    // ahead into its own queue. Queue and tty must join up without a byte lost, doubled or swapped.
    ser::handle h = open_port();
    ASSERT_TRUE(set_timeouts(h, MAXDWORD, 0, 30));
    std::vector<uint8_t> sent(256 * 1024);
    uint32_t x = 12345;
    for (auto& b : sent) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
    std::thread far([&] {
        size_t done = 0;
        while (done < sent.size()) {
            ssize_t n = ::write(master_, sent.data() + done, sent.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else {
                pollfd p{master_, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
    });
    std::vector<uint8_t> got;
    std::vector<uint8_t> buf(16384);
    uint32_t most_queued = 0;
    for (int idle = 0; got.size() < sent.size() && idle < 50;) {
        async_req r;
        uint32_t n = 0;
        if (!ser::read_file(h, buf.data(), 16384, &n, &r.o)) {
            ASSERT_TRUE(r.wait());
        }
        n = r.bytes();
        idle = n ? 0 : idle + 1;
        got.insert(got.end(), buf.begin(), buf.begin() + n);
        kern::sleep(2);
        most_queued = std::max(most_queued, status_of(h).AmountInInQueue);
    }
    far.join();
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes";
    EXPECT_GT(most_queued, 4096u) << "more than the tty holds: the port read ahead";
}

TEST_F(TermiosPort, PurgeAbortsReadsAndWritesWithWhatTheyMovedAndStatusCountsTheQueues) {
    ser::handle h = open_port();
    uint32_t n = 0;

    // A read holding part of what it asked for.
    ASSERT_TRUE(set_timeouts(h, 0, 0, 0));
    std::vector<uint8_t> in(100);
    async_req r;
    EXPECT_FALSE(ser::read_file(h, in.data(), 100, &n, &r.o));
    far_send({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    ASSERT_TRUE(wait_until([&] { return stats().rx_bytes == 10; }));
    EXPECT_TRUE(ioctl_u32(h, ser::IOCTL_SERIAL_PURGE, ser::SERIAL_PURGE_RXABORT));
    ASSERT_TRUE(r.wait(0)) << "completed by the purge itself";
    EXPECT_EQ(r.status(), kern::err::operation_aborted);
    EXPECT_EQ(r.bytes(), 10u);
    EXPECT_EQ(std::memcmp(in.data(), "0123456789", 10), 0);
    uint32_t got = 0;
    EXPECT_FALSE(ser::get_overlapped_result(h, &r.o, &got, false));
    EXPECT_EQ(kern::last_error(), kern::err::operation_aborted);
    EXPECT_EQ(got, 10u);

    // Writes into a line nobody drains: the first fills the tty, the rest wait behind it.
    const uint32_t len = 65536;
    std::vector<uint8_t> out(len, 'w');
    async_req w[3];
    for (auto& a : w) EXPECT_FALSE(ser::write_file(h, out.data(), len, &n, &a.o));
    uint64_t accepted = 0;
    ASSERT_TRUE(wait_until([&] {
        uint64_t before = stats().tx_bytes;
        kern::sleep(60);
        accepted = stats().tx_bytes;
        return accepted > 0 && accepted == before;
    }));
    ASSERT_LT(accepted, len);
    EXPECT_EQ(stats().pending_writes, 3u);
    // A loaded machine may let the tty take a little more after the pause: the queue lies between.
    ser::SERIAL_STATUS s = status_of(h);
    EXPECT_LE(s.AmountInOutQueue, 3 * len - accepted);
    EXPECT_GE(s.AmountInOutQueue, 3 * len - stats().tx_bytes);

    far_send(std::vector<uint8_t>(100, 'i'));
    ASSERT_TRUE(wait_until([&] { return status_of(h).AmountInInQueue == 100; }));

    EXPECT_TRUE(ioctl_u32(h, ser::IOCTL_SERIAL_PURGE, ser::SERIAL_PURGE_TXABORT));
    accepted = stats().tx_bytes;
    ASSERT_LT(accepted, len);
    uint64_t sum = 0;
    for (auto& a : w) {
        ASSERT_TRUE(a.wait(0));
        EXPECT_EQ(a.status(), kern::err::operation_aborted);
        sum += a.bytes();
    }
    EXPECT_EQ(sum, accepted);
    EXPECT_EQ(w[1].bytes() + w[2].bytes(), 0u);
    EXPECT_EQ(status_of(h).AmountInOutQueue, 0u);
    // An abort leaves what the device took: the far end gets exactly the bytes reported.
    EXPECT_EQ(far_receive().size(), accepted);

    EXPECT_TRUE(ioctl_u32(h, ser::IOCTL_SERIAL_PURGE, ser::SERIAL_PURGE_RXCLEAR));
    EXPECT_EQ(status_of(h).AmountInInQueue, 0u);
    EXPECT_FALSE(ioctl_u32(h, ser::IOCTL_SERIAL_PURGE, 0x10));
    EXPECT_EQ(kern::last_error(), kern::err::invalid_parameter);
    EXPECT_EQ(status_of(h).Errors, 0u);
}

TEST_F(TermiosPort, WaitOnMaskEndsWithANewMaskOrTheCloseAndIsRefusedWithoutAMaskOrTwice) {
    ser::handle h = open_port();
    EXPECT_FALSE(stats().error_counters) << "ptys have no error counters";
    uint32_t ev = 0xDEAD, ret = 0;
    async_req w;
    EXPECT_FALSE(ser::device_io_control(h, ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &ev, 4, &ret, &w.o));
    EXPECT_EQ(kern::last_error(), kern::err::invalid_parameter) << "no mask set";

    ASSERT_TRUE(ioctl_u32(h, ser::IOCTL_SERIAL_SET_WAIT_MASK, ser::SERIAL_EV_ERR));
    EXPECT_FALSE(
        ser::device_io_control(h, ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &ev, 4, &ret, nullptr));
    EXPECT_EQ(kern::last_error(), kern::err::invalid_parameter) << "a wait needs an overlapped record";
    EXPECT_FALSE(ser::device_io_control(h, ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &ev, 4, &ret, &w.o));
    EXPECT_EQ(kern::last_error(), kern::err::io_pending);
    EXPECT_FALSE(w.wait(100)) << "nothing to report on a pty";
    uint32_t ev2 = 0;
    async_req second;
    EXPECT_FALSE(
        ser::device_io_control(h, ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &ev2, 4, &ret, &second.o));
    EXPECT_EQ(kern::last_error(), kern::err::invalid_parameter) << "one wait at a time";
    EXPECT_FALSE(second.wait(0));

    ASSERT_TRUE(ioctl_u32(h, ser::IOCTL_SERIAL_SET_WAIT_MASK, 0));
    ASSERT_TRUE(w.wait(0));
    EXPECT_EQ(w.status(), 0u);
    EXPECT_EQ(w.bytes(), 4u);
    EXPECT_EQ(ev, 0u) << "ended by the new mask: no event";
    async_req after;
    EXPECT_FALSE(
        ser::device_io_control(h, ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &ev, 4, &ret, &after.o));
    EXPECT_EQ(kern::last_error(), kern::err::invalid_parameter) << "mask 0";

    // The close ends whatever is in flight, and the handle is dead afterwards.
    ASSERT_TRUE(ioctl_u32(h, ser::IOCTL_SERIAL_SET_WAIT_MASK, ser::SERIAL_EV_ERR));
    ASSERT_TRUE(set_timeouts(h, 0, 0, 0));
    std::vector<uint8_t> in(100), out(65536, 'c');
    uint32_t n = 0;
    async_req last, r, wr;
    EXPECT_FALSE(
        ser::device_io_control(h, ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &ev, 4, &ret, &last.o));
    EXPECT_FALSE(ser::read_file(h, in.data(), 100, &n, &r.o));
    EXPECT_FALSE(ser::write_file(h, out.data(), 65536, &n, &wr.o));
    close_port(h);
    for (async_req* a : {&last, &r, &wr}) {
        ASSERT_TRUE(a->wait(0));
        EXPECT_EQ(a->status(), kern::err::operation_aborted);
    }
    EXPECT_FALSE(ser::read_file(h, in.data(), 100, &n, &r.o));
    EXPECT_EQ(kern::last_error(), kern::err::invalid_handle);
    ser::termios_port_stats st;
    EXPECT_FALSE(ser::termios_stats(path_.c_str(), &st));
}

TEST_F(TermiosPort, WithoutModemLinesLineRequestsAreRefusedAndTheRestIsKept) {
    ser::handle h = open_port();
    EXPECT_FALSE(stats().modem_lines);
    for (uint32_t code : {ser::IOCTL_SET_INTERNAL_LOOPBACK, ser::IOCTL_CLEAR_INTERNAL_LOOPBACK}) {
        uint32_t ret = 0;
        EXPECT_FALSE(ser::device_io_control(h, code, nullptr, 0, nullptr, 0, &ret, nullptr));
        EXPECT_EQ(kern::last_error(), kern::err::invalid_parameter);
    }
    ser::SERIAL_HANDFLOW start = handflow_of(h);
    EXPECT_EQ(start.ControlHandShake, ser::SERIAL_DTR_CONTROL);
    EXPECT_EQ(start.FlowReplace, ser::SERIAL_RTS_CONTROL);
    for (uint32_t chs : {ser::SERIAL_DTR_HANDSHAKE, ser::SERIAL_DTR_CONTROL | ser::SERIAL_DSR_HANDSHAKE,
                         ser::SERIAL_DTR_CONTROL | ser::SERIAL_DCD_HANDSHAKE}) {
        EXPECT_FALSE(set_handflow(h, {chs, ser::SERIAL_RTS_CONTROL, 1, 2})) << chs;
        EXPECT_EQ(kern::last_error(), kern::err::invalid_parameter);
        ser::SERIAL_HANDFLOW now = handflow_of(h);
        EXPECT_EQ(std::memcmp(&now, &start, sizeof now), 0) << "a refused record changes nothing";
    }

    // Xon/Xoff and RTS/CTS go to the driver; every other bit and both limits come back as given.
    ser::SERIAL_HANDFLOW hf{
        ser::SERIAL_DTR_CONTROL | ser::SERIAL_CTS_HANDSHAKE | 0x40u | 0x80000000u,
        ser::SERIAL_AUTO_TRANSMIT | ser::SERIAL_AUTO_RECEIVE | ser::SERIAL_RTS_HANDSHAKE | 0x04u | 0x20u,
        1234, -5};
    ASSERT_TRUE(set_handflow(h, hf));
    ser::SERIAL_HANDFLOW back = handflow_of(h);
    EXPECT_EQ(std::memcmp(&back, &hf, sizeof hf), 0);
    ttysys::flow f;
    ASSERT_EQ(ttysys::get_flow(master_, &f), 0);
    EXPECT_TRUE(f.rtscts && f.ixon && f.ixoff);
    // What the driver keeps is what is read back: flags it dropped are not reported as in effect.
    ASSERT_EQ(ttysys::set_flow(master_, {false, true, false}), 0);
    back = handflow_of(h);
    EXPECT_EQ(back.ControlHandShake & ser::SERIAL_CTS_HANDSHAKE, 0u);
    EXPECT_EQ(back.FlowReplace & (ser::SERIAL_RTS_MASK | ser::SERIAL_AUTO_RECEIVE | ser::SERIAL_AUTO_TRANSMIT),
              ser::SERIAL_RTS_CONTROL | ser::SERIAL_AUTO_TRANSMIT);

    ASSERT_TRUE(set_handflow(h, {ser::SERIAL_DTR_CONTROL, ser::SERIAL_RTS_CONTROL, 0, 0}));
    ASSERT_EQ(ttysys::get_flow(master_, &f), 0);
    EXPECT_FALSE(f.rtscts || f.ixon || f.ixoff);
    EXPECT_EQ(status_of(h).HoldReasons, 0u);
}

TEST_F(TermiosPort, UnplugEndsWhatIsInFlightAndRefusesTheRestWithoutSpinning) {
    ser::handle h = open_port();
    uint32_t n = 0, ret = 0, ev = 0;
    ASSERT_TRUE(set_timeouts(h, 0, 0, 0));
    std::vector<uint8_t> in(100), out(65536, 'u');
    async_req r, w1, w2, wait;
    EXPECT_FALSE(ser::read_file(h, in.data(), 100, &n, &r.o));
    EXPECT_FALSE(ser::write_file(h, out.data(), 65536, &n, &w1.o));
    EXPECT_FALSE(ser::write_file(h, out.data(), 65536, &n, &w2.o));
    ASSERT_TRUE(ioctl_u32(h, ser::IOCTL_SERIAL_SET_WAIT_MASK, ser::SERIAL_EV_ERR));
    EXPECT_FALSE(
        ser::device_io_control(h, ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &ev, 4, &ret, &wait.o));
    far_send({'x', 'y'});
    ASSERT_TRUE(wait_until([&] { return stats().rx_bytes == 2; }));

    ::close(master_);  // the cable adapter is pulled out
    master_ = -1;
    for (async_req* a : {&r, &w1, &w2, &wait}) {
        ASSERT_TRUE(a->wait());
        EXPECT_EQ(a->status(), kern::err::device_not_connected);
    }
    EXPECT_EQ(r.bytes(), 2u);
    EXPECT_GT(w1.bytes(), 0u);
    EXPECT_TRUE(stats().dead);

    async_req late;
    uint64_t t0 = kern::now_us();
    EXPECT_FALSE(ser::read_file(h, in.data(), 100, &n, &late.o));
    EXPECT_EQ(kern::last_error(), kern::err::device_not_connected);
    EXPECT_FALSE(ser::write_file(h, out.data(), 10, &n, &late.o));
    EXPECT_EQ(kern::last_error(), kern::err::device_not_connected);
    EXPECT_FALSE(ioctl_u32(h, ser::IOCTL_SERIAL_PURGE, ser::SERIAL_PURGE_RXABORT));
    EXPECT_EQ(kern::last_error(), kern::err::device_not_connected);
    ser::SERIAL_STATUS s{};
    EXPECT_FALSE(
        ser::device_io_control(h, ser::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s, &ret, nullptr));
    EXPECT_LT(elapsed_ms(t0), 5000u) << "refused at once, never blocked";
    EXPECT_FALSE(late.wait(0)) << "a refused request is not signalled";

    // A hung-up tty reports itself for ever: the service thread must stop watching it.
    uint64_t wakeups = stats().wakeups;
    kern::sleep(300);
    EXPECT_LE(stats().wakeups, wakeups + 2);
    close_port(h);
}

// cdc_acm counts whole transfer buffers in TIOCOUTQ (163840 after 73728 bytes were written), and holds
// the close for its closing wait while its far end takes nothing.
TEST_F(TermiosPort, DriverOutputCountsStayWithinWhatWasWrittenAndAnUndrainableCloseDoesNotWait) {
    ser::handle h = open_port();
    std::vector<uint8_t> out(1000, 'q');
    uint32_t n = 0;
    fake.outq = 163840;
    ASSERT_TRUE(ser::write_file(h, out.data(), 1000, &n, nullptr));
    EXPECT_EQ(status_of(h).AmountInOutQueue, 1000u) << "never more than the device was given";
    // Once seen empty, only what it took since counts.
    fake.outq = 0;
    EXPECT_EQ(status_of(h).AmountInOutQueue, 0u);
    fake.outq = 163840;
    ASSERT_TRUE(ser::write_file(h, out.data(), 10, &n, nullptr));
    EXPECT_EQ(status_of(h).AmountInOutQueue, 10u);

    fake.serial = true;
    close_port(h);
    fake.outq = -1;
    fake.serial = false;
    std::lock_guard lk(fake.m);
    // No wait for this close, and the driver's own setting back for the next user.
    EXPECT_EQ(fake.set_waits, (std::vector<uint16_t>{ASYNC_CLOSING_WAIT_NONE, 3000}));
    EXPECT_EQ(fake.closing_wait, 3000);
}

TEST_F(TermiosPort, RequestsWithoutARecordWaitInTheKernelLayerAndATerminatedWaiterLeavesNothing) {
    ser::handle h = open_port();
    uint32_t n = 0;
    std::vector<uint8_t> out(1000, 's');
    EXPECT_TRUE(ser::write_file(h, out.data(), 1000, &n, nullptr));
    EXPECT_EQ(n, 1000u);
    EXPECT_EQ(far_receive().size(), 1000u);
    ASSERT_TRUE(set_timeouts(h, MAXDWORD, 0, 30));
    uint8_t buf[16];
    EXPECT_TRUE(ser::read_file(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u);

    // A reader blocked for ever in a read without a record, terminated and reclaimed.
    ASSERT_TRUE(set_timeouts(h, 0, 0, 0));
    struct ctx {
        ser::handle h;
        std::atomic<bool> started{false};
    } c{h};
    kern::thread_handle t = kern::create_thread(
        [](void* p) {
            auto* c = static_cast<ctx*>(p);
            uint8_t b[64];
            uint32_t got = 0;
            c->started = true;
            ser::read_file(c->h, b, sizeof b, &got, nullptr);
        },
        &c, 0, nullptr);
    ASSERT_TRUE(wait_until([&] { return c.started && stats().pending_reads == 1; }));
    EXPECT_TRUE(kern::terminate_thread(t));
    EXPECT_EQ(stats().pending_reads, 1u) << "terminated, its stack and request are kept";
    EXPECT_TRUE(kern::close_thread(t));
    EXPECT_TRUE(wait_until([&] { return stats().pending_reads == 0; })) << "unwinding withdrew the request";

    // The port goes on as before.
    far_send({'a', 'b', 'c', 'd'});
    EXPECT_TRUE(ser::read_file(h, buf, 4, &n, nullptr));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::memcmp(buf, "abcd", 4), 0);
}

}  // namespace
