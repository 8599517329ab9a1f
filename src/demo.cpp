// A short run of the engine on the virtual board: once a second the figures of every port, then the
// summary. (The whole program with its window and batch mode replaces this.)
#include <cstdio>
#include <cstring>

#include "loop.h"
#include "model/chnl.h"
#include "platform/serial/virtual/vboard.h"
#include "write.h"

using namespace zentrel;

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    vboard::board board;
    chnls_startup("3");
    std::printf("Virtual board: COM3...COM18 at %d baud, Xon/Xoff, external loopback plugs, %d s\n",
                chnls[0].com_baud.get(), seconds);
    bool none = true;
    int r = loop_init(&none);
    if (none) {
        std::printf("loop start failed: %d\n", r);
        return 2;
    }
    loop_running = 1;
    for (int s = 1; s <= seconds; s++) {
        kern::sleep(1000);
        wrmon_watchdog();
        std::printf("\n%2d s  Port        Xmit        Rcv         Errs        Rate        TxQueue\n", s);
        for (int i = 0; i < chnl_count; i++) {
            const chnl_struct& c = chnls[i];
            if (c.out_time == c.out_time0) continue;
            char errs[48];
            std::snprintf(errs, sizeof errs, "%llu/%llu", static_cast<unsigned long long>(c.in_errs.get()),
                          static_cast<unsigned long long>(c.in_ovlds.get()));
            std::printf("      COM%-9d%-12llu%-12llu%-12s%-12u%llu\n", c.com_nbr.get(),
                        static_cast<unsigned long long>(c.out_cur.get()),
                        static_cast<unsigned long long>(c.in_cur.get()), errs,
                        chnl_rate(c.out_cur, c.out_time, c.out_time0),
                        static_cast<unsigned long long>(c.out_pending.get()));
        }
    }
    loop_running = 0;
    loop_fini();
    char text[200];
    loop_summary_text(text, sizeof text);
    for (char* p = text; *p; p++)
        if (*p == '\r') *p = '\n';
    std::printf("\nSummary:\n%s", text);
    return 0;
}
