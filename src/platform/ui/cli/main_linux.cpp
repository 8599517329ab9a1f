// The program's entry on Linux: signals, the terminal, and the serial backend for device files.
// The command line itself and batch mode are shared with the other platforms (cli.h).
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "model/chnl.h"
#include "platform/ui/cli/cli.h"
#include "platform/ui/curses/curses_ui.h"
#include "zentrel.h"

#ifdef ZENTREL_HAVE_TERMIOS
#include "platform/serial/termios/termios_backend.h"
#endif

namespace {

using namespace zentrel;

cli::options opts;

void on_signal(int) {
    // A second interrupt while the run stops: the operator will not wait for the drain.
    if (cli::stop_requested != 0) zentrel::drain_cut = 1;
    cli::stop_requested = 1;
}

void install_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // A closed output (`| head`) must not kill the program with its ports still configured: the
    // failed write ends the run instead.
    std::signal(SIGPIPE, SIG_IGN);
}

// Real serial devices: the Linux backend serves paths beginning with '/'.
bool install_device_backend() {
#ifdef ZENTREL_HAVE_TERMIOS
    ser::termios_backend_install();
    ser::termios_allow_console(opts.allow_console);
    return true;
#else
    return false;
#endif
}

void window_created(ui::window_handle w) {
    cli::apply(opts, w);
}

}  // namespace

int main(int argc, char** argv) {
    int code = cli::parse(argc, argv, "/dev/ttyS", opts);
    if (code >= 0) return code;
    std::unique_ptr<vboard::board> board;
    code = cli::prepare(opts, board, install_device_backend);
    if (code >= 0) return code;

    install_signals();
    if (opts.batch) {
        code = cli::run_batch(opts);
    } else if (!isatty(STDOUT_FILENO) || !isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "zentrel: the window needs a terminal; use --batch for an unattended run\n");
        code = cli::exit_usage;
    } else {
        code = ui::term::run(
            window_created, &cli::stop_requested,
            [](const char* cmdline) { return WinMain(nullptr, nullptr, cmdline, ui::sw_shownormal); },
            opts.first.c_str());
    }
    board.reset();
    return code;
}
