// The pty plug: its links, its wiring, its pacing and faults, and the zentrel-plug command.
#include "plug.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/serial/termios/tty_sys.h"

extern char** environ;

namespace {

class Plug : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zt-plug-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        for (int fd : fds_) ::close(fd);
        plug_.reset();
        ::rmdir(dir_.c_str());
    }

    zplug::plug& make(zplug::options o) {
        o.dir = dir_;
        plug_ = std::make_unique<zplug::plug>(o);
        plug_->start();
        return *plug_;
    }

    // A port as a plain program would use it: raw, blocking off.
    int open_port(int number) {
        std::string path = dir_ + "/ttyV" + std::to_string(number);
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(fd, 0) << path;
        if (fd >= 0) {
            EXPECT_EQ(ttysys::make_raw(fd), 0);
            fds_.push_back(fd);
        }
        return fd;
    }

    static void send(int fd, const std::vector<uint8_t>& b) {
        size_t done = 0;
        while (done < b.size()) {
            ssize_t n = ::write(fd, b.data() + done, b.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
    }

    // Everything that arrives until the line has been quiet for quiet_ms.
    static std::vector<uint8_t> receive(int fd, int quiet_ms = 200) {
        std::vector<uint8_t> got;
        uint8_t buf[4096];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, quiet_ms) <= 0) return got;
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return got;
            got.insert(got.end(), buf, buf + n);
        }
    }

    // Sends on one port while taking in what arrives on another, until all is sent and the line is quiet.
    static std::vector<uint8_t> exchange(int out_fd, int in_fd, const std::vector<uint8_t>& b) {
        std::vector<uint8_t> got;
        uint8_t buf[4096];
        size_t done = 0;
        for (;;) {
            pollfd p[2] = {{in_fd, POLLIN, 0},
                           {out_fd, static_cast<short>(done < b.size() ? POLLOUT : 0), 0}};
            if (::poll(p, 2, 300) <= 0) return got;
            if (p[0].revents & POLLIN) {
                ssize_t n = ::read(in_fd, buf, sizeof buf);
                if (n > 0) got.insert(got.end(), buf, buf + n);
            }
            if (p[1].revents & POLLOUT) {
                ssize_t n = ::write(out_fd, b.data() + done, b.size() - done);
                if (n > 0) done += static_cast<size_t>(n);
            }
        }
    }

    std::string dir_;
    std::unique_ptr<zplug::plug> plug_;
    std::vector<int> fds_;
};

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(32 + i % 64);
    return v;
}

