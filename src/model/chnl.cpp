#include "model/chnl.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace zentrel {

chnl_struct chnls[max_chnls];

shared<int32_t> chnl_count{16};
shared<int32_t> loop_running{0};
shared<int32_t> loop_screen_clear{1};
shared<int32_t> time_limit{0};
shared<int32_t> internal_loopback{0};
shared<int32_t> data_check{1};
shared<int32_t> wiring_expect{0};
char devLink[com_link_size] = "\\\\.\\COM";
const char szProgName[] = "Zentrel";
const char szIconName[] = "loopIcon";

kern::thread_handle read_thrd_hndl[max_chnls];
uint32_t read_thrd_id[max_chnls];
kern::thread_handle write_thrd_hndl[max_chnls];
uint32_t write_thrd_id[max_chnls];
kern::thread_handle ovld_thrd_hndl[max_chnls];
uint32_t ovld_thrd_id[max_chnls];
shared<kern::thread_handle> wrmon_thrd_hndl{nullptr};
uint32_t wrmon_thrd_id;
shared<uint32_t> stop_count{0};
shared<uint32_t> run_stop_mark{0};
shared<uint32_t> mon_late{0};
shared<uint32_t> rx_priority_refused{0};
shared<int32_t> drain_at_stop{0};
shared<int32_t> drain_state{drain_none};
shared<int32_t> drain_cut{0};
shared<uint32_t> run_end_tick{0};
shared<int32_t> chnl_asked{0};
ui::window_handle hwnd;

void set_bauds(int32_t nubaud) {
    for (auto& c : chnls) c.com_baud = nubaud;
}

void set_flows(int32_t nuflow) {
    for (auto& c : chnls) c.com_flow = nuflow;
}

shared<uint32_t> offered_baud;
char open_fail_reason[open_fail_reason_size];
shared<line_format> com_format;

namespace {
const char parity_letters[] = "NOEMS";
}  // namespace

bool parse_format(const char* text, line_format* f) {
    if (!text) return false;
    line_format r;
    const char* p = text;
    while (*p == ' ') p++;
    if (*p < '5' || *p > '8') return false;
    r.data = static_cast<uint8_t>(*p++ - '0');
    // The letters in the order of the driver's parity codes.
    const char* letter =
        *p ? std::strchr(parity_letters, std::toupper(static_cast<unsigned char>(*p))) : nullptr;
    if (!letter) return false;
    r.parity = static_cast<uint8_t>(letter - parity_letters);
    p++;
    if (p[0] == '1' && p[1] == '.' && p[2] == '5') {
        r.stop = ser::STOP_BITS_1_5;
        p += 3;
    } else if (*p == '1' || *p == '2') {
        r.stop = *p++ == '1' ? ser::STOP_BIT_1 : ser::STOP_BITS_2;
    } else {
        return false;
    }
    while (*p == ' ') p++;
    if (*p) return false;
    *f = r;
    return true;
}

void format_text(char* buf, int size, const line_format& f) {
    const char* stop = f.stop == ser::STOP_BITS_1_5 ? "1.5" : f.stop == ser::STOP_BITS_2 ? "2" : "1";
    char p = f.parity < sizeof parity_letters - 1 ? parity_letters[f.parity] : '?';
    std::snprintf(buf, static_cast<size_t>(size), "%u%c%s", static_cast<unsigned>(f.data), p, stop);
}

uint32_t char_half_bits(const line_format& f) {
    uint32_t stop_halves = f.stop == ser::STOP_BITS_1_5 ? 3 : f.stop == ser::STOP_BITS_2 ? 4 : 2;
    return 2u * (1u + f.data + (f.parity != ser::NO_PARITY ? 1u : 0u)) + stop_halves;
}

double line_capacity_cps(int32_t baud) {
    if (baud <= 0) return 0.0;
    return static_cast<double>(baud) * 2.0 / char_half_bits(com_format);
}

uint64_t line_counts::total() const {
    uint64_t t = 0;
    for (int k = 0; k < kinds; k++)
        if (available[k]) t += n[k];
    return t;
}

