// Figures of whole runs on the virtual board, on the real clock: the engine at every rate of the
// Speed menu, and the board's own cost at the highest rate. Prints tables; asserts nothing.
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
#include "platform/serial/virtual/vboard.h"
#include "write.h"

using namespace zentrel;

namespace {

void engine_runs(int seconds) {
    struct run {
        int32_t baud;
        const char* format;
    };
    // Every rate of the Speed menu in 8N1, then formats whose characters take other bit times.
    const run runs[] = {{9600, "8N1"},   {19200, "8N1"},  {38400, "8N1"},  {57600, "8N1"},
                        {76800, "8N1"},  {115200, "8N1"}, {230400, "8N1"}, {460800, "8N1"},
                        {921600, "8N1"}, {115200, "7E1"}, {115200, "8N2"}, {115200, "8E2"}};
    std::printf("Engine, 16 virtual ports, %d s per rate, default settings (Xon/Xoff, data check on)\n",
                seconds);
    std::printf("%8s %6s %10s %10s %8s %7s %9s %14s\n", "baud", "format", "capacity", "avg cps", "% cap",
                "errors", "overruns", "CPU s/port-s");
    for (const run& r : runs) {
        const int32_t baud = r.baud;
        vboard::board board;
        chnls_startup("3");
        settings_reset();
        set_bauds(baud);
        line_format f;
        parse_format(r.format, &f);
        com_format = f;
        double c0 = cpu_seconds(), w0 = wall_seconds();
        bool none = true;
        loop_init(&none);
        if (none) {
            std::printf("%8d loop start failed\n", baud);
            continue;
        }
        loop_running = 1;
        for (int s = 0; s < seconds; s++) {
            kern::sleep(1000);
            wrmon_watchdog();
        }
        loop_running = 0;
        loop_fini();
        double cpu = cpu_seconds() - c0, wall = wall_seconds() - w0;
        uint64_t sum = 0;
        uint32_t errs = 0, ovlds = 0;
        for (int i = 0; i < chnl_count; i++) {
            sum += chnl_rate(chnls[i].out_cur, chnls[i].out_time, chnls[i].out_time0);
            errs += chnls[i].in_errs;
            ovlds += chnls[i].in_ovlds;
        }
        double avg = static_cast<double>(sum) / chnl_count;
        const double capacity = line_capacity_cps(baud);
        std::printf("%8d %6s %10.0f %10.0f %7.2f%% %7u %9u %14.5f\n", baud, r.format, capacity, avg,
                    avg * 100.0 / capacity, errs, ovlds, cpu / (wall * chnl_count));
        std::fflush(stdout);
    }
}

// The board alone: 16 ports at 921600 fed and drained by one lean thread with large requests, so
// that nearly all the CPU time is the board's. Two writes wait per port, so the line never idles
// between two polls.
void board_cost(int seconds) {
    vboard::board board("queue=262144");
    const int ports = 16;
    std::vector<ser::handle> h(ports);
    std::vector<std::vector<uint8_t>> out(ports, std::vector<uint8_t>(65536, 'x')),
        in(ports, std::vector<uint8_t>(65536));
    std::vector<ser::overlapped> wo(2 * ports), ro(ports);
    for (int i = 0; i < ports; i++) {
        h[i] = ser::create_file(vboard::device_path(3 + i).c_str());
        uint32_t baud = 921600, ret;
        ser::device_io_control(h[i], ser::IOCTL_SERIAL_SET_BAUD_RATE, &baud, 4, nullptr, 0, &ret, nullptr);
        ser::SERIAL_TIMEOUTS to{ser::MAXDWORD, 0, 30, 0, 0};
        ser::device_io_control(h[i], ser::IOCTL_SERIAL_SET_TIMEOUTS, &to, sizeof to, nullptr, 0, &ret,
                               nullptr);
        for (int k : {0, 1}) wo[2 * i + k] = {}, wo[2 * i + k].hEvent = kern::create_event(false, false);
        ro[i] = {};
        ro[i].hEvent = kern::create_event(false, false);
    }
    double c0 = cpu_seconds(), w0 = wall_seconds();
    uint64_t moved = 0;
    std::vector<bool> wbusy(2 * ports), rbusy(ports);
    // Counts a read that completed and keeps one read waiting on port i.
    auto take = [&](int i) {
        uint32_t n = 0;
        if (rbusy[i] && ser::get_overlapped_result(h[i], &ro[i], &n, false)) {
            moved += n;
            rbusy[i] = false;
        }
        if (!rbusy[i]) {
            if (ser::read_file(h[i], in[i].data(), 65536, &n, &ro[i]))
                moved += n;
            else
                rbusy[i] = true;
        }
    };
    while (wall_seconds() - w0 < seconds) {
        for (int i = 0; i < ports; i++) {
            uint32_t n = 0;
            for (int j = 2 * i; j < 2 * i + 2; j++) {
                if (wbusy[j] && ser::get_overlapped_result(h[i], &wo[j], &n, false)) wbusy[j] = false;
                if (!wbusy[j]) {
                    ser::write_file(h[i], out[i].data(), 65536, &n, &wo[j]);
                    wbusy[j] = true;
                }
            }
            take(i);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // What arrived in the last poll's interval is the measured time's too: take it before the clock stops.
    for (int i = 0; i < ports; i++) take(i);
    double cpu = cpu_seconds() - c0, wall = wall_seconds() - w0;
    for (int i = 0; i < ports; i++) {
        ser::close_handle(h[i]);
        kern::close_event(wo[2 * i].hEvent);
        kern::close_event(wo[2 * i + 1].hEvent);
        kern::close_event(ro[i].hEvent);
    }
    std::printf(
        "\nVirtual board alone, 16 ports at 921600 for %.1f s: %.0f bytes/s per port received "
        "(capacity 92160), CPU %.3f%% of one core per port\n",
        wall, static_cast<double>(moved) / wall / ports, cpu / wall / ports * 100.0);
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 3;
    for (int i = 1; i + 1 < argc; i++)
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
    board_cost(seconds);
    std::printf("\n");
    engine_runs(seconds);
    return 0;
}
