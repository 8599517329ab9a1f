// The command line both platforms' entries share: options to the operator's own commands, batch mode
// and its text and JSON output. Only signals, terminals and the choice of serial backend stay with
// each platform's entry.
#pragma once

#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/serial/virtual/vboard.h"
#include "platform/ui/ui.h"

namespace zentrel::cli {

constexpr int exit_clean = 0;
constexpr int exit_data_errors = 1;
constexpr int exit_port_failed = 2;
constexpr int exit_usage = 64;

// What the options ask for, applied once the main window exists.
struct options {
    std::string first;  // first port text, as typed
    int baud_cmd = 0;   // 501..509, 0: default
    int32_t baud = 0;   // a rate outside the Speed menu, set as the menu sets its own; 0: none
    int flow_cmd = 0;   // 601..604, 0: default
    bool loopback = false;
    bool no_verify = false;
    int32_t wiring = 0;  // the wiring_ setting of --wiring (0: any)
    std::optional<std::string> count, minutes, format;  // dialog answers, as typed
    int seconds = 0;
    bool batch = false;
    bool json = false;
    bool csv = false;    // with batch: comma-separated rows instead of the table
    bool list = false;   // list the system's serial ports instead of running
    std::string prefix;  // device path before the port number
    bool use_virtual = false;
    std::string virtual_config;
    bool allow_console = false;  // the system console's tty may be used as a port
};

// Set by a signal or console handler: the run ends as Stop (batch) or the close box (window) ends it.
extern volatile std::sig_atomic_t stop_requested;

// Parses argv into `o`. Returns -1 to go on, or the exit code when there is nothing to run (help,
// version, usage error), after printing what the operator asked for or what was wrong.
int parse(int argc, char** argv, const char* default_prefix, options& o);

// Applies the parsed options that come before the window: the time limit in seconds, the virtual
// board (kept in `board` for the run) or the device prefix with the platform's device backend
// (`install_devices` returns false when the build has none). Returns -1 to go on, or an exit code.
int prepare(const options& o, std::unique_ptr<vboard::board>& board, bool (*install_devices)());

// The options as the operator's own commands, queued on the new main window ahead of everything else.
void apply(const options& o, ui::window_handle main_wnd);

// Runs the program without a window on the headless interface: start at once, stop at the time limit
// or when stop_requested is set, print once a second and the summary. Returns the batch exit code.
int run_batch(const options& o);

// Text for JSON strings: quotes, backslashes and control characters escaped; bytes that are not
// UTF-8 as \u0080...\u00ff.
std::string json_escape(const std::string& s);

}  // namespace zentrel::cli
