// The console program on Windows (zentrel-cli.exe): the Linux command line as it stands, batch mode
// and JSON, on the virtual board or the system's COM ports. Ctrl-C, Ctrl-Break and closing the
// console end the run as Stop does; the window program is zentrel.exe.
#include "model/chnl.h"
#include "platform/serial/win32/win32_backend.h"
#include "platform/serial/portlist.h"
#include "platform/ui/cli/cli.h"
// The project's headers first: windows.h defines macros that clash with some of their names.
#include <windows.h>

#include <cstdio>

namespace {

using namespace zentrel;

cli::options opts;
// Signalled once the run has ended and its ports are closed: a closing console waits for it.
HANDLE finished = nullptr;

// What the system gives a console program after a close, logoff or shutdown event (5 s), less a margin.
constexpr DWORD close_grace_ms = 4500;

BOOL WINAPI on_console_event(DWORD type) {
    bool closing = type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
    // The system ends the process as soon as this handler returns, and at the latest 5 s after the
    // event: the stop alone (at most 3 s) fits in that, a drain of the lines first (up to 5 s more)
    // does not, so a closing console skips it and the summary keeps the last sample's figures.
    if (closing) drain_at_stop = 0;
    cli::stop_requested = 1;
    if (closing) WaitForSingleObject(finished, close_grace_ms);
    return TRUE;
}

bool install_device_backend() {
    ser::win32_backend_install();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    ser::program_name = "zentrel-cli";
    int code = cli::parse(argc, argv, "\\\\.\\COM", opts);
    if (code >= 0) return code;
    std::unique_ptr<vboard::board> board;
    code = cli::prepare(opts, board, install_device_backend);
    if (code >= 0) return code;
    if (!opts.batch) {
        std::fprintf(stderr, "zentrel: the window is zentrel.exe; use --batch for an unattended run\n");
        return cli::exit_usage;
    }
    finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    // An unattended run keeps the machine awake (not the display) until it ends.
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    code = cli::run_batch(opts);
    SetThreadExecutionState(ES_CONTINUOUS);
    board.reset();
    SetEvent(finished);
    return code;
}