TEST_F(Plug, LinksNameTheSlavesAndLeaveWithThePlug) {
    // A stale link of an earlier plug is replaced.
    ASSERT_EQ(::symlink("/dev/pts/nothing", (dir_ + "/ttyV5").c_str()), 0);
    zplug::options o;
    o.count = 3;
    o.first = 5;
    zplug::plug& p = make(o);
    EXPECT_EQ(p.ready_line(), "ready: " + dir_ + "/ttyV5.." + dir_ + "/ttyV7");
    for (int n = 5; n <= 7; n++) {
        char target[128] = {};
        ASSERT_GT(::readlink(p.link(n).c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u) << target;
        EXPECT_NE(std::string(target), "/dev/pts/nothing");
    }
    plug_.reset();
    struct stat st {};
    for (int n = 5; n <= 7; n++) EXPECT_NE(::lstat((dir_ + "/ttyV" + std::to_string(n)).c_str(), &st), 0);

    // Something that is not a link is never touched.
    std::string in_the_way = dir_ + "/ttyV3";
    int fd = ::open(in_the_way.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    zplug::options bad;
    bad.dir = dir_;
    bad.count = 1;
    EXPECT_THROW(zplug::plug{bad}, std::runtime_error);
    EXPECT_EQ(::lstat(in_the_way.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    ::unlink(in_the_way.c_str());
    bad.null_modem = true;
    bad.count = 3;
    EXPECT_THROW(zplug::plug{bad}, std::runtime_error) << "pairs need an even count";
}

TEST_F(Plug, LoopbackAndNullModemWiringCarryEveryByteValue) {
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; i++) all[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    {
        zplug::options o;
        o.count = 2;
        o.paced = false;
        make(o);
        int a = open_port(3), b = open_port(4);
        send(a, all);
        EXPECT_EQ(receive(a), all) << "a loopback plug returns what the port sends";
        EXPECT_TRUE(receive(b, 50).empty());
        EXPECT_EQ(plug_->counts(3).bytes, 256u);
        for (int fd : fds_) ::close(fd);
        fds_.clear();
    }
    zplug::options o;
    o.count = 4;
    o.null_modem = true;
    o.paced = false;
    make(o);
    int p3 = open_port(3), p4 = open_port(4), p5 = open_port(5), p6 = open_port(6);
    send(p3, all);
    send(p6, {'s', 'i', 'x'});
    EXPECT_EQ(receive(p4), all);
    EXPECT_EQ(receive(p5), (std::vector<uint8_t>{'s', 'i', 'x'}));
    EXPECT_TRUE(receive(p3, 50).empty());
    EXPECT_TRUE(receive(p6, 50).empty());
}

TEST_F(Plug, FaultCountsMatchWhatArrives) {
    zplug::options o;
    o.count = 2;
    o.paced = false;
    o.corrupt = 0.002;
    make(o);
    const std::vector<uint8_t> sent = pattern(60000);
    int fd = open_port(3);
    std::vector<uint8_t> got = exchange(fd, fd, sent);
    ASSERT_EQ(got.size(), sent.size());
    uint64_t flipped = 0;
    for (size_t i = 0; i < got.size(); i++)
        if (got[i] != sent[i]) {
            EXPECT_EQ(got[i], sent[i] ^ 0x80) << i;
            flipped++;
        }
    EXPECT_EQ(plug_->counts(3).corrupted, flipped);
    EXPECT_GT(flipped, 60u);  // 120 expected
    EXPECT_LT(flipped, 200u);
    EXPECT_EQ(plug_->counts(3).dropped, 0u);

    zplug::options d;
    d.count = 1;
    d.paced = false;
    d.drop = 0.002;
    d.seed = 11;
    for (int f : fds_) ::close(f);
    fds_.clear();
    make(d);
    fd = open_port(3);
    got = exchange(fd, fd, sent);
    uint64_t dropped = plug_->counts(3).dropped;
    EXPECT_EQ(got.size() + dropped, sent.size());
    EXPECT_GT(dropped, 60u);
    EXPECT_LT(dropped, 200u);
    // What arrives is what was sent with some bytes left out, in order.
    size_t j = 0;
    for (uint8_t b : got) {
        while (j < sent.size() && sent[j] != b) j++;
        ASSERT_LT(j, sent.size());
        j++;
    }

    // Whole 64-byte blocks: the pattern arrives unbroken, only shorter.
    zplug::options k;
    k.count = 1;
    k.paced = false;
    k.drop_block = 0.02;
    k.seed = 5;
    for (int f : fds_) ::close(f);
    fds_.clear();
    make(k);
    fd = open_port(3);
    got = exchange(fd, fd, sent);
    dropped = plug_->counts(3).dropped;
    EXPECT_EQ(got.size() + dropped, sent.size());
    EXPECT_EQ(dropped % 64, 0u);
    EXPECT_GT(dropped / 64, 5u);  // 19 of 937 blocks expected
    EXPECT_LT(dropped / 64, 40u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin()));
}

// The command: --help, a refused option, and a run ended by SIGTERM that cleans up after itself.
TEST_F(Plug, CommandReportsReadyEndsOnSigtermAndRemovesItsLinks) {
    auto run = [](std::vector<std::string> args, int* out_fd) {
        int out[2];
        EXPECT_EQ(::pipe(out), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, out[1], 2);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        std::vector<char*> argv;
        args.insert(args.begin(), ZENTREL_PLUG_EXE);
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, ZENTREL_PLUG_EXE, &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        *out_fd = out[0];
        return pid;
    };
    auto read_line = [](int fd) {
        std::string line;
        char c;
        while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
        return line;
    };
    auto read_all = [](int fd) {
        std::string s;
        char buf[512];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
        ::close(fd);
        return s;
    };
    auto exit_code = [](pid_t pid) {
        int st = 0;
        ::waitpid(pid, &st, 0);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };

    int out = -1;
    pid_t pid = run({"--help"}, &out);
    EXPECT_NE(read_all(out).find("--corrupt RATE"), std::string::npos);
    EXPECT_EQ(exit_code(pid), 0);
    pid = run({"--dir", dir_, "--corrupt", "2"}, &out);
    read_all(out);
    EXPECT_EQ(exit_code(pid), 2);

    pid = run({"--dir", dir_, "--count", "2", "--first", "7", "--unpaced"}, &out);
    EXPECT_EQ(read_line(out), "ready: " + dir_ + "/ttyV7.." + dir_ + "/ttyV8");
    int fd = open_port(7);
    send(fd, pattern(1000));
    EXPECT_EQ(receive(fd).size(), 1000u);
    ::kill(pid, SIGTERM);
    std::string summary = read_all(out);
    EXPECT_EQ(exit_code(pid), 0);
    EXPECT_NE(summary.find(dir_ + "/ttyV7: 1000 bytes in, 0 corrupted, 0 dropped"), std::string::npos)
        << summary;
    struct stat st {};
    EXPECT_NE(::lstat((dir_ + "/ttyV7").c_str(), &st), 0);
    EXPECT_NE(::lstat((dir_ + "/ttyV8").c_str(), &st), 0);
}

}  // namespace
