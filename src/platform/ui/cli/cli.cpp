// The command line shared by the platforms' entries.
//
// Options set the same settings the menus and dialogs set, through the same code: they become menu
// commands (WM_COMMAND ids) and scripted answers to the settings dialogs, posted once the main window
// exists. Batch mode runs the same program on the headless user interface and prints what the window
// would show.
#include "platform/ui/cli/cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "loop.h"
#include "model/chnl.h"
#include "platform/kernel/kernel.h"
#include "platform/serial/portlist.h"
#include "platform/ui/headless/headless.h"
#include "read.h"
#include "res/resources.h"
#include "verdict.h"
#include "wiring.h"
#include "zentrel.h"

namespace zentrel::cli {

volatile std::sig_atomic_t stop_requested = 0;

namespace {

namespace hl = ui::headless;

const options* req = nullptr;  // the options of the batch run

// Batch bookkeeping, window thread only.
int requested_count = 0;
bool started = false;
uint32_t run_start_tick = 0;

// The main window as the back end announced it (the program's own handle is stored a moment later).
ui::window_handle main_wnd = nullptr;

void post_command(uint32_t id) {
    ui::post_message(main_wnd, ui::wm_command, id, 0);
}

// Flushes standard output; when nobody reads it any more the run is ended as Ctrl-C ends it.
void flush_output() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        if (stop_requested == 0) stop_requested = 1;
}

std::string lines_of(const char* text) {
    std::string s(text ? text : "");
    for (auto& c : s)
        if (c == '\r') c = '\n';
    if (!s.empty() && s.back() != '\n') s += '\n';
    return s;
}

const char* const line_kind_names[line_counts::kinds] = {"framing", "parity", "hw_overrun", "buf_overrun",
                                                         "break"};
const char* const line_kind_words[line_counts::kinds] = {"framing", "parity", "hardware overrun",
                                                         "buffer overrun", "break"};

// One kind of line error over the channels of the run: the sum where the driver counts it.
bool line_total(int kind, uint64_t* sum) {
    bool any = false;
    *sum = 0;
    for (int i = 0; i < chnl_count; i++)
        if (chnls[i].line_errs.available[kind]) {
            any = true;
            *sum += chnls[i].line_errs.n[kind];
        }
    return any;
}

// A count, or the words for a driver that keeps none (never a 0 that was not counted).
std::string count_or_na(bool available, uint64_t n, bool json) {
    if (available) return std::to_string(n);
    return json ? "\"not available\"" : "not available";
}

std::string label_of(const chnl_struct* c) {
    char label[80];
    port_label(label, sizeof label, c->com_nbr);
    return label;
}

// CSV fields are plain numbers and port names; a name with a comma or quote is quoted.
std::string csv_field(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string o = "\"";
    for (char c : s) o += c == '"' ? std::string("\"\"") : std::string(1, c);
    return o + "\"";
}

constexpr char csv_header[] = "elapsed_ms,port,xmit,rcv,errs,ovlds,rate,txqueue\r\n";

void print_sample() {
    if (req->csv) {
        static bool header_done = false;
        if (!header_done) std::printf("%s", csv_header);
        header_done = true;
        const uint32_t elapsed = kern::tick_count() - run_start_tick;
        for (int i = 0; i < chnl_count; i++) {
            const chnl_struct* c = &chnls[i];
            if (c->out_time == c->out_time0) continue;  // no sample yet: the table shows no row either
            std::printf("%u,%s,%llu,%llu,%llu,%llu,%u,%llu\r\n", elapsed, csv_field(label_of(c)).c_str(),
                        static_cast<unsigned long long>(c->out_cur.get()),
                        static_cast<unsigned long long>(c->in_cur.get()),
                        static_cast<unsigned long long>(c->in_errs.get()),
                        static_cast<unsigned long long>(c->in_ovlds.get()),
                        chnl_rate(c->out_cur, c->out_time, c->out_time0),
                        static_cast<unsigned long long>(c->out_pending.get()));
        }
        flush_output();
        return;
    }
    if (req->json) {
        std::string o =
            "{\"type\":\"sample\",\"elapsed_ms\":" + std::to_string(kern::tick_count() - run_start_tick) +
            ",\"ports\":[";
        const int count = chnl_count;
        for (int i = 0; i < count; i++) {
            const chnl_struct* c = &chnls[i];
            char label[80];
            port_label(label, sizeof label, c->com_nbr);
            uint32_t t = c->out_time, t0 = c->out_time0;
            if (i) o += ",";
            o += "{\"port\":\"" + json_escape(label) + "\",\"sampled\":" + (t != t0 ? "true" : "false") +
                 ",\"xmit\":" + std::to_string(c->out_cur.get()) +
                 ",\"rcv\":" + std::to_string(c->in_cur.get()) +
                 ",\"errs\":" + std::to_string(c->in_errs.get()) +
                 ",\"ovlds\":" + std::to_string(c->in_ovlds.get()) +
                 ",\"rate\":" + std::to_string(chnl_rate(c->out_cur, t, t0)) +
                 ",\"rcv_rate\":" + std::to_string(chnl_rx_rate(c)) +
                 ",\"txqueue\":" + std::to_string(c->out_pending.get()) + headroom_fields(c, true) + "}";
        }
        o += "]}";
        std::printf("%s\n", o.c_str());
    } else {
        // The rows the window shows: header and the sampled channels.
        for (int r = 1; r <= 1 + max_chnls; r++) {
            std::string line = hl::row(r).substr(2);
            while (!line.empty() && line.back() == ' ') line.pop_back();
            if (!line.empty()) std::printf("%s\n", line.c_str());
        }
        std::printf("\n");
    }
    flush_output();
}

// The driver's line errors of the run: {"framing":N,...} per port and in total.
std::string line_errors_json(const line_counts* one) {
    std::string o = "{";
    for (int k = 0; k < line_counts::kinds; k++) {
        uint64_t n = 0;
        bool avail = one ? one->available[k] : line_total(k, &n);
        if (one) n = one->n[k];
        o += std::string(k ? "," : "") + "\"" + line_kind_names[k] + "\":" + count_or_na(avail, n, true);
    }
    return o + "}";
}

std::string line_errors_text(const line_counts* one) {
    std::string o;
    for (int k = 0; k < line_counts::kinds; k++) {
        uint64_t n = 0;
        bool avail = one ? one->available[k] : line_total(k, &n);
        if (one) n = one->n[k];
        o += std::string(k ? ", " : "") + line_kind_words[k] + " " + count_or_na(avail, n, false);
    }
    return o;
}

const char* drain_word() {
    switch (drain_state.get()) {
        case drain_exact:
            return "exact";
        case drain_incomplete:
            return "incomplete";
        case drain_hidden:
            return "hidden";
        default:
            return "none";
    }
}

// A port's reasons from the verdict, or "pass".
std::string reasons_text(int i) {
    char b[600];
    port_reasons(verdict.port[i], b, sizeof b);
    return b[0] ? b : "pass";
}

// A JSON array of the words of the bits set in `bits`.
std::string words_json(uint32_t bits, bool notes) {
    std::string o = "[";
    for (uint32_t k = 0; k < 32; k++) {
        const uint32_t bit = 1u << k;
        if (!(bits & bit)) continue;
        o += std::string(o.size() > 1 ? "," : "") + "\"" + (notes ? note_words(bit) : fail_words(bit)) + "\"";
    }
    return o + "]";
}

std::string lost_json(const port_verdict& v) {
    return v.lost_known ? std::to_string(v.lost) : "null";
}

// Per port: sent and received totals, lost, both rates and the verdict's findings, as one JSON array.
std::string port_totals_json() {
    std::string o = "[";
    for (int i = 0; i < verdict.count; i++) {
        const chnl_struct* c = &chnls[i];
        const port_verdict& v = verdict.port[i];
        char pct[32];
        std::snprintf(pct, sizeof pct, "%.2f", v.percent);
        o += std::string(i ? "," : "") + "{\"port\":\"" + json_escape(label_of(c)) +
             "\",\"passed\":" + (v.fails ? "false" : "true") + ",\"reasons\":" + words_json(v.fails, false) +
             ",\"notes\":" + words_json(v.notes, true) + ",\"sent\":" + std::to_string(v.sent) +
             ",\"received\":" + std::to_string(v.received) + ",\"lost\":" + lost_json(v) +
             ",\"xmit_rate\":" + std::to_string(v.xmit_rate) + ",\"rcv_rate\":" + std::to_string(v.rcv_rate) +
             ",\"percent\":" + pct + ",\"samples\":" + std::to_string(v.samples) +
             ",\"samples_missed\":" + std::to_string(v.missed) +
             ",\"no_data_received\":" + (v.fails & fail_silent ? "true" : "false") +
             ",\"gone_at_s\":" + (v.fails & fail_gone ? std::to_string(v.gone_s) : "null") +
             ",\"stalled_at_s\":" + (v.fails & fail_stalled ? std::to_string(v.stall_s) : "null") +
             ",\"overloaded\":" + (v.fails & fail_overloaded ? "true" : "false") +
             ",\"line_errors\":" + line_errors_json(&c->line_errs) + headroom_fields(c, true) + "}";
    }
    return o + "]";
}

// The ports whose verdict has `bit`, as a JSON array of names.
std::string ports_with(uint32_t bit, bool notes) {
    std::string o = "[";
    for (int i = 0; i < verdict.count; i++) {
        const port_verdict& v = verdict.port[i];
        if (!((notes ? v.notes : v.fails) & bit)) continue;
        o += std::string(o.size() > 1 ? "," : "") + "\"" + json_escape(label_of(&chnls[i])) + "\"";
    }
    return o + "]";
}

std::string verdict_json() {
    std::string stalled;
    for (int i = 0; i < verdict.count; i++)
        if (verdict.port[i].fails & fail_stalled)
            stalled += std::string(stalled.empty() ? "" : ",") + "{\"port\":\"" + json_escape(label_of(&chnls[i])) +
                       "\",\"at_s\":" + std::to_string(verdict.port[i].stall_s) + "}";
    return ",\"passed\":" + std::string(verdict.passed ? "true" : "false") +
           ",\"reasons\":" + words_json(verdict.fails, false) + ",\"notes\":" + words_json(verdict.notes, true) +
           ",\"not_run\":" + std::to_string(verdict.left_out) +
           ",\"no_data_received\":" + ports_with(fail_silent, false) + ",\"stalled\":[" + stalled +
           "],\"gone\":" + ports_with(fail_gone, false) + ",\"not_measured\":" + ports_with(fail_not_measured, false) +
           ",\"not_paced\":" + ports_with(note_not_paced, true) +
           ",\"data_compared\":" + (verdict.notes & note_unchecked ? "false" : "true") +
           ",\"overloaded\":" + (verdict.fails & fail_overloaded || verdict.monitor_late ? "true" : "false") +
           ",\"monitor_late\":" + std::to_string(verdict.monitor_late) + ",\"wiring\":" + wiring_json() +
           ",\"drain\":\"" + drain_word() + "\",\"headroom\":\"" + json_escape(headroom_line()) +
           "\",\"port_totals\":" + port_totals_json();
}

// The batch text's table of totals: what each port sent and got back, at what rates, and its result.
void print_totals() {
    std::printf("Port        Sent        Received    Lost        Xmit cps    Rcv cps     Result\n");
    for (int i = 0; i < verdict.count; i++) {
        const port_verdict& v = verdict.port[i];
        std::string lost = v.lost_known ? std::to_string(v.lost) : "?";
        std::printf("%-12s%-12llu%-12llu%-12s%-12u%-12u%s\n", label_of(&chnls[i]).c_str(),
                    static_cast<unsigned long long>(v.sent), static_cast<unsigned long long>(v.received),
                    lost.c_str(), v.xmit_rate, v.rcv_rate, reasons_text(i).c_str());
    }
    if (verdict.drain == drain_hidden)
        std::printf(
            "Lost: not told: this driver hides bytes in flight (a pty holds kilobytes), so sent reads "
            "high; a port fails when more than %llu bytes are missing\n",
            static_cast<unsigned long long>(hidden_bound));
    else if (verdict.drain == drain_incomplete)
        std::printf("Lost: not told: output was still held or queued when the drain ended\n");
}

void print_summary(const char* text) {
    const run_verdict& r = verdict;
    const int32_t baud = chnls[0].com_baud;
    char format[8];
    format_text(format, sizeof format, com_format.get());
    if (req->json) {
        char b[256];
        std::snprintf(b, sizeof b,
                      "{\"type\":\"summary\",\"average_cps\":%llu,\"percent\":%.2f,\"data_errors\":%llu,"
                      "\"queue_overruns\":%llu,\"ports\":%d,\"baud\":%d,\"format\":\"%s\"",
                      static_cast<unsigned long long>(r.average_cps), r.percent,
                      static_cast<unsigned long long>(r.data_errors),
                      static_cast<unsigned long long>(r.queue_overruns), r.count, baud, format);
        std::string o = b;
        o += ",\"line_errors\":" + line_errors_json(nullptr) + verdict_json();
        std::printf("%s}\n", o.c_str());
    } else if (req->csv) {
        // The summary as trailing rows of their own table, after an empty row: spreadsheets show it
        // under the samples, and a reader tells the rows apart by their first field.
        std::printf("\r\nsummary,port,average_cps,percent,data_errors,queue_overruns,baud,format");
        for (const char* k : line_kind_names) std::printf(",%s", k);
        std::printf(",sent,received,lost,passed,reasons,rx_queue_peak,rx_queue_size,read_gap_max_ms");
        std::printf("\r\nsummary,all,%llu,%.2f,%llu,%llu,%d,%s", static_cast<unsigned long long>(r.average_cps),
                    r.percent, static_cast<unsigned long long>(r.data_errors),
                    static_cast<unsigned long long>(r.queue_overruns), baud, format);
        uint64_t sent = 0, rcvd = 0, lost = 0;
        bool lost_known = r.count > 0;
        for (int i = 0; i < r.count; i++) {
            sent += r.port[i].sent;
            rcvd += r.port[i].received;
            lost += r.port[i].lost;
            lost_known = lost_known && r.port[i].lost_known;
        }
        for (int k = 0; k < line_counts::kinds; k++) {
            uint64_t n = 0;
            bool avail = line_total(k, &n);
            std::printf(",%s", count_or_na(avail, n, false).c_str());
        }
        std::string run_reasons;
        if (r.monitor_late) run_reasons = "sampling late " + std::to_string(r.monitor_late) + " times";
        for (int i = 0; i < r.count; i++)
            if (r.port[i].fails)
                run_reasons += (run_reasons.empty() ? "" : "; ") + label_of(&chnls[i]) + ": " + reasons_text(i);
        std::printf(",%llu,%llu,%s,%s,%s", static_cast<unsigned long long>(sent),
                    static_cast<unsigned long long>(rcvd), lost_known ? std::to_string(lost).c_str() : "",
                    r.passed ? "true" : "false", csv_field(run_reasons.empty() ? "pass" : run_reasons).c_str());
        if (int w = headroom_worst(); w >= 0) std::printf("%s", headroom_fields(&chnls[w], false).c_str());
        for (int i = 0; i < r.count; i++) {
            const chnl_struct* c = &chnls[i];
            const port_verdict& v = r.port[i];
            std::printf("\r\nsummary,%s,%u,%.2f,%llu,%llu,%d,%s", csv_field(label_of(c)).c_str(), v.rate,
                        v.percent, static_cast<unsigned long long>(c->in_errs.get()),
                        static_cast<unsigned long long>(c->in_ovlds.get()), baud, format);
            for (int k = 0; k < line_counts::kinds; k++)
                std::printf(",%s", count_or_na(c->line_errs.available[k], c->line_errs.n[k], false).c_str());
            std::printf(",%llu,%llu,%s,%s,%s", static_cast<unsigned long long>(v.sent),
                        static_cast<unsigned long long>(v.received), v.lost_known ? std::to_string(v.lost).c_str() : "",
                        v.fails ? "false" : "true", csv_field(reasons_text(i)).c_str());
            std::printf("%s", headroom_fields(c, false).c_str());
        }
        std::printf("\r\n");
    } else {
        std::printf("%s", lines_of(text).c_str());
        std::printf("Line errors (driver): %s\n", line_errors_text(nullptr).c_str());
        if (chnl_count > 1)
            for (int i = 0; i < chnl_count; i++)
                if (chnls[i].line_errs.total() > 0)
                    std::printf("  %s: %s\n", label_of(&chnls[i]).c_str(),
                                line_errors_text(&chnls[i].line_errs).c_str());
        print_totals();
        std::printf("Wiring found:");
        for (int i = 0; i < r.count; i++) {
            const int32_t from = chnls[i].wire_from;
            std::string src = from >= 0 && from < r.count ? label_of(&chnls[from])
                              : from == wire_foreign      ? "another program"
                              : from == wire_several      ? "several"
                              : from == wire_untested     ? "not tested"
                                                          : "nothing";
            std::printf(" %s<-%s", label_of(&chnls[i]).c_str(), src.c_str());
        }
        std::printf("\n%s%s\n", headroom_table().c_str(), headroom_line().c_str());
        std::printf("Result: %s\n", r.passed ? "pass" : "FAIL");
    }
    flush_output();
}

void batch_present(ui::window_handle) {
    static int last_paints = 0;
    if (hl::paints() == last_paints) return;  // title or menu changes draw nothing
    last_paints = hl::paints();
    if (loop_running) print_sample();
}

int batch_box(ui::window_handle, const char* text, const char*) {
    // The run's summary goes to the output; every other box is a diagnostic.
    char summary[summary_size];
    loop_summary_text(summary, sizeof summary);
    if (!loop_running && std::strcmp(summary, text) == 0) {
        print_summary(text);
        ui::post_message(main_wnd, ui::wm_close, 0, 0);
    } else {
        std::fprintf(stderr, "zentrel: %s", lines_of(text).c_str());
    }
    return ui::id_ok;
}

int batch_thread_box(ui::window_handle, const char* text, const char*) {
    std::fprintf(stderr, "zentrel: %s", lines_of(text).c_str());
    return ui::id_ok;
}

void batch_wait(uint32_t clock_ms) {
    if (stop_requested == 1) {
        stop_requested = 2;
        if (loop_running)
            std::fprintf(stderr, "zentrel: stopping: the lines drain for a few seconds (interrupt again to skip)\n");
        // Ctrl-C ends the run as Stop does: summary, then the end.
        if (loop_running)
            post_command(cmd_stop);
        else
            ui::post_message(main_wnd, ui::wm_close, 0, 0);
        return;
    }
    hl::wait_queue(clock_ms < 100 ? clock_ms : 100);
}

void before_start(void*) {
    requested_count = chnl_count;
}

void after_start(void*) {
    started = loop_running != 0;
    run_start_tick = kern::tick_count();
    if (!started) ui::post_message(main_wnd, ui::wm_close, 0, 0);
}

void batch_created(ui::window_handle w) {
    main_wnd = w;
    apply(*req, w);
    hl::post_task(before_start, nullptr);
    post_command(cmd_start);
    hl::post_task(after_start, nullptr);
}

int run_batch_impl() {
    hl::backend b;
    b.created = batch_created;
    b.present = batch_present;
    b.box = batch_box;
    b.thread_box = batch_thread_box;
    b.wait = batch_wait;
    hl::set_backend(b);
    hl::set_box_echo(false);
    // The lines drain before the ports close, so that sent and received balance to the byte.
    drain_at_stop = 1;
    WinMain(nullptr, nullptr, req->first.c_str(), ui::sw_shownormal);
    drain_at_stop = 0;
    if (!started || chnl_count < requested_count) return exit_port_failed;
    // The verdict alone decides: the same result the summary, JSON and CSV show.
    return verdict.passed ? exit_clean : exit_data_errors;
}

}  // namespace

