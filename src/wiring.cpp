#include "wiring.h"

#include <cstdio>
#include <cstring>
#include <random>

#include "loop.h"
#include "model/chnl.h"

namespace zentrel {
namespace {

constexpr uint8_t id_mark = 96;
constexpr uint8_t id_first = 97;  // symbols 97..126
constexpr int id_symbols = 30;
constexpr int nonce_len = 5;
constexpr int frame_len = 1 + nonce_len + 2;  // mark, nonce, channel, check
// A few times over: a receiver that missed the first bytes (a line still settling from its open)
// still finds a whole identification. Once only on slow lines, where three take too long.
constexpr int repeats = 3;
constexpr int id_len = frame_len * repeats;
constexpr int32_t repeat_min_baud = 2400;
constexpr uint32_t read_size = 256;
constexpr uint32_t read_wait_ms = 10;  // clock time a read waits for its first byte

// Bounds in real milliseconds, turned into clock time: the pty plug and real drivers answer in real
// time, whatever the clock's scale. A port that hears nothing is listened to for at least
// listen_min_ms; the listening never lasts more than listen_max_ms.
constexpr uint32_t listen_min_ms = 300;
constexpr uint32_t listen_max_ms = 1200;
constexpr uint32_t poll_ms = 2;
constexpr uint32_t settle_ms = 20;       // after a phase that timed out: for bytes still on the wire
constexpr uint32_t abort_wait_ms = 100;  // for a purged request to come back

uint32_t clock_ms(uint32_t real_ms) {
    double ms = real_ms * kern::clock_scale();
    return ms < 1.0 ? 1u : ms > 4e9 ? 4000000000u : static_cast<uint32_t>(ms);
}

uint8_t check_symbol(const uint8_t* frame) {
    uint32_t sum = 0;
    for (int k = 1; k < frame_len - 1; k++) sum += static_cast<uint32_t>(k) * (frame[k] - id_first);
    return static_cast<uint8_t>(id_first + sum % id_symbols);
}

// What one port received, decoded as it arrives.
struct decoder {
    uint8_t frame[frame_len];
    int pos = 0;         // bytes of the frame so far; 0: outside a frame
    uint32_t heard = 0;  // channels of this run whose identification arrived, one bit each
    uint32_t frames = 0, foreign = 0, junk = 0;
    uint64_t bytes = 0;  // bytes of the identification range

    void take(uint8_t b, const uint8_t* nonce, int count) {
        if (b < id_mark || b > id_first + id_symbols - 1) {
            // Not of the identification range: a frame it interrupts is lost, the byte is not ours.
            junk += static_cast<uint32_t>(pos);
            pos = 0;
            return;
        }
        bytes++;
        if (b == id_mark) {
            junk += static_cast<uint32_t>(pos);
            frame[0] = b;
            pos = 1;
            return;
        }
        if (pos == 0) {
            junk++;
            return;
        }
        frame[pos++] = b;
        if (pos < frame_len) return;
        pos = 0;
        if (frame[frame_len - 1] != check_symbol(frame)) {
            junk += frame_len;
            return;
        }
        int ch = frame[frame_len - 2] - id_first;
        if (std::memcmp(frame + 1, nonce, nonce_len) == 0 && ch < count) {
            heard |= 1u << ch;
            frames++;
        } else {
            foreign++;
        }
    }

