#include "write.h"

#include "read.h"

namespace zentrel {

void make_pattern(uint8_t* buf, int len) {
    for (int i = 0; i < len; i++) buf[i] = static_cast<uint8_t>(32 + (i % 64));
}

namespace {

// A request that failed because the device is gone: the transmit side's first sight of it is kept.
void note_gone(chnl_struct* chnl) {
    if (kern::last_error() != kern::err::device_not_connected || chnl->out_gone) return;
    chnl->out_gone_at = kern::tick_count();
    chnl->out_gone = 1;
}

// Issues one pattern write in a slot: 1 accepted (completed at once or pending), 0 refused.
int issue_write(chnl_struct* chnl, ser::handle hndl, const uint8_t* wstuff, uint32_t* wcount,
                ser::overlapped* os) {
    if (ser::write_file(hndl, wstuff, wstuff_len, wcount, os)) return 1;
    if (kern::last_error() == kern::err::io_pending) return 1;
    note_gone(chnl);
    return 0;
}

}  // namespace

void write(void* arg) {
    auto* chnl = static_cast<chnl_struct*>(arg);
    uint8_t wstuff[wstuff_len];
    ser::overlapped osWrite[write_slots];
    uint32_t wcount[write_slots];
    bool in_flight[write_slots];  // a refused slot has nothing to wait for
    int osw, osw_mon;
    int ck[3];
    int werr;
    const ser::handle hndl = chnl->com_hndl;

    osw = 0;
    osw_mon = 0;
    ck[0] = ck[1] = ck[2] = 0;
    make_pattern(wstuff, wstuff_len);
    for (int i = 0; i < write_slots; i++) {
        wcount[i] = 0;
        osWrite[i] = {};
        osWrite[i].hEvent = kern::create_event(false, false);
        in_flight[i] = false;
    }
    chnl->out_posted = 0;
    chnl->out_pending = 0;
    chnl->out_time0 = 0;
    chnl->out_time = 0;

    for (int p = 0; p < 3; p++) {
        if (ser::write_file(hndl, wstuff, wstuff_len, &wcount[osw], &osWrite[osw])) {
            chnl->out_posted += wstuff_len;
            in_flight[osw] = true;
        } else if (kern::last_error() == kern::err::io_pending) {
            ck[p] = 1;
            in_flight[osw] = true;
        }
        if (p == 0) chnl->out_time0 = kern::tick_count();
        osw++;
    }
    for (int p = 0; p < 3; p++)
        if (ck[p]) chnl->out_posted += wstuff_len;

    while (chnl->out_running) {
        // Normally idle since it was waited for two passes ago; after a failed wait it may not be.
        if (in_flight[osw]) settle(hndl, &osWrite[osw]);
        werr = issue_write(chnl, hndl, wstuff, &wcount[osw], &osWrite[osw]);
        in_flight[osw] = werr != 0;
        if (werr)
            chnl->out_posted += wstuff_len;
        else if (!in_flight[osw_mon])
            kern::sleep(refused_backoff_ms);  // nothing to wait for: do not spin on a dead port

        if (in_flight[osw_mon] &&
            kern::wait_event(osWrite[osw_mon].hEvent, kern::infinite) == kern::wait_object_0) {
            uint32_t n = 0;
            if (ser::get_overlapped_result(hndl, &osWrite[osw_mon], &n, false) ||
                kern::last_error() != kern::err::io_incomplete) {
                note_gone(chnl);
                wcount[osw_mon] = n;
                in_flight[osw_mon] = false;
            }
        }
        osw = (osw + 1) % write_slots;
        osw_mon = (osw_mon + 1) % write_slots;
    }

    // The writes still in flight use the pattern buffer and the slots of this frame: loop stop's
    // purge (or the close) ends them, and only then may the frame go.
    for (int i = 0; i < write_slots; i++) {
        if (in_flight[i]) settle(hndl, &osWrite[i]);
        kern::close_event(osWrite[i].hEvent);
    }
}

namespace {

// The receive side as the monitor sees it once a second: a receive worker that made no read since
// the previous sample, and none for a second, was not scheduled (its reads end within 30 ms), and a
// port that got nothing for stall_ms while its transmitter ran has stalled. Both allow for the
// scheduling delay of a loaded machine, which an accelerated clock multiplies.
void watch_receiver(chnl_struct* chnl) {
    const uint32_t now = kern::tick_count();
    uint64_t loops = chnl->in_loops;
    if (chnl->mon_loops > 1 && loops == chnl->mon_in_loops && chnl->out_running &&
        now - chnl->in_last_read > jitter_allowance(1000, 250))
        ++chnl->in_starved;
    chnl->mon_in_loops = loops;
    if (chnl->in_stalled || chnl->in_count == 0 || !chnl->out_running) return;
    uint32_t last = chnl->in_last_rx;
    if (now - last >= jitter_allowance(stall_ms, 250)) {
        chnl->in_stall_at = last;
        chnl->in_stalled = 1;
    }
}

}  // namespace

// Marked busy before the call, so that a monitor stuck inside a driver that blocks the call leaves
// the port marked for its replacement.
bool mon_status(chnl_struct* chnl, ser::SERIAL_STATUS* st) {
    const ser::handle h = chnl->com_hndl;
    uint32_t n = 0;
    if (chnl->mon_busy) {
        if (!ser::get_overlapped_result(h, &chnl->mon_ov, &n, false) &&
            kern::last_error() == kern::err::io_incomplete)
            return false;
        chnl->mon_busy = 0;  // over at last; what it says is old by now
    }
    chnl->mon_busy = 1;
    bool ok = ser::device_io_control(h, ser::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &chnl->mon_stat,
                                     sizeof chnl->mon_stat, &n, &chnl->mon_ov);
    if (!ok && kern::last_error() == kern::err::io_pending) return false;
    chnl->mon_busy = 0;
    if (!ok) {
        if (kern::last_error() == kern::err::device_not_connected && !chnl->mon_gone) {
            chnl->mon_gone_at = kern::tick_count();
            chnl->mon_gone = 1;
        }
        return false;
    }
    ser::get_overlapped_result(h, &chnl->mon_ov, &n, false);
    if (n != sizeof *st) return false;
    *st = chnl->mon_stat;
    return true;
}

void wrmon(void*) {
    int ii;

    for (;;) {
        uint32_t slept = kern::tick_count();
        kern::sleep(1000);
        // A wake-up more than a second late: this machine did not give the run the time it needs.
        if (kern::tick_count() - slept > 1000 + jitter_allowance(1000, 250)) ++mon_late;
        for (ii = 0; ii < chnl_count; ii++) mon_sample(&chnls[ii]);
    }
}

void mon_sample(chnl_struct* chnl) {
    ++chnl->mon_loops;
    uint64_t out_posted1 = chnl->out_posted;
    ser::SERIAL_STATUS wserstat;
    if (mon_status(chnl, &wserstat)) {
        // A driver whose queue count says more than was ever written to it (some USB drivers count
        // their own buffers) must not turn the difference negative.
        uint64_t pending = wserstat.AmountInOutQueue;
        chnl->out_pending = pending < out_posted1 ? pending : out_posted1;
        chnl->out_time_last = chnl->out_time.get();
        chnl->out_time = kern::tick_count();
        chnl->out_cur = out_posted1 - chnl->out_pending;
        chnl->in_cur = chnl->in_count + wserstat.AmountInInQueue;
        sample_rx_queue(chnl, wserstat.AmountInInQueue);
        ++chnl->mon_samples;
    } else {
        ++chnl->mon_missed;
    }
    // Also when the status fails: a device that vanished mid-run answers no status, and its
    // receiving stops for good.
    watch_receiver(chnl);
}

namespace {
uint32_t loops_last = 0;
uint32_t loops_count = 0;
}  // namespace

void wrmon_watchdog() {
    if (loop_running && wrmon_thrd_hndl.get() != nullptr && chnls[0].mon_loops == loops_last) {
        ++loops_count;
        if (loops_count > 2) {
            kern::thread_handle stuck = wrmon_thrd_hndl;
            // Bounded: a monitor stuck inside a hung driver call must not freeze the window thread.
            // Abandoned, it stops at its next call into the kernel layer and is reclaimed there.
            kern::terminate_thread_within(stuck, 1000);
            kern::close_thread(stuck);  // the abandoned monitor's handle is never used again
            wrmon_thrd_hndl = kern::create_thread(wrmon, nullptr, 1024, &wrmon_thrd_id);
            loops_last = chnls[0].mon_loops;
            loops_count = 0;
        }
    } else {
        loops_last = chnls[0].mon_loops;
        loops_count = 0;
    }
}

uint32_t watchdog_loops_count() {
    return loops_count;
}

}  // namespace zentrel
