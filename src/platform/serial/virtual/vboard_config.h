// The virtual board's configuration once parsed (the syntax is described in vboard.h).
// Internal to the board.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vboard::cfg {

// Device paths carry at most nine digits, so every number they can name fits an int.
constexpr int max_port_number = 999'999'999;

struct range {
    int first = 0, last = 0;
};

// Requests a port can be configured to refuse, one bit each.
enum refuse_bit : uint32_t {
    refuse_baud = 1u << 0,
    refuse_loopback = 1u << 1,
    refuse_timeouts = 1u << 2,
    refuse_waitmask = 1u << 3,
    refuse_waitonmask = 1u << 4,
    refuse_purge = 1u << 5,
    refuse_gethandflow = 1u << 6,
    refuse_sethandflow = 1u << 7,
    refuse_status = 1u << 8,
    refuse_read = 1u << 9,
    refuse_write = 1u << 10,
    refuse_stats = 1u << 11,  // the error statistics and the break count: a driver without counters
};

// Faults of one port; zero values mean "not present".
struct faults {
    bool missing = false;
    bool busy = false;
    bool status_hang = false;
    bool status_block = false;
    bool status16 = false;
    uint32_t maxbaud = 0;
    uint32_t refused = 0;   // refuse_bit values
    uint32_t ignored = 0;   // refuse_bit values of settings accepted and not kept (baud, sethandflow)
    uint32_t noise = 0;     // every N-th arriving byte corrupted
    uint32_t drop = 0;      // every N-th arriving byte lost
    uint32_t dropblock = 0;  // every N-th block of 64 arriving bytes lost
    uint32_t slow = 0;      // bytes per second from the input queue into reads
    uint32_t frame = 0;     // every N-th arriving byte has a framing error (and arrives corrupted)
    uint32_t parity = 0;    // every N-th arriving byte has a parity error (and arrives corrupted)
    uint32_t overrun = 0;   // every N-th arriving byte is lost to a hardware (UART) overrun
    uint32_t break_ms = 0;  // a break arrives every MS milliseconds of line time (as a NUL byte)
    int64_t unplug_ms = -1;
    int64_t pause_from_ms = -1;  // from then on, for pause_ms, arriving bytes are lost
    uint32_t pause_ms = 0;
};

enum class wiring { plug, open, null };

struct config {
    std::vector<range> ports{{1, 256}};
    uint32_t queue = 4096;
    uint32_t maxbaud = 921600;
    wiring wires = wiring::plug;
    std::map<int, int> peers;  // where each wired port's output goes (both ways for a null-modem pair)
    // Fault items in the order given; later items override earlier ones field by field.
    std::vector<std::pair<std::vector<range>, std::string>> fault_items;

    bool exists(int n) const;
    faults faults_of(int n) const;
};

// Throws std::invalid_argument naming the first faulty item.
config parse(const std::string& text);

// Applies "FAULT[,FAULT]" on top of `into` ("" adds nothing). Throws std::invalid_argument naming
// `item` when the text is not understood.
void parse_faults(const std::string& text, faults& into, const std::string& item);

}  // namespace vboard::cfg