void chnls_zero() {
    for (auto& c : chnls) {
        c.line_base = c.line_errs = {};
        c.com_nbr = 0;
        std::memset(c.com_link, 0, sizeof c.com_link);
        c.com_hndl = 0;
        c.com_baud = 0;
        c.com_flow = 0;
        c.out_cur = 0;
        c.out_posted = 0;
        c.out_pending = 0;
        c.out_time0 = 0;
        c.out_time = 0;
        c.out_time_last = 0;
        c.out_running = 0;
        c.in_cur = 0;
        c.in_count = 0;
        c.in_nextchar = 0;
        c.in_errs = 0;
        c.in_ovlds = 0;
        c.in_loops = 0;
        c.mon_loops = 0;
        c.in_last_rx = 0;
        c.mon_in_loops = 0;
        c.in_starved = 0;
        c.in_stalled = 0;
        c.in_stall_at = 0;
        c.in_q_size = 0;
        c.in_q_peak = 0;
        c.in_gap_max = 0;
        c.out_total = 0;
        c.in_total = 0;
        chnl_evidence_reset(&c);
        c.mon_ov = {};
        c.mon_stat = {};
    }
}

void chnl_evidence_reset(chnl_struct* c) {
    c->mon_samples = 0;
    c->mon_missed = 0;
    c->in_last_read = 0;
    c->in_unchecked = 0;
    c->in_gone = c->in_gone_at = 0;
    c->out_gone = c->out_gone_at = 0;
    c->mon_gone = c->mon_gone_at = 0;
    c->com_hides = 0;
    c->out_drained = 0;
    c->mon_busy = 0;
}

uint32_t jitter_allowance(uint32_t clock_ms, uint32_t real_ms) {
    double scaled = real_ms * kern::clock_scale();
    return clock_ms > scaled ? clock_ms : static_cast<uint32_t>(scaled);
}

void chnls_number(int32_t first) {
    // Unsigned arithmetic: a first port near the top of the range wraps instead of overflowing.
    for (int i = 0; i < max_chnls; i++)
        chnls[i].com_nbr = static_cast<int32_t>(static_cast<uint32_t>(first) + static_cast<uint32_t>(i));
}

bool scan_int(const char* text, int32_t* value) {
    // The "%d" conversion: white space skipped, an optional sign, decimal digits, stop at anything
    // else. Out-of-range numbers saturate instead of being undefined.
    if (!text) return false;
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = (*p++ == '-');
    if (*p < '0' || *p > '9') return false;
    int64_t v = 0;
    for (; *p >= '0' && *p <= '9'; p++)
        if (v <= INT64_C(1) << 40) v = v * 10 + (*p - '0');
    if (neg) v = -v;
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    *value = static_cast<int32_t>(v);
    return true;
}

void chnls_startup(const char* cmdline) {
    chnls_zero();
    int32_t first = 0;
    if (!scan_int(cmdline, &first)) first = 3;
    chnls[0].com_nbr = first;
    chnls_number(chnls[0].com_nbr);
    set_bauds(115200);
    set_flows(flow_xonxoff);
}

void settings_reset() {
    chnl_count = 16;
    loop_running = 0;
    loop_screen_clear = 1;
    time_limit = 0;
    internal_loopback = 0;
    data_check = 1;
    wiring_expect = 0;
    com_format = line_format{};
    drain_at_stop = 0;
    std::snprintf(devLink, sizeof devLink, "%s", "\\\\.\\COM");
}

uint32_t chnl_rate(uint64_t out_cur, uint32_t out_time, uint32_t out_time0) {
    uint32_t interval = out_time - out_time0;
    if (interval == 0) return 0;
    double r = static_cast<double>(out_cur) / static_cast<double>(interval) * 1000.0;
    // No line comes near this; a wild count must still not make the conversion undefined.
    if (r >= 4294967295.0) return UINT32_MAX;
    return static_cast<uint32_t>(r);
}

bool make_com_link(chnl_struct* chnl) {
    int n = std::snprintf(chnl->com_link, sizeof chnl->com_link, "%s%d", devLink, chnl->com_nbr.get());
    if (n < 0 || n >= static_cast<int>(sizeof chnl->com_link)) {
        chnl->com_link[0] = '\0';
        return false;
    }
    return true;
}

}  // namespace zentrel
