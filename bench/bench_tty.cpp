// Figures of the Linux serial backend on pseudo-terminals: the engine against a lean reference loop on
// the same ptys, and paced lines at the highest rate. The plug runs as a child process, so that this
// process's CPU time is the analyzer's alone. Prints a table; asserts nothing.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_clock.h"
#include "loop.h"
#include "model/chnl.h"
#include "platform/serial/termios/termios_backend.h"
#include "platform/serial/termios/tty_sys.h"
#include "read.h"
#include "write.h"

extern char** environ;

using namespace zentrel;

namespace {

constexpr int ports = 16;

// Context switches of this process so far: on ptys the cost of a megabyte is mostly wake-ups.
double switches_now() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_nvcsw + ru.ru_nivcsw);
}
constexpr int first = 3;

// zentrel-plug as a child process, from its "ready" line until it is told to end.
class plug_process {
  public:
    plug_process(const std::string& dir, bool paced) {
        int out[2];
        if (::pipe(out) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        std::string count = std::to_string(ports), first_s = std::to_string(first);
        std::vector<const char*> argv = {ZENTREL_PLUG_EXE, "--dir",   dir.c_str(),    "--count",
                                         count.c_str(),    "--first", first_s.c_str()};
        if (!paced) argv.push_back("--unpaced");
        argv.push_back(nullptr);
        int r = posix_spawn(&pid_, ZENTREL_PLUG_EXE, &fa, nullptr, const_cast<char* const*>(argv.data()),
                            environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        out_ = out[0];
        if (r != 0) {
            pid_ = -1;
            return;
        }
        std::string line;
        char c;
        while (::read(out_, &c, 1) == 1 && c != '\n') line += c;
        ready_ = line.rfind("ready:", 0) == 0;
    }
    ~plug_process() { finish(); }
    // Ends the plug; returns its share of one core over its life.
    double finish() {
        double share = 0;
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            char buf[4096];
            while (::read(out_, buf, sizeof buf) > 0) {
            }
            int st = 0;
            rusage ru{};
            ::wait4(pid_, &st, 0, &ru);
            double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
            share = cpu / (wall_seconds() - started_);
            pid_ = -1;
        }
        if (out_ >= 0) ::close(out_);
        out_ = -1;
        return share;
    }
    bool ready() const { return ready_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    double started_ = wall_seconds();
    bool ready_ = false;
};

struct figures {
    double bytes_per_s = 0;      // received, all ports
    double window_rate = 0;      // received per port over whole monitor seconds (paced runs)
    double program_rate = 0;     // the program's own whole-run figure, per port
    double cpu_of_one_core = 0;  // share of one core
    double plug_cpu = 0;         // the plug's share of one core
    double switches = 0;         // this process's context switches per MB received
    uint32_t errors = 0, overruns = 0;
    bool ok = false;
};

// The engine as the program runs it (data check on), without flow control.
figures engine_run(const std::string& dir, int32_t baud, int seconds) {
    figures f;
    settings_reset();
    chnls_startup("3");
    std::snprintf(devLink, sizeof devLink, "%s/ttyV", dir.c_str());
    set_bauds(baud);
    set_flows(flow_none);
    double c0 = cpu_seconds(), w0 = wall_seconds(), s0 = switches_now();
    bool none = true;
    loop_init(&none);
    if (none) return f;
    loop_running = 1;
    kern::sleep(1500);  // past the first monitor pass: the lines are full
    uint32_t in0 = 0, t0 = chnls[0].out_time;
    for (int i = 0; i < chnl_count; i++) in0 += chnls[i].in_cur;
    kern::sleep(static_cast<uint32_t>(seconds) * 1000);
    uint32_t in1 = 0, t1 = chnls[0].out_time;
    for (int i = 0; i < chnl_count; i++) in1 += chnls[i].in_cur;
    loop_running = 0;
    loop_fini();
    double cpu = cpu_seconds() - c0, wall = wall_seconds() - w0, sw = switches_now() - s0;
    uint64_t received = 0;
    double program = 0;
    for (int i = 0; i < chnl_count; i++) {
        received += chnls[i].in_count;
        program += chnl_rate(chnls[i].out_cur, chnls[i].out_time, chnls[i].out_time0);
        f.errors += chnls[i].in_errs;
        f.overruns += chnls[i].in_ovlds;
    }
    f.bytes_per_s = static_cast<double>(received) / wall;
    f.switches = received ? sw * 1e6 / static_cast<double>(received) : 0;
    f.window_rate = t1 != t0 ? (in1 - in0) * 1000.0 / (t1 - t0) / chnl_count : 0;
    f.program_rate = program / chnl_count;
    f.cpu_of_one_core = cpu / wall;
    f.ok = chnl_count == ports;
    return f;
}

// The lean reference: per port a blocking writer of the same 8 KiB pattern blocks, and a reader that
// waits in poll() and reads up to 16 KiB at a time.
figures lean_run(const std::string& dir, int seconds) {
    figures f;
    std::vector<int> fds;
    for (int i = 0; i < ports; i++) {
        std::string path = dir + "/ttyV" + std::to_string(first + i);
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 || ttysys::make_raw(fd) != 0) return f;
        fds.push_back(fd);
    }
    std::atomic<bool> writing{true}, reading{true};
    std::atomic<uint64_t> received{0};
    std::vector<std::thread> writers, readers;
    double c0 = cpu_seconds(), w0 = wall_seconds(), s0 = switches_now();
    for (int fd : fds) {
        writers.emplace_back([fd, &writing] {
            uint8_t block[wstuff_len];
            make_pattern(block, wstuff_len);
            while (writing.load(std::memory_order_relaxed))
                if (::write(fd, block, sizeof block) < 0) break;
        });
        readers.emplace_back([fd, &reading, &received] {
            uint8_t buf[rstuff_size];
            while (reading.load(std::memory_order_relaxed)) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0) continue;
                ssize_t n = ::read(fd, buf, sizeof buf);
                if (n > 0) received.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500 + seconds * 1000));
    uint64_t got = received.load();
    double cpu = cpu_seconds() - c0, wall = wall_seconds() - w0, sw = switches_now() - s0;
    writing = false;
    for (auto& t : writers) t.join();  // the readers keep the lines moving until every writer is out
    reading = false;
    for (auto& t : readers) t.join();
    for (int fd : fds) ::close(fd);
    f.bytes_per_s = static_cast<double>(got) / wall;
    f.switches = got ? sw * 1e6 / static_cast<double>(got) : 0;
    f.cpu_of_one_core = cpu / wall;
    f.ok = true;
    return f;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void row(const char* name, const figures& f, double capacity, bool engine) {
    if (!f.ok) {
        std::printf("%-32s failed to start\n", name);
        return;
    }
    double mb = f.bytes_per_s / 1e6;
    std::printf("%-32s %9.2f %9.3f", name, mb, mb / ports);
    if (capacity > 0)
        std::printf(" %8.2f%% %8.2f%%", f.window_rate * 100.0 / capacity, f.program_rate * 100.0 / capacity);
    else
        std::printf(" %9s %9s", "-", "-");
    std::printf(" %8.1f%% %8.2f %6.0f%% %7.0f", f.cpu_of_one_core * 100.0,
                mb > 0 ? f.cpu_of_one_core * 1000.0 / mb : 0.0, f.plug_cpu * 100.0, f.switches);
    if (engine) std::printf(" %6u/%u", f.errors, f.overruns);
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 4, rounds = 3;
    for (int i = 1; i + 1 < argc; i++) {
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
    }
    ser::termios_backend_install();
    char tmpl[] = "/tmp/zentrel-ttybench-XXXXXX";
    if (!::mkdtemp(tmpl)) return 1;
    std::string dir = tmpl;

    std::printf(
        "16 pty ports through zentrel-plug (a child process); %d s measured per row after 1.5 s.\n"
        "Unpaced rows alternate engine and lean loop for %d rounds: a shared machine is noisy.\n\n",
        seconds, rounds);
    std::printf("%-32s %9s %9s %9s %9s %9s %8s %7s %7s %s\n", "", "MB/s rx", "per port", "% cap", "% cap",
                "CPU", "CPU ms", "plug", "switch", "errs/ovl");
    std::printf("%-32s %9s %9s %9s %9s %9s %8s %7s %7s\n", "", "", "", "(rx)", "(program)", "of 1 core",
                "per MB", "CPU", "per MB");
    std::vector<double> engine_rates, lean_rates, engine_cost, lean_cost;
    for (int r = 0; r < rounds; r++) {
        figures engine, lean;
        {
            plug_process plug(dir, false);
            if (plug.ready()) engine = engine_run(dir, 921600, seconds);
            engine.plug_cpu = plug.finish();
        }
        row("unpaced, engine (data check)", engine, -1, true);
        {
            plug_process plug(dir, false);
            if (plug.ready()) lean = lean_run(dir, seconds);
            lean.plug_cpu = plug.finish();
        }
        row("unpaced, lean reference loop", lean, -1, false);
        if (engine.ok && lean.ok) {
            engine_rates.push_back(engine.bytes_per_s);
            lean_rates.push_back(lean.bytes_per_s);
            engine_cost.push_back(engine.cpu_of_one_core * 1e9 / engine.bytes_per_s);
            lean_cost.push_back(lean.cpu_of_one_core * 1e9 / lean.bytes_per_s);
        }
    }
    if (!engine_rates.empty())
        std::printf(
            "unpaced medians: engine %.2f MB/s, lean %.2f MB/s; CPU ms per MB: engine %.2f, lean %.2f\n"
            "engine / lean: throughput %.2fx, CPU per MB %.2fx\n",
            median(engine_rates) / 1e6, median(lean_rates) / 1e6, median(engine_cost), median(lean_cost),
            median(engine_rates) / median(lean_rates), median(engine_cost) / median(lean_cost));
    figures paced;
    {
        plug_process plug(dir, true);
        if (plug.ready()) paced = engine_run(dir, 921600, seconds);
        paced.plug_cpu = plug.finish();
    }
    row("paced 921600, engine", paced, line_capacity_cps(921600), true);
    std::printf(
        "\n%% cap (rx): received over whole monitor seconds, per port, against baud / 10.\n"
        "%% cap (program): the program's whole-run figure; high on ptys by the bytes a pty holds,\n"
        "which TIOCOUTQ does not count.\n");
    ::rmdir(dir.c_str());
    return 0;
}
