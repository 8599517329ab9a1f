#include "verdict.h"

#include <cstdio>
#include <cstring>

#include "loop.h"
#include "wiring.h"

namespace zentrel {

run_verdict verdict;

namespace {

// The drain balanced this port to the byte: both queues empty and still, and a driver that shows
// everything on its way.
bool drained_exactly(const chnl_struct* c) {
    return drain_state != drain_none && c->out_drained == drained_done && !c->com_hides;
}

}  // namespace

uint64_t chnl_sent(const chnl_struct* c) {
    if (drained_exactly(c)) return c->out_total;
    // Without a drain, or a port the drain did not get to: the best figure there is.
    uint64_t cur = c->out_cur, total = c->out_total;
    return cur > total ? cur : total;
}

uint64_t chnl_received(const chnl_struct* c) {
    if (drained_exactly(c)) return c->in_total;
    // in_count is final once the receive workers have stopped; in_cur is the last sample's view.
    uint64_t cur = c->in_cur, count = c->in_count, total = c->in_total;
    uint64_t best = cur > count ? cur : count;
    return best > total ? best : total;
}

uint32_t chnl_rx_rate(const chnl_struct* c) {
    return chnl_rate(c->in_cur, c->out_time, c->out_time0);
}

bool chnl_silent(const chnl_struct* c) {
    return chnl_received(c) == 0;
}

namespace {

// The rate a port is judged by: what left the port, or, where the driver hides bytes on their way
// (they would count as sent), what came back.
uint32_t judged_rate(const chnl_struct* c) {
    return c->com_hides ? chnl_rx_rate(c) : chnl_rate(c->out_cur, c->out_time, c->out_time0);
}

// Seconds from the port's first write to `tick`.
uint32_t second_of(const chnl_struct* c, uint32_t tick) {
    return (tick - c->out_time0) / 1000u;
}

// The earliest moment a side of the port saw the device vanish; false when none did.
bool gone_tick(const chnl_struct* c, uint32_t* tick) {
    bool any = false;
    uint32_t best = 0;
    const shared<uint32_t>* flags[] = {&c->in_gone, &c->out_gone, &c->mon_gone};
    const shared<uint32_t>* ticks[] = {&c->in_gone_at, &c->out_gone_at, &c->mon_gone_at};
    for (int k = 0; k < 3; k++) {
        if (!flags[k]->get()) continue;
        uint32_t t = ticks[k]->get();
        if (!any || t - c->out_time0 < best - c->out_time0) best = t;
        any = true;
    }
    *tick = best;
    return any;
}

// Receiving that ended this long before the writers stopped did not keep pace to the end.
uint32_t end_stall_ms() {
    return jitter_allowance(2000, 250);
}

}  // namespace

bool chnl_overloaded(const chnl_struct* c) {
    if (c->in_starved != 0 || c->in_ovlds != 0) return true;
    // Data comes back, yet the line ran well below its capacity: in a loopback only flow control
    // from a receiving side that cannot keep up, or a transmitter not scheduled in time, does that.
    // Judged over two seconds of samples at least: a short run's one sample may come before the line
    // got going, and before the first sample out_time is not a sample's time at all.
    // The line's idle time must also exceed what scheduling delay explains, which an accelerated
    // clock multiplies: a writer late by a real quarter second idles the line that long.
    int32_t baud = c->com_baud;
    uint32_t interval = c->out_time - c->out_time0;
    if (c->in_count == 0 || interval < 2000u || interval >= 0x80000000u || baud <= 0)
        return false;
    const double cap = line_capacity_cps(baud);
    const double idle_ms = interval * (1.0 - judged_rate(c) / cap);
    return judged_rate(c) < cap * 0.95 && idle_ms > jitter_allowance(0, 250);
}

namespace {

void judge_port(int i, port_verdict* v) {
    const chnl_struct* c = &chnls[i];
    *v = port_verdict{};
    v->sent = chnl_sent(c);
    v->received = chnl_received(c);
    v->xmit_rate = chnl_rate(c->out_cur, c->out_time, c->out_time0);
    v->rcv_rate = chnl_rx_rate(c);
    v->rate = judged_rate(c);
    const double cap = line_capacity_cps(c->com_baud);
    v->percent = cap > 0 ? v->rate * 100.0 / cap : 0.0;
    v->samples = c->mon_samples;
    v->missed = c->mon_missed;
    v->starved = c->in_starved;

    uint32_t gone_at = 0;
    const bool gone = gone_tick(c, &gone_at);
    if (gone) {
        v->fails |= fail_gone;
        v->gone_s = second_of(c, gone_at);
    } else if (v->samples == 0 || v->missed != 0) {
        // A vanished device answers no status either: that is told as its going, not as this.
        v->fails |= fail_not_measured;
    }
    const bool silent = v->received == 0;
    if (silent) v->fails |= fail_silent;
    if (!silent && !gone) {
        if (c->in_stalled) {
            v->fails |= fail_stalled;
            v->stall_s = second_of(c, c->in_stall_at);
        } else if (static_cast<int32_t>(run_end_tick - c->in_last_rx) > static_cast<int32_t>(end_stall_ms())) {
            v->fails |= fail_stalled;
            v->stall_s = second_of(c, c->in_last_rx);
        }
    }

    // Complete: the drain balanced every byte, or, where the driver hides some, no more went
    // missing than it can hold; and never more back than went out. What a port receives is what its
    // source sent: itself on a loopback, its partner on a null-modem pair, as the wiring found.
    // A silent port's loss is its silence: it is not told twice.
    const chnl_struct* src = &chnls[chnl_source(i)];
    const uint64_t src_sent = chnl_sent(src);
    const int32_t drain = drain_state;
    if (drained_exactly(c) && drained_exactly(src)) {
        v->lost_known = true;
        if (v->received > src_sent) v->fails |= fail_extra;
        v->lost = src_sent > v->received ? src_sent - v->received : 0;
        if (v->lost && !silent) v->fails |= fail_lost;
    } else {
        // Everything handed to the driver is the most that can have left the port.
        uint64_t posted = src->out_posted;
        if (v->received > (posted > src_sent ? posted : src_sent)) v->fails |= fail_extra;
        if ((c->com_hides || src->com_hides) && !silent && src_sent > v->received + hidden_bound) {
            v->lost = src_sent - v->received - hidden_bound;
            v->fails |= fail_lost;
        }
        // Output that never moved again was held (flow control nobody released); output still moving
        // when the drain's time was up (a slow line's deep queue) leaves the loss untold, not failed.
        // Only a driver that shows its output queue can show it held.
        if (drain != drain_none && c->out_drained == drained_held && !c->com_hides && !silent && !gone)
            v->fails |= fail_held;
    }

    if (c->in_errs) v->fails |= fail_data_errors;
    if (c->in_ovlds) v->fails |= fail_overruns;
    if (c->line_errs.total()) v->fails |= fail_line_errors;
    if (!gone && chnl_overloaded(c)) v->fails |= fail_overloaded;

    // Wired as expected; a port that heard nothing at all is told as silent, not twice.
    char why[sizeof v->wiring];
    if (!chnl_wiring_ok(i, why, sizeof why) && !(silent && c->wire_from == wire_none)) {
        v->fails |= fail_wiring;
        std::snprintf(v->wiring, sizeof v->wiring, "%s", why);
    }

    if (v->percent > paced_limit_percent) v->notes |= note_not_paced;
    if (c->in_unchecked != 0 || (!data_check && !silent)) v->notes |= note_unchecked;
}

}  // namespace

void verdict_judge() {
    run_verdict& r = verdict;
    const int count = chnl_count;
    r = run_verdict{};
    r.judged = true;
    r.count = count;
    r.drain = drain_state;
    r.monitor_late = mon_late;
    uint64_t tot_rate = 0;
    for (int i = 0; i < count && i < max_chnls; i++) {
        const chnl_struct* c = &chnls[i];
        port_verdict& v = r.port[i];
        judge_port(i, &v);
        tot_rate += v.rate;
        r.data_errors += c->in_errs;
        r.queue_overruns += c->in_ovlds;
        r.fails |= v.fails;
        r.notes |= v.notes;
    }
    if (count > 0) r.average_cps = tot_rate / static_cast<uint64_t>(count);
    const double cap = line_capacity_cps(chnls[0].com_baud);
    r.percent = cap > 0 ? static_cast<double>(r.average_cps) * 100.0 / cap : 0.0;
    r.left_out = chnl_asked > count ? chnl_asked - count : 0;
    r.passed = count > 0 && r.fails == 0 && r.monitor_late == 0 && r.left_out == 0;
}

const char* fail_words(uint32_t bit) {
    switch (bit) {
        case fail_not_measured: return "not measured";
        case fail_gone: return "device gone";
        case fail_silent: return "no data received";
        case fail_stalled: return "receiving stalled";
        case fail_extra: return "more received than sent";
        case fail_lost: return "data lost";
        case fail_held: return "output held at the end";
        case fail_data_errors: return "data errors";
        case fail_overruns: return "queue overruns";
        case fail_line_errors: return "line errors";
        case fail_overloaded: return "overloaded";
        case fail_wiring: return "wiring";
        default: return "";
    }
}

const char* note_words(uint32_t bit) {
    switch (bit) {
        case note_not_paced: return "not paced at this rate";
        case note_unchecked: return "data not compared";
        default: return "";
    }
}

void port_reasons(const port_verdict& v, char* buf, int size) {
    if (size <= 0) return;
    buf[0] = '\0';
    int n = 0;
    for (uint32_t k = 0; k < fail_kinds; k++) {
        const uint32_t bit = 1u << k;
        if (!(v.fails & bit)) continue;
        char item[160];
        switch (bit) {
            case fail_gone:
                std::snprintf(item, sizeof item, "device gone (at %u s)", v.gone_s);
                break;
            case fail_not_measured:
                std::snprintf(item, sizeof item, "not measured (%u of %u samples)", v.samples,
                              v.samples + v.missed);
                break;
            case fail_stalled:
                std::snprintf(item, sizeof item, "receiving stalled (at %u s)", v.stall_s);
                break;
            case fail_lost:
                if (v.lost_known)
                    std::snprintf(item, sizeof item, "data lost (%llu bytes)", static_cast<unsigned long long>(v.lost));
                else
                    std::snprintf(item, sizeof item, "data lost (%llu bytes beyond what the driver can hold)",
                                  static_cast<unsigned long long>(v.lost));
                break;
            case fail_overloaded:
                if (v.starved)
                    std::snprintf(item, sizeof item, "overloaded (receiver late %u times)", v.starved);
                else if (v.fails & fail_overruns)
                    std::snprintf(item, sizeof item, "overloaded (receive queue overran)");
                else
                    std::snprintf(item, sizeof item, "overloaded (line at %.2f%%)", v.percent);
                break;
            case fail_wiring:
                std::snprintf(item, sizeof item, "%s", v.wiring[0] ? v.wiring : fail_words(bit));
                break;
            default:
                std::snprintf(item, sizeof item, "%s", fail_words(bit));
                break;
        }
        int w = std::snprintf(buf + n, static_cast<size_t>(size - n), "%s%s", n ? "; " : "", item);
        if (w < 0 || w >= size - n) {
            buf[size - 1] = '\0';
            return;
        }
        n += w;
    }
}

}  // namespace zentrel
