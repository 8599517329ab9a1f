// zentrel-plug: pseudo-terminals wired as loopback plugs or null-modem pairs (see plug.h).
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "plug.h"

namespace {

zplug::plug* running = nullptr;

void on_signal(int) {
    if (running) running->stop();
}

void usage(FILE* to) {
    std::fprintf(
        to,
        "usage: zentrel-plug --dir DIR [--count N] [--first F] [--null-modem] [--unpaced]\n"
        "                    [--corrupt RATE] [--drop RATE] [--drop-block RATE] [--seed N]\n"
        "\n"
        "Creates N pseudo-terminals whose slave ends appear as DIR/ttyV<F> ... DIR/ttyV<F+N-1>, and\n"
        "wires them on the master side. Run the analyzer with the device prefix DIR/ttyV and first\n"
        "port F. Prints \"ready: DIR/ttyV<F>..DIR/ttyV<F+N-1>\" once the ports exist; ends on SIGINT or\n"
        "SIGTERM, removes its links and prints what it counted.\n"
        "\n"
        "  --dir DIR       directory for the links (created if missing)\n"
        "  --count N       number of ports, 1 to 256 (default 16)\n"
        "  --first F       number of the first port (default 3)\n"
        "  --null-modem    wire pairs F<->F+1, F+2<->F+3, ... (N must be even) instead of a\n"
        "                  loopback plug on every port\n"
        "  --unpaced       move bytes as fast as the ports go, instead of at the rate each\n"
        "                  sending port has set (baud / 10 bytes per second in 8N1,\n"
        "                  baud / 11 in 8N2)\n"
        "  --corrupt RATE  probability per byte that it arrives with its top bit flipped,\n"
        "                  e.g. 1e-5 (default 0)\n"
        "  --drop RATE     probability per byte that it is lost, e.g. 1e-5 (default 0)\n"
        "  --drop-block RATE\n"
        "                  probability per block of 64 bytes that it is lost whole, as a lost\n"
        "                  USB packet (default 0)\n"
        "  --seed N        seed of the fault generator (default 1)\n"
        "  --help          this text\n");
}

}  // namespace

int main(int argc, char** argv) {
    zplug::options o;
    std::string error;
    switch (zplug::parse_args(argc, argv, &o, &error)) {
        case zplug::args_help:
            usage(stdout);
            return 0;
        case zplug::args_invalid:
            if (error.empty())
                usage(stderr);
            else
                std::fprintf(stderr, "zentrel-plug: %s\n", error.c_str());
            return 2;
        case zplug::args_ok:
            break;
    }
    try {
        zplug::plug p(o);
        running = &p;
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        std::printf("%s\n", p.ready_line().c_str());
        std::fflush(stdout);
        p.run();
        running = nullptr;
        for (int i = 0; i < o.count; i++) {
            zplug::port_counts n = p.counts(o.first + i);
            std::printf("%s: %llu bytes in, %llu corrupted, %llu dropped\n", p.link(o.first + i).c_str(),
                        static_cast<unsigned long long>(n.bytes),
                        static_cast<unsigned long long>(n.corrupted),
                        static_cast<unsigned long long>(n.dropped));
        }
        zplug::port_counts t = p.totals();
        std::printf("total: %llu bytes in, %llu corrupted, %llu dropped\n",
                    static_cast<unsigned long long>(t.bytes), static_cast<unsigned long long>(t.corrupted),
                    static_cast<unsigned long long>(t.dropped));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