namespace {

// Length of the well-formed UTF-8 sequence at p (n bytes left), or 0 when there is none.
size_t utf8_length(const unsigned char* p, size_t n) {
    const unsigned char c = p[0];
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;  // no overlong forms
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (n < len || p[1] < lo || p[1] > hi) return 0;
    for (size_t i = 2; i < len; i++)
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    return len;
}

}  // namespace

std::string json_escape(const std::string& s) {
    // Device names are bytes, JSON text is UTF-8: a byte that starts no well-formed sequence is
    // written as the code point of the same number (\u0080...\u00ff), so the line stays valid JSON.
    std::string o;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        char b[8];
        if (c == '"' || c == '\\') {
            o += '\\';
            o += static_cast<char>(c);
        } else if (c < 0x20) {
            std::snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
        } else if (c < 0x80) {
            o += static_cast<char>(c);
        } else if (size_t len = utf8_length(p + i, n - i)) {
            o.append(s, i, len);
            i += len;
            continue;
        } else {
            std::snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
        }
        i++;
    }
    return o;
}

void apply(const options& o, ui::window_handle w) {
    main_wnd = w;
    if (o.baud_cmd) post_command(static_cast<uint32_t>(o.baud_cmd));
    // Any other rate is stored as the Speed menu stores its own; the program is idle here.
    if (o.baud) set_bauds(o.baud);
    if (o.flow_cmd) post_command(static_cast<uint32_t>(o.flow_cmd));
    if (o.loopback) post_command(cmd_loopback_set);
    if (o.no_verify) post_command(cmd_no_verify);
    wiring_expect = o.wiring;
    if (o.count) {
        hl::script_dialog({{o.count->c_str(), ui::id_ok}});
        post_command(cmd_count);
    }
    if (o.minutes) {
        hl::script_dialog({{o.minutes->c_str(), ui::id_ok}});
        post_command(cmd_time);
    }
    if (o.format) {
        hl::script_dialog({{o.format->c_str(), ui::id_ok}});
        post_command(cmd_format);
    }
}

