#include "read.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "loop.h"
#include "write.h"

namespace zentrel {
namespace {

constexpr int cycle = 64;

// The pattern long enough that any read of up to rstuff_size bytes, starting anywhere in the cycle,
// is one contiguous slice of it.
struct reference {
    uint8_t bytes[rstuff_size + cycle];
    reference() { make_pattern(bytes, sizeof bytes); }
};
const reference ref;

uint8_t next_after_last(uint8_t last) {
    uint8_t n = static_cast<uint8_t>(last + 1);
    return (n < 32 || n >= 96) ? 32 : n;
}

}  // namespace

void rx_ck_bytewise(const uint8_t* buf, int len, chnl_struct* chnl) {
    uint8_t expected = chnl->in_nextchar;
    for (int i = 0; i < len; i++) {
        if (buf[i] != expected) {
            ++chnl->in_errs;
            break;
        }
        expected = static_cast<uint8_t>(expected + 1);
        if (expected >= 96) expected = 32;
    }
    chnl->in_nextchar = next_after_last(buf[len - 1]);
}

void rx_ck(const uint8_t* buf, int len, chnl_struct* chnl) {
    uint8_t expected = chnl->in_nextchar;
    // Only whether the buffer matches matters (one error at most), so one memcmp against the
    // pattern slice starting at the expected byte decides it. An expectation outside the cycle
    // never occurs between calls; the byte walk handles it should it ever.
    if (expected < 32 || expected >= 96 || len > rstuff_size) {
        rx_ck_bytewise(buf, len, chnl);
        return;
    }
    if (std::memcmp(buf, ref.bytes + (expected - 32), static_cast<size_t>(len)) != 0) ++chnl->in_errs;
    chnl->in_nextchar = next_after_last(buf[len - 1]);
}

void settle(ser::handle hndl, ser::overlapped* ov) {
    uint32_t n = 0;
    while (!ser::get_overlapped_result(hndl, ov, &n, false) &&
           kern::last_error() == kern::err::io_incomplete) {
        // A failing wait must not turn into a busy loop.
        if (kern::wait_event(ov->hEvent, kern::infinite) != kern::wait_object_0) kern::sleep(1);
    }
}

int aread(ser::handle hndl, uint8_t* stuff, uint32_t stuff_len, uint32_t* count, ser::overlapped* osRead) {
    int retv = 1;
    uint32_t mask;
    if (ser::read_file(hndl, stuff, stuff_len, count, osRead)) return retv;
    if (kern::last_error() != kern::err::io_pending) {
        *count = 0;
        kern::sleep(refused_backoff_ms);
        return retv;
    }
    for (;;) {
        if (kern::wait_event(osRead->hEvent, kern::infinite) != kern::wait_object_0) {
            kern::reset_event(osRead->hEvent);
            mask = ser::SERIAL_PURGE_TXABORT | ser::SERIAL_PURGE_RXABORT;
            ser::device_io_control(hndl, ser::IOCTL_SERIAL_PURGE, &mask, sizeof mask, nullptr, 0, nullptr,
                                   nullptr);
            // The aborted read must be over before its buffer and record are used again.
            settle(hndl, osRead);
            *count = 0;
            retv = 0;
            return retv;
        }
        // A signal left over from an earlier request says nothing about this one: wait again.
        if (!ser::get_overlapped_result(hndl, osRead, count, false) &&
            kern::last_error() == kern::err::io_incomplete) {
            *count = 0;
            continue;
        }
        return retv;
    }
}

void read(void* arg) {
    auto* chnl = static_cast<chnl_struct*>(arg);
    uint8_t rstuff[rstuff_size];
    int rstuff_len;
    uint32_t rcount = 0;
    ser::SERIAL_TIMEOUTS rtimeouts;
    uint32_t rerr;
    int arslt;
    ser::overlapped osRead;

    osRead = {};
    osRead.hEvent = kern::create_event(false, false);

    rtimeouts = {};
    rtimeouts.ReadIntervalTimeout = ser::MAXDWORD;
    rtimeouts.ReadTotalTimeoutMultiplier = 0;
    rtimeouts.ReadTotalTimeoutConstant = 30;
    rtimeouts.WriteTotalTimeoutMultiplier = 0;
    rtimeouts.WriteTotalTimeoutConstant = 0;
    ser::device_io_control(chnl->com_hndl, ser::IOCTL_SERIAL_SET_TIMEOUTS, &rtimeouts, sizeof rtimeouts,
                           nullptr, 0, &rerr, nullptr);

    chnl->in_cur = 0;
    chnl->in_count = 0;
    chnl->in_errs = 0;
    chnl->in_ovlds = 0;
    chnl->in_nextchar = 32;
    chnl->in_gap_max = 0;
    chnl->in_q_size = rx_queue_size(chnl->com_hndl);
    // Tick of the previous read's return when it brought data: the gaps between such reads are the
    // time the port's queue had to bridge.
    uint32_t data_tick = 0;
    bool data_before = false;

    rstuff_len = rstuff_size;
    // Whether the previous buffer was checked: after a stretch without checking, the expectation is
    // stale, so the first buffer checked again only re-synchronises on its last byte.
    bool checking = data_check != 0;
    for (;;) {
        ++chnl->in_loops;
        kern::set_last_error(kern::err::success);
        arslt = aread(chnl->com_hndl, rstuff, static_cast<uint32_t>(rstuff_len), &rcount, &osRead);
        const uint32_t now = kern::tick_count();
        if (rcount == 0 && kern::last_error() == kern::err::device_not_connected && !chnl->in_gone) {
            chnl->in_gone_at = now;
            chnl->in_gone = 1;
        }
        chnl->in_last_read = now;
        chnl->in_count += rcount;
        if (rcount != 0) {
            if (data_before && now - data_tick > chnl->in_gap_max) chnl->in_gap_max = now - data_tick;
            data_tick = now;
            chnl->in_last_rx = now;
        }
        data_before = rcount != 0;
        if (arslt == 0) {
            ++chnl->in_errs;
        } else if (rcount != 0) {
            bool check_now = data_check != 0;
            if (check_now && checking)
                rx_ck(rstuff, static_cast<int>(rcount), chnl);
            else if (check_now)
                chnl->in_nextchar = next_after_last(rstuff[rcount - 1]);
            if (!check_now || !checking) chnl->in_unchecked += rcount;
            checking = check_now;
        }
    }
    // Never reached: loop stop terminates the worker, whose frame stays valid until its handle is
    // closed after the port's requests were purged.
}

uint32_t rx_queue_size(ser::handle hndl) {
    ser::SERIAL_COMMPROP prop{};
    uint32_t n = 0;
    if (!ser::device_io_control(hndl, ser::IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &prop, sizeof prop, &n,
                                nullptr) ||
        n < offsetof(ser::SERIAL_COMMPROP, CurrentRxQueue) + sizeof prop.CurrentRxQueue)
        return 0;
    return prop.CurrentRxQueue;
}

void sample_rx_queue(chnl_struct* chnl, uint32_t in_queue) {
    uint32_t peak = 0, n = 0;
    // The driver's own peak covers every moment since the previous sample, not just this one.
    if (ser::device_io_control(chnl->com_hndl, ser::IOCTL_GET_INPUT_PEAK, nullptr, 0, &peak, sizeof peak, &n,
                               nullptr) &&
        n == sizeof peak)
        in_queue = std::max(in_queue, peak);
    if (in_queue > chnl->in_q_peak) chnl->in_q_peak = in_queue;
}

int chnl_rx_queue_percent(const chnl_struct* c) {
    uint32_t size = c->in_q_size;
    if (size == 0) return -1;
    return static_cast<int>(std::min<uint64_t>(uint64_t{c->in_q_peak} * 100 / size, 100));
}

int headroom_worst() {
    int worst = -1;
    // The fullest queue first; between ports of equal fill (or queues of unknown size), the longest gap.
    auto key = [](const chnl_struct* c) { return std::pair(chnl_rx_queue_percent(c), c->in_gap_max.get()); };
    for (int i = 0; i < chnl_count; i++)
        if (worst < 0 || key(&chnls[i]) > key(&chnls[worst])) worst = i;
    return worst;
}

std::string headroom_line() {
    int w = headroom_worst();
    if (w < 0) return "Headroom: no port";
    const chnl_struct* c = &chnls[w];
    char label[80], queue[64], line[200];
    port_label(label, sizeof label, c->com_nbr);
    int pct = chnl_rx_queue_percent(c);
    if (pct >= 0)
        std::snprintf(queue, sizeof queue, "receive queue %d%% full", pct);
    else
        std::snprintf(queue, sizeof queue, "receive queue peak %u bytes (size unknown)", c->in_q_peak.get());
    std::snprintf(line, sizeof line, "Headroom: worst %s, %s, longest read gap %u ms", label, queue,
                  c->in_gap_max.get());
    std::string o = line;
    if (rx_priority_refused)
        o += " (receive workers at normal priority: the system refused to raise " +
             std::to_string(rx_priority_refused.get()) + ")";
    return o;
}

std::string headroom_fields(const chnl_struct* c, bool json) {
    uint32_t size = c->in_q_size;
    std::string sz = size ? std::to_string(size) : json ? "null" : "";
    if (!json)
        return "," + std::to_string(c->in_q_peak.get()) + "," + sz + "," +
               std::to_string(c->in_gap_max.get());
    return ",\"rx_queue_peak\":" + std::to_string(c->in_q_peak.get()) + ",\"rx_queue_size\":" + sz +
           ",\"read_gap_max_ms\":" + std::to_string(c->in_gap_max.get());
}

std::string headroom_table() {
    std::string o = "Port        Rx queue peak  Queue size  Full   Read gap ms\n";
    for (int i = 0; i < chnl_count; i++) {
        const chnl_struct* c = &chnls[i];
        char label[80], line[160];
        port_label(label, sizeof label, c->com_nbr);
        int pct = chnl_rx_queue_percent(c);
        std::string size = c->in_q_size ? std::to_string(c->in_q_size.get()) : "unknown";
        std::string full = pct >= 0 ? std::to_string(pct) + "%" : "?";
        std::snprintf(line, sizeof line, "%-12s%-15u%-12s%-7s%u\n", label, c->in_q_peak.get(), size.c_str(),
                      full.c_str(), c->in_gap_max.get());
        o += line;
    }
    return o;
}

void ovld_check(void* arg) {
    auto* chnl = static_cast<chnl_struct*>(arg);
    ser::overlapped osMon;
    uint32_t event_mask;
    uint32_t event_occurred = 0;
    ser::SERIAL_STATUS commstat;
    uint32_t siz;
    char s[82];
    uint32_t err;

    // The watcher may outlive its run's stop (loop stop waits for it only briefly, and a message box
    // holds it as long as the operator likes): it keeps to its own run's port and its own run's mark,
    // so a later run's start does not make its own stop look like a fault.
    const ser::handle hndl = chnl->com_hndl;
    const uint32_t my_mark = run_stop_mark;
    auto stop_begun = [my_mark] { return stop_count != my_mark; };

    osMon = {};
    osMon.hEvent = kern::create_event(true, false);
    kern::reset_event(osMon.hEvent);

    event_mask = ser::SERIAL_EV_ERR;
    if (!ser::device_io_control(hndl, ser::IOCTL_SERIAL_SET_WAIT_MASK, &event_mask, sizeof event_mask,
                                nullptr, 0, &siz, nullptr)) {
        if (stop_begun()) {  // started so late that its port is being closed already
            kern::close_event(osMon.hEvent);
            return;
        }
        std::snprintf(s, sizeof s, "%s", "set mask failed.");
        ui::message_box(hwnd, s, szProgName, ui::mb_ok);
    }
    for (;;) {
        if (!ser::device_io_control(hndl, ser::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &event_occurred,
                                    sizeof event_occurred, &siz, &osMon) &&
            (err = kern::last_error()) != kern::err::io_pending) {
            // Once loop stop has begun, a refused wait is the expected end of the watcher.
            if (!stop_begun()) {
                std::snprintf(s, sizeof s, "wait on mask failed - %d", static_cast<int>(err));
                ui::message_box(hwnd, s, szProgName, ui::mb_ok);
            }
            break;
        }
        kern::wait_event(osMon.hEvent, kern::infinite);
        kern::reset_event(osMon.hEvent);
        settle(hndl, &osMon);  // only matters should the wait above have failed
        if (!ser::device_io_control(hndl, ser::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &commstat,
                                    sizeof commstat, &siz, nullptr))
            break;
        if ((commstat.Errors & ser::SERIAL_ERROR_QUEUEOVERRUN) && wrmon_thrd_hndl.get() != nullptr &&
            !stop_begun())
            ++chnl->in_ovlds;
    }
    kern::close_event(osMon.hEvent);
}

}  // namespace zentrel
