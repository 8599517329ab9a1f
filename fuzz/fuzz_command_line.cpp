// The command line: any arguments are refused with a usage code, or become the operator's commands
// on a new main window, which leave the settings the menus and dialogs allow and the ports numbered
// from the first-port text.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_shell.h"
#include "fuzz_util.h"
#include "platform/serial/virtual/vboard.h"
#include "platform/ui/cli/cli.h"

using namespace zentrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_args a("zentrel", data, size);
    // Listing reads the system's ports: slow, and not the parse this target is about.
    for (const std::string& w : a.words)
        if (w.find("-li") != std::string::npos) return 0;
    cli::options o;
    int code = cli::parse(a.argc(), a.argv.data(), "/dev/ttyS", o);
    if (code != -1) {
        FUZZ_CHECK(code == cli::exit_clean || code == cli::exit_usage);
        return 0;
    }
    FUZZ_CHECK(!(o.json && o.csv));
    FUZZ_CHECK(!((o.json || o.csv || o.seconds) && !o.batch));
    FUZZ_CHECK(o.seconds >= 0 && o.seconds <= max_time_limit_secs);
    std::unique_ptr<vboard::board> board;
    code = cli::prepare(o, board, nullptr);
    time_limit_secs = 0;
    if (code != -1) {
        FUZZ_CHECK(code == cli::exit_usage);
        return 0;
    }
    FUZZ_CHECK(std::strlen(devLink) + 12 <= static_cast<size_t>(com_link_size));
    fuzz_shell::run(o.first.c_str(), [&](ui::window_handle w) { cli::apply(o, w); });
    FUZZ_CHECK(loop_running == 0);
    FUZZ_CHECK(chnl_count >= 1 && chnl_count <= max_chnls);
    FUZZ_CHECK(time_limit >= 0 && time_limit <= max_time_limit);
    int32_t first = 3;
    if (!scan_int(o.first.c_str(), &first)) first = 3;
    FUZZ_CHECK(fuzz_shell::numbered_from(first));
    if (o.count) {
        long long n = std::stoll(*o.count);
        FUZZ_CHECK(chnl_count == (n > max_chnls ? max_chnls : n < 1 ? 1 : n));
    }
    if (o.minutes) {
        long long m = std::stoll(*o.minutes);
        FUZZ_CHECK(time_limit == (m > max_time_limit ? max_time_limit : m < 0 ? 0 : m));
    }
    const int32_t baud = chnls[0].com_baud;
    if (o.baud_cmd) FUZZ_CHECK(baud == speed_rates[o.baud_cmd - static_cast<int>(cmd_baud_first)]);
    if (o.baud) FUZZ_CHECK(baud == o.baud);
    if (!o.baud_cmd && !o.baud) FUZZ_CHECK(baud == 115200);
    if (o.flow_cmd) FUZZ_CHECK(chnls[0].com_flow == o.flow_cmd - static_cast<int>(cmd_flow_first));
    FUZZ_CHECK(internal_loopback == (o.loopback ? 1 : 0));
    FUZZ_CHECK(data_check == (o.no_verify ? 0 : 1));
    // A format is taken only as the dialog reads it, and a word too narrow for the pattern only unchecked.
    line_format f;
    if (o.format)
        FUZZ_CHECK(parse_format(o.format->c_str(), &f) && (f.data >= verify_min_data_bits || o.no_verify));
    FUZZ_CHECK(com_format.get() == f);
    return 0;
}