int run_batch(const options& o) {
    req = &o;
    const int code = run_batch_impl();
    req = nullptr;
    return code;
}

int parse(int argc, char** argv, const char* default_prefix, options& o) {
    CLI::App app{"Zentrel - Serial I/O Performance Analyzer", ser::program_name};
    int count = 0, minutes = 0;
    int64_t baud = 0;
    std::string flow, format;
    bool version = false;
    o.prefix = default_prefix;

    app.add_option("FIRST", o.first, "first port number (default 3)");
    auto* count_opt = app.add_option("-n,--count", count, "number of ports, 1 to 16");
    auto* baud_opt =
        app.add_option(
               "-b,--baud", baud,
               "baud rate: the Speed menu's 9600 ... 921600, or any other rate the driver sets exactly")
            ->check(CLI::Range(int64_t{1}, int64_t{INT32_MAX}));
    app.add_option("-f,--flow", flow, "flow control")
        ->check(CLI::IsMember({"none", "xonxoff", "dtrdsr", "rtscts"}));
    auto* format_opt = app.add_option("--format", format,
                                      "line format: data bits 5-8, parity N E O M S, stop bits 1, 1.5 or 2 "
                                      "(default 8N1; e.g. 7E1, 8N2)");
    app.add_flag("-l,--internal-loopback", o.loopback, "loop every port back inside the board");
    app.add_flag("--no-verify", o.no_verify, "do not compare received data with the pattern");
    std::string wiring = "any";
    app.add_option("--wiring", wiring,
                   "the wiring every port must have: loopback (each port receives its own data), pairs "
                   "(null-modem pairs), any (either; default)")
        ->check(CLI::IsMember({"loopback", "pairs", "any"}));
    auto* time_opt = app.add_option("-t,--time", minutes, "time limit in minutes (0: none)");
    auto* secs_opt = app.add_option("--seconds", o.seconds, "time limit in seconds, for short runs")
                         ->check(CLI::Range(1, max_time_limit_secs));
    auto* prefix_opt = app.add_option("-d,--device-prefix", o.prefix, "device path before the port number")
                           ->capture_default_str();
    auto* virtual_opt = app.add_option("--virtual", o.virtual_config,
                                       "use the built-in virtual board (--virtual=CONFIG: its configuration)")
                            ->expected(0, 1);
    app.add_flag("--allow-console", o.allow_console,
                 "use a port even when the system console runs on it (refused otherwise)");
    app.add_flag("--batch", o.batch,
                 "no window: start at once, stop at the time limit or on Ctrl-C, print a summary");
    app.add_flag("--json", o.json,
                 "with --batch: one JSON object per second and one for the summary; with --list: the list");
    app.add_flag("--csv", o.csv,
                 "with --batch: comma-separated rows, one per port per second, then the summary")
        ->excludes("--json");
    app.add_flag("--list", o.list,
                 "list the serial ports of this system (with -d: also the device files PREFIX<n>) and exit");
    app.add_flag("-V,--version", version, "show the version");
    secs_opt->excludes(time_opt);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::printf("%s", app.help().c_str());
        std::printf(
            "\nExit codes in batch mode: 0 the run passed: every port measured, present and receiving to\n"
            "the end, every byte back and nothing more, clean; 1 it did not (the summary names each\n"
            "port and why: data errors, overruns, line errors, no data, stalled, gone, lost, not\n"
            "measured, overloaded); 2 a port could not be opened or configured as asked; 64 usage error.\n");
        return exit_clean;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "zentrel: %s\nRun '%s --help' for the options.\n", e.what(), ser::program_name);
        return exit_usage;
    }
    if (version) {
        std::printf("zentrel %s (%s)\n%s\n", res::version_value("FileVersion"),
                    res::version_value("CompanyName"), res::version_value("LegalCopyright"));
        return exit_clean;
    }
    if (o.list) {
        if (o.batch) {
            std::fprintf(stderr, "zentrel: --list does not run: leave out --batch\n");
            return exit_usage;
        }
        auto ports = ser::list_ports(*prefix_opt ? o.prefix : std::string());
        std::printf("%s", (o.json ? ser::list_json(ports) : ser::list_text(ports)).c_str());
        return exit_clean;
    }
    if ((o.json || o.csv) && !o.batch) {
        std::fprintf(stderr, "zentrel: --%s needs --batch\n", o.json ? "json" : "csv");
        return exit_usage;
    }
    if (o.json && !o.batch) {
        std::fprintf(stderr, "zentrel: --json needs --batch\n");
        return exit_usage;
    }
    if (o.seconds && !o.batch) {
        std::fprintf(stderr, "zentrel: --seconds needs --batch\n");
        return exit_usage;
    }
    // FIRST's leading number, as the program reads it: every port of the run must have a number that
    // loop start's result (100 + the number) can still carry.
    {
        const char* p = o.first.c_str();
        while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
        errno = 0;
        char* end = nullptr;
        long long first = std::strtoll(p, &end, 10);
        long long ports = *count_opt ? std::clamp(count, 1, static_cast<int>(max_chnls)) : max_chnls;
        if (end != p && (errno == ERANGE || first < INT32_MIN || first + ports - 1 > INT32_MAX - 100)) {
            std::fprintf(stderr, "zentrel: FIRST %s: beyond any port number\n", o.first.c_str());
            return exit_usage;
        }
    }
    for (int i = 0; i < 9; i++)
        if (*baud_opt && baud == speed_rates[i]) o.baud_cmd = static_cast<int>(cmd_baud_first) + i;
    if (*baud_opt && !o.baud_cmd) o.baud = static_cast<int32_t>(baud);
    const char* flows[] = {"none", "xonxoff", "dtrdsr", "rtscts"};
    for (int i = 0; i < 4; i++)
        if (flow == flows[i]) o.flow_cmd = static_cast<int>(cmd_flow_first) + i;
    if (*count_opt) o.count = std::to_string(count);
    o.wiring = wiring == "loopback" ? wiring_loopback : wiring == "pairs" ? wiring_pairs : wiring_any;
    if (*time_opt) o.minutes = std::to_string(minutes);
    if (*format_opt) {
        line_format f;
        if (!parse_format(format.c_str(), &f)) {
            std::fprintf(
                stderr,
                "zentrel: --format: '%s' is not a line format (data bits 5-8, parity N E O M S, stop "
                "bits 1, 1.5 or 2: 8N1, 7E1, 8N2)\n",
                format.c_str());
            return exit_usage;
        }
        if (f.data < verify_min_data_bits && !o.no_verify) {
            std::fprintf(stderr,
                         "zentrel: --format %s: the data check needs 7 or 8 data bits (the test pattern does "
                         "not fit in %d); add --no-verify to run without it\n",
                         format.c_str(), f.data);
            return exit_usage;
        }
        o.format = format;
    }
    o.use_virtual = virtual_opt->count() > 0;
    return -1;
}

int prepare(const options& o, std::unique_ptr<vboard::board>& board, bool (*install_devices)()) {
    time_limit_secs = o.seconds;
    if (o.use_virtual) {
        try {
            board = std::make_unique<vboard::board>(o.virtual_config);
        } catch (const std::invalid_argument& e) {
            std::fprintf(stderr, "zentrel: virtual board: %s\n", e.what());
            return exit_usage;
        }
        return -1;
    }
    // A port path is the prefix and the number; it must fit the channel record's path field.
    if (o.prefix.empty() || o.prefix.size() + 12 > static_cast<size_t>(com_link_size)) {
        std::fprintf(stderr,
                     "zentrel: device prefix '%s' is too long for a port path (at most %d characters)\n",
                     o.prefix.c_str(), com_link_size - 12);
        return exit_usage;
    }
    std::snprintf(devLink, sizeof devLink, "%s", o.prefix.c_str());
    if (!install_devices || !install_devices())
        std::fprintf(stderr, "zentrel: no serial device backend in this build; use --virtual\n");
    return -1;
}

}  // namespace zentrel::cli
