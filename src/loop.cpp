#include "loop.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "model/chnl.h"
#include "read.h"
#include "verdict.h"
#include "wiring.h"
#include "write.h"

namespace zentrel {
namespace {

// Appends src to dst without passing the buffer's end.
void append(char* dst, int size, const char* src) {
    int n = static_cast<int>(std::strlen(dst));
    if (n >= size - 1) return;
    std::snprintf(dst + n, static_cast<size_t>(size - n), "%s", src);
}

// True from a loop start that opened a port until its loop stop; guards against a second stop.
bool run_open = false;
constexpr uint32_t watcher_wait_ms = 2000;

constexpr uint32_t handshake_mask = ser::SERIAL_DTR_CONTROL | ser::SERIAL_DTR_HANDSHAKE |
                                    ser::SERIAL_CTS_HANDSHAKE | ser::SERIAL_DSR_HANDSHAKE |
                                    ser::SERIAL_DCD_HANDSHAKE;
constexpr uint32_t replace_mask = ser::SERIAL_AUTO_TRANSMIT | ser::SERIAL_AUTO_RECEIVE |
                                  ser::SERIAL_RTS_CONTROL | ser::SERIAL_RTS_HANDSHAKE;

}  // namespace

void loop_flow_bits(int32_t flow, ser::SERIAL_HANDFLOW* hf) {
    hf->ControlHandShake &= ~handshake_mask;
    hf->FlowReplace &= ~replace_mask;
    switch (flow) {
        case flow_none:
            hf->ControlHandShake |= ser::SERIAL_DTR_CONTROL;
            hf->FlowReplace |= ser::SERIAL_RTS_CONTROL;
            break;
        case flow_xonxoff:
            hf->ControlHandShake |= ser::SERIAL_DTR_CONTROL;
            hf->FlowReplace |= ser::SERIAL_AUTO_TRANSMIT | ser::SERIAL_AUTO_RECEIVE | ser::SERIAL_RTS_CONTROL;
            break;
        case flow_dtrdsr:
            hf->ControlHandShake |= ser::SERIAL_DTR_HANDSHAKE | ser::SERIAL_DSR_HANDSHAKE;
            hf->FlowReplace |= ser::SERIAL_RTS_CONTROL;
            break;
        case flow_rtscts:
            hf->ControlHandShake |= ser::SERIAL_DTR_CONTROL | ser::SERIAL_CTS_HANDSHAKE;
            hf->FlowReplace |= ser::SERIAL_RTS_HANDSHAKE;
            break;
        default:
            break;
    }
}

namespace {

bool ioctl_in(ser::handle h, uint32_t code, const void* in, uint32_t size) {
    uint32_t returned;
    return ser::device_io_control(h, code, in, size, nullptr, 0, &returned, nullptr);
}

// The driver's line-error counts now: the error statistics and the break count, each where the
// driver keeps it.
line_counts read_line_counts(ser::handle h) {
    line_counts c;
    ser::SERIALPERF_STATS st{};
    uint32_t brk = 0, returned = 0;
    if (ser::device_io_control(h, ser::IOCTL_SERIAL_GET_STATS, nullptr, 0, &st, sizeof st, &returned,
                               nullptr) &&
        returned >= sizeof st) {
        c.n[line_counts::frame] = st.FrameErrorCount;
        c.n[line_counts::parity] = st.ParityErrorCount;
        c.n[line_counts::overrun] = st.SerialOverrunErrorCount;
        c.n[line_counts::buf_overrun] = st.BufferOverrunErrorCount;
        for (int k :
             {line_counts::frame, line_counts::parity, line_counts::overrun, line_counts::buf_overrun})
            c.available[k] = true;
    }
    if (ser::device_io_control(h, ser::IOCTL_GET_BREAK_COUNT, nullptr, 0, &brk, sizeof brk, &returned,
                               nullptr) &&
        returned >= sizeof brk) {
        c.n[line_counts::brk] = brk;
        c.available[line_counts::brk] = true;
    }
    return c;
}

// The run's share of the counts: what grew since the start (the driver's counts wrap at 2^32).
void line_counts_end(chnl_struct* chnl) {
    line_counts now = read_line_counts(chnl->com_hndl);
    for (int k = 0; k < line_counts::kinds; k++) {
        now.available[k] = now.available[k] && chnl->line_base.available[k];
        now.n[k] = now.available[k] ? now.n[k] - chnl->line_base.n[k] : 0;
    }
    chnl->line_errs = now;
}

// Records why a port cannot be used, for the second line of the message that names it.
void fail_reason(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void fail_reason(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(open_fail_reason, sizeof open_fail_reason, fmt, ap);
    va_end(ap);
}

// Why create_file failed: the backend's own words where it has them, else the error number's.
void open_failure_reason() {
    const char* detail = ser::open_detail();
    if (detail[0]) return fail_reason("%s", detail);
    switch (uint32_t e = kern::last_error()) {
        case kern::err::file_not_found:
            return fail_reason("not found");
        case kern::err::access_denied:
            return fail_reason("in use or access denied");
        case kern::err::invalid_parameter:
            return fail_reason("refused by the driver");
        default:
            return fail_reason("error %u", e);
    }
}

const char* flow_words(int32_t flow) {
    switch (flow) {
        case flow_xonxoff:
            return "Xon/Xoff flow control";
        case flow_dtrdsr:
            return "DTR/DSR flow control";
        case flow_rtscts:
            return "RTS/CTS flow control";
        default:
            return "no flow control";
    }
}

// A setting as asked, or why not. What the driver takes and what it keeps are not the same: some
// drivers accept a request and silently keep something else, so every setting is read back.
enum setting_result { setting_kept, setting_refused, setting_not_kept };

// Sends `want` with set_code, then reads the setting back with get_code into *back and compares them
// with same(want, back). A setting that cannot be read back is not known to be kept.
template <class T, class Same>
setting_result apply_setting(ser::handle h, uint32_t set_code, uint32_t get_code, const T& want, T* back,
                             Same same) {
    if (!ioctl_in(h, set_code, &want, sizeof want)) return setting_refused;
    uint32_t returned = 0;
    *back = T{};
    if (!ser::device_io_control(h, get_code, nullptr, 0, back, sizeof *back, &returned, nullptr) ||
        returned < sizeof *back)
        return setting_not_kept;
    return same(want, *back) ? setting_kept : setting_not_kept;
}

// What makes a flow control: its handshakes (DTR, CTS, DSR, DCD, RTS, Xon/Xoff), not the steady line
// levels, which a driver without modem lines does not report.
uint32_t handshakes_of(const ser::SERIAL_HANDFLOW& h) {
    uint32_t k = h.ControlHandShake &
                 (ser::SERIAL_CTS_HANDSHAKE | ser::SERIAL_DSR_HANDSHAKE | ser::SERIAL_DCD_HANDSHAKE);
    if ((h.ControlHandShake & ser::SERIAL_DTR_MASK) == ser::SERIAL_DTR_HANDSHAKE) k |= 1u << 16;
    if ((h.FlowReplace & ser::SERIAL_RTS_MASK) == ser::SERIAL_RTS_HANDSHAKE) k |= 1u << 17;
    return k | (h.FlowReplace & (ser::SERIAL_AUTO_TRANSMIT | ser::SERIAL_AUTO_RECEIVE)) << 20;
}

// Read-back rates within this share of the asked one are the asked rate (a divisor's rounding).
constexpr uint32_t baud_tolerance_div = 100;

// Puts the port into the state the run asks for: rate, internal loopback, flow control. False, with
// the reason recorded, when the driver refuses any of them or does not keep it.
bool get_baud(ser::handle h, uint32_t* baud) {
    ser::SERIAL_BAUD_RATE b{};
    uint32_t returned = 0;
    if (!ser::device_io_control(h, ser::IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &b, sizeof b, &returned, nullptr) ||
        returned < sizeof b)
        return false;
    *baud = b.BaudRate;
    return true;
}

// The character format, a step of its own: a driver that refuses it, or keeps another, would leave
// both ends of the line disagreeing on every character.
bool set_line_format(ser::handle h) {
    const line_format f = com_format;
    ser::SERIAL_LINE_CONTROL want{f.stop, f.parity, f.data}, back{};
    setting_result r = apply_setting(
        h, ser::IOCTL_SERIAL_SET_LINE_CONTROL, ser::IOCTL_SERIAL_GET_LINE_CONTROL, want, &back,
        [](const ser::SERIAL_LINE_CONTROL& a, const ser::SERIAL_LINE_CONTROL& b) {
            return a.StopBits == b.StopBits && a.Parity == b.Parity && a.WordLength == b.WordLength;
        });
    if (r == setting_kept) return true;
    char text[8];
    format_text(text, sizeof text, f);
    fail_reason("the driver %s %s", r == setting_refused ? "refused" : "did not keep", text);
    return false;
}

bool configure_channel(chnl_struct* chnl) {
    const ser::handle h = chnl->com_hndl;
    // The rate before, to tell a rate the driver offers instead from one it merely did not change.
    uint32_t before = 0, now = 0;
    bool known = get_baud(h, &before);
    ser::SERIAL_BAUD_RATE baud{static_cast<uint32_t>(chnl->com_baud.get())}, kept{};
    setting_result r = apply_setting(h, ser::IOCTL_SERIAL_SET_BAUD_RATE, ser::IOCTL_SERIAL_GET_BAUD_RATE, baud,
                                     &kept, [](const ser::SERIAL_BAUD_RATE& a, const ser::SERIAL_BAUD_RATE& b) {
                                         uint32_t d = a.BaudRate > b.BaudRate ? a.BaudRate - b.BaudRate
                                                                              : b.BaudRate - a.BaudRate;
                                         return d <= a.BaudRate / baud_tolerance_div;
                                     });
    if (r != setting_kept) {
        if (get_baud(h, &now) && now != 0 && now != baud.BaudRate && (!known || now != before))
            offered_baud = now;
        if (offered_baud != 0)
            fail_reason("the driver offered %u", offered_baud.get());
        else if (r == setting_refused)
            fail_reason("the driver refused %u baud", baud.BaudRate);
        else
            fail_reason("the driver did not keep %u baud", baud.BaudRate);
        return false;
    }
    if (!set_line_format(h)) return false;
    // Every port is taken out of loopback, whatever the run asks (drivers without the request refuse
    // that, harmlessly); a run that asks for loopback must get it.
    if (internal_loopback) {
        if (!ioctl_in(h, ser::IOCTL_SET_INTERNAL_LOOPBACK, nullptr, 0)) {
            fail_reason("the driver cannot loop back internally");
            return false;
        }
    } else {
        ioctl_in(h, ser::IOCTL_CLEAR_INTERNAL_LOOPBACK, nullptr, 0);
    }
    // The bits the flow setting owns change; the driver's others (limits, extra lines) stay.
    ser::SERIAL_HANDFLOW handflow{}, back{};
    uint32_t returned;
    ser::device_io_control(h, ser::IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &handflow, sizeof handflow, &returned,
                           nullptr);
    loop_flow_bits(chnl->com_flow, &handflow);
    r = apply_setting(h, ser::IOCTL_SERIAL_SET_HANDFLOW, ser::IOCTL_SERIAL_GET_HANDFLOW, handflow, &back,
                      [](const ser::SERIAL_HANDFLOW& a, const ser::SERIAL_HANDFLOW& b) {
                          return handshakes_of(a) == handshakes_of(b);
                      });
    if (r != setting_kept) {
        const char* what = r == setting_refused ? "refused" : "did not keep";
        if (chnl->com_flow == flow_none)
            fail_reason("the driver %s its flow control off", what);
        else
            fail_reason("the driver %s %s", what, flow_words(chnl->com_flow));
        return false;
    }
    return true;
}

// Opens and configures one channel's port; false if the port cannot be used (left closed), with the
// reason in open_fail_reason.
bool open_channel(chnl_struct* chnl, bool* opened) {
    *opened = false;
    chnl->mon_loops = 0;
    chnl->in_starved = 0;
    chnl->in_stalled = 0;
    chnl->in_stall_at = 0;
    chnl->in_q_peak = 0;
    chnl->out_total = 0;
    chnl->in_total = 0;
    chnl_evidence_reset(chnl);
    if (!make_com_link(chnl)) {
        fail_reason("the device path is too long");
        chnl->com_hndl = ser::invalid_handle_value;
        return false;
    }
    chnl->com_hndl = ser::create_file(chnl->com_link);
    if (chnl->com_hndl == ser::invalid_handle_value) {
        open_failure_reason();
        return false;
    }
    chnl->com_hides = ser::shows_in_flight(chnl->com_hndl) ? 0 : 1;
    // A port not as asked would only measure something else: it leaves the run like a missing one.
    if (!configure_channel(chnl)) {
        ser::close_handle(chnl->com_hndl);
        chnl->com_hndl = ser::invalid_handle_value;
        return false;
    }
    *opened = true;
    chnl->line_base = read_line_counts(chnl->com_hndl);
    chnl->line_errs = {};
    return true;
}

// The longest the window thread waits for the workers when a run stops. A worker stuck inside a
// device call (a hung driver) is abandoned after it: it stops at its next call into the kernel layer
// and does nothing more, and its handle is released so that it is reclaimed then.
constexpr uint32_t stop_wait_ms = 3000;
// At least this long for each thread, however much of the stop's time is gone.
constexpr uint32_t stop_wait_min_ms = 50;

uint32_t left_of(uint32_t start, uint32_t budget) {
    uint32_t spent = kern::tick_count() - start;
    return spent + stop_wait_min_ms < budget ? budget - spent : stop_wait_min_ms;
}

void release(kern::thread_handle* h) {
    if (*h) kern::close_thread(*h);
    *h = nullptr;
}

}  // namespace

int wrap_add(int a, int b) {
    return static_cast<int>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

bool loop_open() {
    return run_open;
}

int loop_init(bool* none_opened) {
    int retv = 0;
    int opened_one = 0;
    int count = chnl_count;

    if (none_opened) *none_opened = true;
    offered_baud = 0;
    open_fail_reason[0] = '\0';
    chnl_asked = count;
    for (int i = 0; i < count; i++) {
        chnl_struct* chnl = &chnls[i];
        bool opened;
        if (!open_channel(chnl, &opened)) {
            retv = wrap_add(100, chnl->com_nbr.get());
            if (i > 0) chnl_count = i;
            break;
        }
        opened_one = 1;
    }
    // Port numbers near the ends of the range wrap here as they do in 100 + n, never overflow.
    if (!opened_one) return wrap_add(retv, 10000);

    if (none_opened) *none_opened = false;
    run_open = true;
    run_stop_mark = stop_count.get();
    mon_late = 0;
    drain_state = drain_none;
    drain_cut = 0;
    wiring_identify();
    const uint32_t now = kern::tick_count();
    for (int i = 0; i < chnl_count; i++) {
        chnls[i].mon_ov = {};
        chnls[i].mon_ov.hEvent = kern::create_event(true, false);
        chnls[i].in_last_read = now;  // a receiver that never returns from its first read is late from here
    }
    for (int i = 0; i < chnl_count; i++)
        read_thrd_hndl[i] = kern::create_thread(read, &chnls[i], 1024, &read_thrd_id[i]);
    uint32_t id = 0;
    wrmon_thrd_hndl = kern::create_thread(wrmon, nullptr, 1024, &id);
    wrmon_thrd_id = id;
    for (int i = 0; i < chnl_count; i++) {
        chnls[i].out_running = 1;
        write_thrd_hndl[i] = kern::create_thread(write, &chnls[i], 1024, &write_thrd_id[i]);
    }
    // Overruns are counted whether or not the data is compared: without the watchers a run with
    // verify off would report a queue that overran as clean.
    for (int i = 0; i < chnl_count; i++)
        ovld_thrd_hndl[i] = kern::create_thread(ovld_check, &chnls[i], 1024, &ovld_thrd_id[i]);
    rx_priority_refused = 0;
    for (int i = 0; i < chnl_count; i++)
        if (!kern::set_thread_priority_highest(read_thrd_hndl[i])) ++rx_priority_refused;
    return retv;
}

void loop_fini() {
    if (!run_open) return;
    const bool drained = drain_at_stop != 0;
    if (drained) loop_drain();
    run_open = false;

    ser::SERIAL_HANDFLOW handflow;
    uint32_t w;
    uint32_t returned;
    char s[82];
    const int count = chnl_count;
    const uint32_t start = kern::tick_count();

    kern::thread_handle mon = wrmon_thrd_hndl;
    if (mon) kern::terminate_thread_within(mon, left_of(start, stop_wait_ms));
    wrmon_thrd_hndl = nullptr;
    ++stop_count;

    for (int i = 0; i < count; i++) {
        ser::handle h = chnls[i].com_hndl;
        handflow = {};
        ser::device_io_control(h, ser::IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &handflow, sizeof handflow,
                               &returned, nullptr);
        handflow.ControlHandShake &= ~(ser::SERIAL_DTR_HANDSHAKE | ser::SERIAL_CTS_HANDSHAKE |
                                       ser::SERIAL_DSR_HANDSHAKE | ser::SERIAL_DCD_HANDSHAKE);
        handflow.ControlHandShake |= ser::SERIAL_DTR_CONTROL;
        handflow.FlowReplace &=
            ~(ser::SERIAL_AUTO_TRANSMIT | ser::SERIAL_AUTO_RECEIVE | ser::SERIAL_RTS_HANDSHAKE);
        handflow.FlowReplace |= ser::SERIAL_RTS_CONTROL;
        ioctl_in(h, ser::IOCTL_SERIAL_SET_HANDFLOW, &handflow, sizeof handflow);
    }
    for (int i = 0; i < count; i++) {
        w = 0;
        if (!ioctl_in(chnls[i].com_hndl, ser::IOCTL_SERIAL_SET_WAIT_MASK, &w, sizeof w)) {
            std::snprintf(s, sizeof s, "%s", "set wait mask (0) ioctl failed.\n");
            ui::message_box(hwnd, s, szProgName, ui::mb_ok);
        }
    }
    if (!drained) run_end_tick = kern::tick_count();
    for (int i = 0; i < count; i++) chnls[i].out_running = 0;
    for (int i = 0; i < count; i++)
        if (read_thrd_hndl[i]) kern::terminate_thread_within(read_thrd_hndl[i], left_of(start, stop_wait_ms));
    for (int i = 0; i < count; i++) {
        w = ser::SERIAL_PURGE_TXABORT | ser::SERIAL_PURGE_RXABORT;
        if (!ioctl_in(chnls[i].com_hndl, ser::IOCTL_SERIAL_PURGE, &w, sizeof w)) {
            std::snprintf(s, sizeof s, "%s", "Purge ioctl failed.\n");
            ui::message_box(hwnd, s, szProgName, ui::mb_ok);
        }
    }
    for (int i = 0; i < count; i++) line_counts_end(&chnls[i]);
    for (int i = 0; i < count; i++) ser::close_handle(chnls[i].com_hndl);
    // Closed, the ports have ended every request, the monitor's status requests included.
    for (int i = 0; i < count; i++) {
        kern::close_event(chnls[i].mon_ov.hEvent);
        chnls[i].mon_ov.hEvent = nullptr;
    }

    // Every request of the run is over now: the terminated threads may unwind. The transmit workers
    // end as soon as their aborted writes are collected, the watchers at their next request; both
    // are waited for, so that none of them is still reading this channel's record when the next run
    // sets it up. A watcher showing a message box is not waited for long: it ends silently once the
    // box is dismissed. A transmit worker stuck in a hung driver is abandoned like the others.
    release(&mon);
    for (int i = 0; i < count; i++) {
        release(&read_thrd_hndl[i]);
        if (write_thrd_hndl[i] &&
            kern::wait_thread(write_thrd_hndl[i], left_of(start, stop_wait_ms)) != kern::wait_object_0)
            kern::terminate_thread_within(write_thrd_hndl[i], stop_wait_min_ms);
        release(&write_thrd_hndl[i]);
        if (ovld_thrd_hndl[i]) kern::wait_thread(ovld_thrd_hndl[i], watcher_wait_ms);
        release(&ovld_thrd_hndl[i]);
    }
    verdict_judge();
}

// ---- The drain and the verdict ---------------------------------------------------------------------

namespace {

// The drain's bound: a second plus what the writes in flight and a full input queue take on the line,
// never more than drain_max_ms. Received counts standing still this long (nothing queued, nothing
// being sent) are final.
// Each allows for the scheduling delay of a loaded machine, which an accelerated clock multiplies.
constexpr uint32_t drain_max_ms = 5000;
constexpr uint32_t drain_quiet_ms = 200;
constexpr uint32_t drain_poll_ms = 10;
// Output that has not moved for this long is held (flow control with nobody to release it): the
// drain stops waiting for it.
constexpr uint32_t drain_held_ms = 500;
uint32_t quiet_ms() {
    return jitter_allowance(drain_quiet_ms, 100);
}
uint32_t held_ms() {
    return jitter_allowance(drain_held_ms, 250);
}

}  // namespace

namespace {

// What the drainer is given and what it found; written before it starts and read after it ended.
struct drain_job {
    int count = 0;
    uint32_t budget = 0;
};
drain_job job;

// Polls every port's queues until each has given up all it had on its way, or the budget is spent.
// On a thread of its own: a status request that hangs in a driver must not hold the window thread.
void drain_lines(void* arg) {
    auto* j = static_cast<drain_job*>(arg);
    bool done[max_chnls] = {}, sampled[max_chnls] = {}, tx_finished[max_chnls] = {};
    uint64_t seen[max_chnls] = {};
    uint32_t still_since[max_chnls] = {};
    uint32_t queued[max_chnls] = {};
    const uint32_t start = kern::tick_count();
    for (int i = 0; i < j->count; i++) still_since[i] = start;
    for (;;) {
        int left = 0;
        for (int i = 0; i < j->count; i++) {
            if (done[i]) continue;
            chnl_struct* c = &chnls[i];
            ser::SERIAL_STATUS st{};
            // A port whose status fails or never completes stays undrained; the others go on.
            if (!mon_status(c, &st)) {
                left++;
                continue;
            }
            // A measurement like the monitor's, which no longer takes any: a run shorter than the
            // monitor's first sample is still measured at its end.
            if (!sampled[i]) ++c->mon_samples;
            sampled[i] = true;
            uint64_t posted = c->out_posted;
            uint64_t sent = posted - std::min<uint64_t>(st.AmountInOutQueue, posted);
            uint64_t rcvd = c->in_count + st.AmountInInQueue;
            c->out_total = sent;
            c->in_total = rcvd;
            uint32_t now = kern::tick_count();
            if (rcvd != seen[i] || st.AmountInOutQueue != queued[i]) {
                seen[i] = rcvd;
                queued[i] = st.AmountInOutQueue;
                still_since[i] = now;
            }
            bool tx_done = st.AmountInOutQueue == 0 && kern::thread_stopped(write_thrd_hndl[i]);
            tx_finished[i] = tx_finished[i] || tx_done;
            // All its source sent has come in (in a null-modem pair the partner's output, final once
            // the partner's transmitter is done), or nothing has moved for a while.
            const int src = chnl_source(i);
            const bool all_in = tx_finished[src] && rcvd >= chnls[src].out_total;
            if (tx_done && st.AmountInInQueue == 0 && (all_in || now - still_since[i] >= quiet_ms())) {
                done[i] = true;
                c->out_drained = drained_done;
            } else if (!tx_done && now - still_since[i] >= held_ms()) {
                done[i] = true;  // held: nothing more will move
                c->out_drained = drained_held;
            } else {
                left++;
            }
        }
        if (left == 0 || kern::tick_count() - start >= j->budget) return;
        kern::sleep(drain_poll_ms);
    }
}

}  // namespace

void loop_drain() {
    if (!run_open) return;
    const int count = chnl_count;
    // The run's figures are those of the monitor's last sample: it takes none while the lines drain.
    kern::thread_handle mon = wrmon_thrd_hndl;
    if (mon) kern::terminate_thread_within(mon, stop_wait_ms);
    // One last sample as the writers stop, so that the run's rate covers the whole run however its
    // end falls between the monitor's seconds.
    for (int i = 0; i < count; i++) mon_sample(&chnls[i]);
    run_end_tick = kern::tick_count();
    for (int i = 0; i < count; i++) chnls[i].out_running = 0;

    int32_t baud = chnls[0].com_baud;
    double cps = line_capacity_cps(baud > 0 ? baud : 1);
    uint32_t budget = 1000u + static_cast<uint32_t>((write_slots * wstuff_len + 4096) * 1000.0 / cps);
    if (budget > drain_max_ms) budget = drain_max_ms;
    budget = jitter_allowance(budget, 1000);
    job.count = count;
    job.budget = budget;
    uint32_t id = 0;
    kern::thread_handle t = kern::create_thread(drain_lines, &job, 1024, &id);
    bool finished = false;
    const uint32_t waited_from = kern::tick_count();
    while (t && !finished && !drain_cut && kern::tick_count() - waited_from < budget + 1000u)
        finished = kern::wait_thread(t, 50) == kern::wait_object_0;
    // Stuck in a driver: abandoned, it stops at its next call into the kernel layer.
    if (t && !finished) kern::terminate_thread_within(t, stop_wait_min_ms);
    if (t) kern::close_thread(t);
    (void)finished;
    bool shown = true, complete = true;
    for (int i = 0; i < count; i++) {
        shown = shown && !chnls[i].com_hides;
        complete = complete && chnls[i].out_drained == drained_done;
    }
    drain_state = !shown ? drain_hidden : complete ? drain_exact : drain_incomplete;
}

namespace {

// One summary line for a fail or note bit: the label, then every port the bit names, each with its
// figure where it has one ("Device gone: COM3 (at 1 s)"); and, for overload, how often sampling came
// late. Nothing when no port has the bit and nothing came late.
void add_port_line(char* buf, int size, const char* label_text, uint32_t bit, bool note, uint32_t late = 0) {
    char line[800], item[200], label[64];
    line[0] = '\0';
    for (int i = 0; i < verdict.count; i++) {
        const port_verdict& v = verdict.port[i];
        if (!((note ? v.notes : v.fails) & bit)) continue;
        port_label(label, sizeof label, chnls[i].com_nbr);
        if (note && bit == note_not_paced)
            std::snprintf(item, sizeof item, " %s (%.2f%%)", label, v.percent);
        else if (note)
            std::snprintf(item, sizeof item, " %s", label);
        else if (bit == fail_gone)
            std::snprintf(item, sizeof item, " %s (at %u s)", label, v.gone_s);
        else if (bit == fail_stalled)
            std::snprintf(item, sizeof item, " %s (at %u s)", label, v.stall_s);
        else if (bit == fail_lost)
            std::snprintf(item, sizeof item, " %s (%llu bytes)", label, static_cast<unsigned long long>(v.lost));
        else if (bit == fail_wiring)
            std::snprintf(item, sizeof item, " %s (%s)", label, v.wiring);
        else
            std::snprintf(item, sizeof item, " %s", label);
        append(line, sizeof line, item);
    }
    if (late) {
        std::snprintf(item, sizeof item, " (sampling late %u times)", late);
        append(line, sizeof line, item);
    }
    if (!line[0]) return;
    append(buf, size, label_text);
    append(buf, size, line);
    append(buf, size, "\r");
}

}  // namespace

void loop_summary_text(char* buf, int size) {
    const run_verdict& r = verdict;
    std::snprintf(buf, static_cast<size_t>(size),
                  "Average cps: %llu (%.2f%%)\rData errors:   %llu\rQueue overruns:   %llu\r",
                  static_cast<unsigned long long>(r.average_cps), r.percent,
                  static_cast<unsigned long long>(r.data_errors), static_cast<unsigned long long>(r.queue_overruns));

    // Only what went wrong is added, and what the figures cannot be taken for: a clean run keeps its
    // three lines. The error totals stand above; every other failure names its ports.
    add_port_line(buf, size, "Not measured:", fail_not_measured, false);
    add_port_line(buf, size, "Device gone:", fail_gone, false);
    add_port_line(buf, size, "No data received:", fail_silent, false);
    add_port_line(buf, size, "Receiving stalled:", fail_stalled, false);
    add_port_line(buf, size, "More received than sent:", fail_extra, false);
    add_port_line(buf, size, "Data lost:", fail_lost, false);
    add_port_line(buf, size, "Output held at the end:", fail_held, false);
    add_port_line(buf, size, "Line errors:", fail_line_errors, false);
    add_port_line(buf, size, "Overloaded:", fail_overloaded, false, r.monitor_late);
    add_port_line(buf, size, "Wiring:", fail_wiring, false);
    if (r.left_out > 0) {
        // The ports after the one that could not be opened or configured, up to the count asked.
        char line[600], label[64];
        std::snprintf(line, sizeof line, "Not run:");
        for (int i = r.count; i < r.count + r.left_out && i < max_chnls; i++) {
            port_label(label, sizeof label, chnls[i].com_nbr);
            append(line, sizeof line, " ");
            append(line, sizeof line, label);
        }
        append(buf, size, line);
        append(buf, size, "\r");
    }
    add_port_line(buf, size, "Not paced at this rate:", note_not_paced, true);
    add_port_line(buf, size, "Data not compared:", note_unchecked, true);
}

void loop_summary() {
    char text[summary_size];
    loop_screen_clear = 1;
    loop_summary_text(text, sizeof text);
    ui::message_box(hwnd, text, szProgName, ui::mb_ok);
    loop_screen_clear = 0;
}

}  // namespace zentrel

// ---- The status table ------------------------------------------------------------------------------

namespace zentrel {

void show_parms(ui::hdc hdc);

namespace {

const char table_header[] = "Port        Xmit        Rcv         Errs        Rate        TxQueue";

}  // namespace

void pad(char* s, int len) {
    int cur = static_cast<int>(std::strlen(s));
    while (cur < len) s[cur++] = ' ';
    if (cur == len) s[len] = '\0';
}

void port_label(char* buf, int size, int32_t nbr) {
    // The board's own namespace ("\\.\COM") keeps the names the operator knows; a device file is
    // named by its last path component.
    const char* base = devLink;
    if (std::strncmp(devLink, "\\\\.\\", 4) == 0) {
        base = devLink + 4;
    } else {
        const char* slash = std::strrchr(devLink, '/');
        if (slash) base = slash + 1;
    }
    std::snprintf(buf, static_cast<size_t>(size), "%s%d", base, nbr);
}

void loop_mon(ui::hdc hdc, ui::hfont hfont) {
    char line[128];
    char row[160];  // six columns of 64-bit values at their widest
    char col[90];

    show_parms(hdc);
    ui::hfont oldfont = ui::select_font(hdc, hfont);
    if (!loop_running) {
        if (!loop_screen_clear) {
            loop_screen_clear = 1;
            std::memset(line, ' ', sizeof line);
            line[80] = '\0';
            for (int k = 0; k < 17; k++) ui::text_out(hdc, 20, 20 + 20 * k, line, 80);
        }
        ui::select_font(hdc, oldfont);
        return;
    }
    loop_screen_clear = 0;
    ui::text_out(hdc, 20, 20, table_header, static_cast<int>(sizeof table_header - 1));
    const int count = chnl_count;
    for (int i = 0; i < count && i < max_chnls; i++) {
        const chnl_struct* c = &chnls[i];
        uint32_t out_time = c->out_time;
        uint32_t out_time0 = c->out_time0;
        if (out_time == out_time0) continue;  // no sample since the first write: no row
        uint64_t out_cur = c->out_cur;
        uint32_t rate = chnl_rate(out_cur, out_time, out_time0);

        row[0] = '\0';
        port_label(col, sizeof col, c->com_nbr);
        pad(col, 12);
        append(row, sizeof row, col);
        // Counters are shown as the unsigned values they are: a long run never turns negative.
        std::snprintf(col, sizeof col, "%llu", static_cast<unsigned long long>(out_cur));
        pad(col, 12);
        append(row, sizeof row, col);
        std::snprintf(col, sizeof col, "%llu", static_cast<unsigned long long>(c->in_cur.get()));
        pad(col, 12);
        append(row, sizeof row, col);
        std::snprintf(col, sizeof col, "%llu/%llu", static_cast<unsigned long long>(c->in_errs.get()),
                      static_cast<unsigned long long>(c->in_ovlds.get()));
        pad(col, 12);
        append(row, sizeof row, col);
        std::snprintf(col, sizeof col, "%u", rate);
        pad(col, 12);
        append(row, sizeof row, col);
        std::snprintf(col, sizeof col, "%llu", static_cast<unsigned long long>(c->out_pending.get()));
        append(row, sizeof row, col);
        ui::text_out(hdc, 20, 40 + 20 * i, row, static_cast<int>(std::strlen(row)));
    }
    ui::select_font(hdc, oldfont);
}

}  // namespace zentrel