    int32_t verdict() const {
        if (foreign) return wire_foreign;
        // Two of ours on one line garble each other's identifications: what does not decode is theirs.
        if (heard & (heard - 1)) return wire_several;
        // A damaged identification among good ones is line noise; more than one, or nothing but
        // damage, is someone else talking on the line.
        if (junk > static_cast<uint32_t>(frame_len) || (junk && !frames)) return wire_foreign;
        if (heard == 0) return wire_none;
        int ch = 0;
        while (!(heard & (1u << ch))) ch++;
        return ch;
    }
};

struct port_io {
    ser::overlapped wov, rov;
    uint8_t out[id_len];
    uint8_t in[read_size];
    bool part = false;  // took part: its events were made and its requests issued
    bool sends = false, listens = false;
    bool writing = false, reading = false;
    decoder d;
};

// Static: a request a driver never gives back keeps its buffer and record valid. Its event is closed
// at the next identification, by when loop stop has closed the port and so completed the request.
port_io ports[max_chnls];

bool in_flight(ser::overlapped* ov) {
    uint32_t n = 0;
    return !ser::get_overlapped_result(0, ov, &n, false) && kern::last_error() == kern::err::io_incomplete;
}

// Closes the event of a request that is over, or never went out (*busy false); false while a driver
// still holds the request.
bool release(ser::overlapped* ov, bool* busy) {
    if (*busy && in_flight(ov)) return false;
    *busy = false;
    if (ov->hEvent) kern::close_event(ov->hEvent);
    ov->hEvent = nullptr;
    return true;
}

void make_nonce(uint8_t* nonce) {
    static uint64_t runs = 0;
    uint64_t seed = kern::now_us() ^ (++runs << 48);
    try {
        std::random_device rd;
        seed ^= (static_cast<uint64_t>(rd()) << 32) ^ rd();
    } catch (...) {
        // No entropy source: the clock alone still differs between two analyzers' starts.
    }
    std::mt19937_64 gen(seed);
    for (int k = 0; k < nonce_len; k++) nonce[k] = static_cast<uint8_t>(id_first + gen() % id_symbols);
}

bool ioctl_in(ser::handle h, uint32_t code, const void* in, uint32_t size) {
    uint32_t returned;
    return ser::device_io_control(h, code, in, size, nullptr, 0, &returned, nullptr);
}

// Readies port i to listen, unless it cannot take part at all.
void prepare(int i) {
    port_io& p = ports[i];
    ser::handle h = chnls[i].com_hndl;
    ser::SERIAL_LINE_CONTROL lc{};
    uint32_t returned = 0;
    // Fewer than 7 data bits would cut the identification into other bytes.
    if (ser::device_io_control(h, ser::IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &lc, sizeof lc, &returned,
                               nullptr) &&
        returned == sizeof lc && lc.WordLength < 7)
        return;
    // Reads that return as soon as a byte is there, or empty after a moment: the driver serves a
    // waiting read as it serves the receive worker's.
    ser::SERIAL_TIMEOUTS to{};
    to.ReadIntervalTimeout = ser::MAXDWORD;
    to.ReadTotalTimeoutMultiplier = ser::MAXDWORD;
    to.ReadTotalTimeoutConstant = read_wait_ms;
    if (!ioctl_in(h, ser::IOCTL_SERIAL_SET_TIMEOUTS, &to, sizeof to)) return;
    // What an earlier user left on the line is not ours.
    uint32_t mask = ser::SERIAL_PURGE_RXCLEAR;
    ioctl_in(h, ser::IOCTL_SERIAL_PURGE, &mask, sizeof mask);
    p.listens = true;
}

// Sends port i's identification, len bytes of it.
void identify(int i, const uint8_t* nonce, uint32_t len) {
    port_io& p = ports[i];
    for (int r = 0; r < repeats; r++) {
        uint8_t* f = p.out + r * frame_len;
        f[0] = id_mark;
        std::memcpy(f + 1, nonce, nonce_len);
        f[frame_len - 2] = static_cast<uint8_t>(id_first + i);
        f[frame_len - 1] = check_symbol(f);
    }
    uint32_t n = 0;
    kern::reset_event(p.wov.hEvent);
    if (ser::write_file(chnls[i].com_hndl, p.out, len, &n, &p.wov)) {
        p.sends = true;
    } else if (kern::last_error() == kern::err::io_pending) {
        p.sends = p.writing = true;
    }
}

// Takes what port i has received so far; false when its reads are refused.
bool poll_port(int i, const uint8_t* nonce, int count) {
    port_io& p = ports[i];
    ser::handle h = chnls[i].com_hndl;
    for (int rounds = 0; rounds < 16; rounds++) {
        uint32_t n = 0;
        if (p.reading) {
            if (!ser::get_overlapped_result(h, &p.rov, &n, false)) {
                if (kern::last_error() == kern::err::io_incomplete) return true;
                p.reading = false;
                return false;
            }
            p.reading = false;
        } else {
            kern::reset_event(p.rov.hEvent);
            if (!ser::read_file(h, p.in, read_size, &n, &p.rov)) {
                if (kern::last_error() != kern::err::io_pending) return false;
                p.reading = true;
                continue;
            }
        }
        for (uint32_t k = 0; k < n; k++) p.d.take(p.in[k], nonce, count);
        if (n < read_size) return true;
    }
    return true;
}

void purge_all(int count, uint32_t mask) {
    for (int i = 0; i < count; i++)
        if (ports[i].part) ioctl_in(chnls[i].com_hndl, ser::IOCTL_SERIAL_PURGE, &mask, sizeof mask);
}

}  // namespace

void wiring_identify() {
    const int count = chnl_count;
    uint8_t nonce[nonce_len];
    make_nonce(nonce);

    int32_t slowest = 0;
    for (int i = 0; i < count; i++) {
        port_io& p = ports[i];
        // Requests abandoned by the last identification are over once their ports were closed.
        bool free = release(&p.wov, &p.writing);
        free = release(&p.rov, &p.reading) && free;
        if (!free) {
            // Still held by a driver that never answered: this port sits out.
            p.part = p.listens = p.sends = false;
            continue;
        }
        p = port_io{};
        p.part = true;
        p.wov.hEvent = kern::create_event(true, false);
        p.rov.hEvent = kern::create_event(true, false);
        int32_t baud = chnls[i].com_baud;
        if (baud > 0 && (slowest == 0 || baud < slowest)) slowest = baud;
    }
    const uint32_t len = slowest > 0 && slowest < repeat_min_baud ? frame_len : id_len;
    // Every port is ready before any sends: a port's purge must not take what another sent it.
    for (int i = 0; i < count; i++)
        if (ports[i].part) prepare(i);
    for (int i = 0; i < count; i++)
        if (ports[i].listens) identify(i, nonce, len);

    // Twice the identification's time on the slowest line, and what real drivers and the plug take
    // to answer; never more than the bound.
    // Character time in the run's format: 7E2 or 8N2 take longer than 8N1's ten bits.
    const uint64_t half_bits = char_half_bits(com_format.get());
    uint64_t line_ms = slowest > 0 ? uint64_t{len} * half_bits * 500u / static_cast<uint64_t>(slowest) + 1 : 0;
    uint64_t listen = 2 * line_ms + clock_ms(listen_min_ms);
    if (listen > clock_ms(listen_max_ms)) listen = clock_ms(listen_max_ms);

    const uint32_t start = kern::tick_count();
    bool complete = false;
    for (;;) {
        uint64_t sent = 0, heard = 0;
        bool settled = true;
        for (int i = 0; i < count; i++) {
            port_io& p = ports[i];
            if (p.writing) {
                uint32_t n = 0;
                if (ser::get_overlapped_result(chnls[i].com_hndl, &p.wov, &n, false))
                    p.writing = false;
                else if (kern::last_error() != kern::err::io_incomplete)
                    p.writing = p.sends = false;  // refused on its way: nothing known of where it went
            }
            if (p.listens && !poll_port(i, nonce, count)) p.listens = p.sends = false;
            if (p.sends) sent += len;
            heard += p.d.bytes;
            if (p.writing || p.d.pos != 0 || (p.sends && p.listens && p.d.frames == 0)) settled = false;
        }
        // Everything sent has arrived: on lines among these ports nothing more is on its way.
        if (settled && heard >= sent) {
            complete = true;
            break;
        }
        if (kern::tick_count() - start >= listen) break;
        kern::sleep(clock_ms(poll_ms));
    }

    // Nothing of this reaches the run: what is still queued goes, what arrived is thrown away.
    purge_all(count, ser::SERIAL_PURGE_TXABORT | ser::SERIAL_PURGE_TXCLEAR);
    if (!complete) {
        kern::sleep(clock_ms(settle_ms));
        for (int i = 0; i < count; i++)
            if (ports[i].listens && !poll_port(i, nonce, count)) ports[i].listens = false;
    }
    purge_all(count, ser::SERIAL_PURGE_RXABORT | ser::SERIAL_PURGE_RXCLEAR);

    // Purged requests come back at once; one a driver keeps is left for the next time.
    const uint32_t abort_start = kern::tick_count(), abort_wait = clock_ms(abort_wait_ms);
    auto left = [&] {
        uint32_t spent = kern::tick_count() - abort_start;
        return spent < abort_wait ? abort_wait - spent : 0u;
    };
    for (int i = 0; i < count; i++) {
        port_io& p = ports[i];
        if (p.part) {
            if (p.writing && in_flight(&p.wov)) kern::wait_event(p.wov.hEvent, left());
            if (p.reading && in_flight(&p.rov)) kern::wait_event(p.rov.hEvent, left());
            release(&p.wov, &p.writing);
            release(&p.rov, &p.reading);
        }
        chnls[i].wire_from = p.part && p.sends && p.listens ? p.d.verdict() : wire_untested;
    }
}

// ---- Judging the map ------------------------------------------------------------------------------

bool wiring_judge(const int32_t* from, const int32_t* nbrs, int count, int i, int32_t expect, char* reason,
                  int size) {
    char label[64];
    auto say = [&](bool ok, const char* text) {
        if (size > 0) std::snprintf(reason, static_cast<size_t>(size), "%s", text);
        return ok;
    };
    int32_t f = from[i];
    if (f == wire_untested) return say(expect == wiring_any, "not tested");
    if (f == wire_several) return say(false, "receives from two sources");
    if (f == wire_none) return say(false, "receives nothing");
    if (f < 0 || f >= count) return say(false, "receives from another program");
    if (f == i) return say(expect != wiring_pairs, expect == wiring_pairs ? "expected a null-modem pair" : "looped back");
    port_label(label, sizeof label, nbrs[f]);
    char text[128];
    if (from[f] != i) {
        std::snprintf(text, sizeof text, "%s does not receive from it", label);
        return say(false, text);
    }
    if (expect == wiring_loopback) return say(false, "expected a loopback");
    std::snprintf(text, sizeof text, "receives from %s", label);
    return say(true, text);
}

bool chnl_wiring_ok(int i, char* reason, int size) {
    int32_t from[max_chnls], nbrs[max_chnls];
    int count = chnl_count;
    if (count > max_chnls) count = max_chnls;
    for (int k = 0; k < count; k++) from[k] = chnls[k].wire_from, nbrs[k] = chnls[k].com_nbr;
    return wiring_judge(from, nbrs, count, i, wiring_expect, reason, size);
}

int chnl_source(int i) {
    const int32_t from = chnls[i].wire_from;
    return from >= 0 && from < chnl_count && from < max_chnls ? from : i;
}

namespace {

void json_string(std::string& o, const char* s) {
    o += '"';
    for (const char* c = s; *c; c++) {
        auto b = static_cast<unsigned char>(*c);
        if (b == '"' || b == '\\') {
            o += '\\';
            o += static_cast<char>(b);
        } else if (b < 0x20 || b >= 0x7F) {
            char e[8];
            std::snprintf(e, sizeof e, "\\u%04x", b);
            o += e;
        } else {
            o += static_cast<char>(b);
        }
    }
    o += '"';
}

}  // namespace

std::string wiring_json(const int32_t* from, const int32_t* nbrs, int count) {
    std::string o = "{";
    char label[64];
    for (int i = 0; i < count; i++) {
        if (i) o += ',';
        port_label(label, sizeof label, nbrs[i]);
        json_string(o, label);
        o += ':';
        if (from[i] >= 0 && from[i] < count) {
            port_label(label, sizeof label, nbrs[from[i]]);
            json_string(o, label);
        } else {
            o += "null";
        }
    }
    return o + "}";
}

std::string wiring_json() {
    int32_t from[max_chnls], nbrs[max_chnls];
    int count = chnl_count;
    if (count > max_chnls) count = max_chnls;
    for (int k = 0; k < count; k++) from[k] = chnls[k].wire_from, nbrs[k] = chnls[k].com_nbr;
    return wiring_json(from, nbrs, count);
}

}  // namespace zentrel
