// The console program on Windows (zentrel-cli.exe): the Linux command line as it stands, batch mode
// and JSON, on the virtual board or the system's COM ports. Ctrl-C, Ctrl-Break and closing the
// console end the run as Stop does; the window program is zentrel.exe.
#include "platform/serial/win32/win32_backend.h"
#include "platform/ui/cli/cli.h"
// The project's headers first: windows.h defines macros that clash with some of their names.
#include <windows.h>

#include <cstdio>

namespace {

using namespace zentrel;

cli::options opts;
// Signalled once the run has ended and its ports are closed: a closing console waits for it.
HANDLE finished = nullptr;

BOOL WINAPI on_console_event(DWORD type) {
    cli::stop_requested = 1;
    // After a close, logoff or shutdown event the system ends the process as soon as this handler
    // returns: give the run the few seconds it is allowed to put its ports back first.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(finished, 4500);
    return TRUE;
}

bool install_device_backend() {
    ser::win32_backend_install();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
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
    code = cli::run_batch(opts);
    board.reset();
    SetEvent(finished);
    return code;
}
