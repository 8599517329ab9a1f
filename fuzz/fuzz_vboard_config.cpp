// The virtual board's configuration text: any text is either refused with invalid_argument or yields
// a configuration whose ranges, pairs and faults are consistent.
#include <stdexcept>
#include <string>

#include "fuzz_util.h"
#include "platform/serial/virtual/vboard_config.h"

namespace cfg = vboard::cfg;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    cfg::config c;
    try {
        c = cfg::parse(text);
    } catch (const std::invalid_argument& e) {
        FUZZ_CHECK(std::string(e.what()).find("virtual board") != std::string::npos);
        return 0;
    }
    FUZZ_CHECK(c.queue > 0 && c.maxbaud > 0);
    for (const cfg::range& r : c.ports) {
        FUZZ_CHECK(1 <= r.first && r.first <= r.last && r.last <= cfg::max_port_number);
        FUZZ_CHECK(c.exists(r.first) && c.exists(r.last));
    }
    // Peers are null-modem pairs (both ways) or one-way lines (wiring=map, a port may feed itself);
    // either way only a wired board has them, and each names ports in range.
    for (const auto& [a, b] : c.peers) {
        FUZZ_CHECK(1 <= a && a <= cfg::max_port_number && 1 <= b && b <= cfg::max_port_number);
    }
    if (c.wires != cfg::wiring::null) FUZZ_CHECK(c.peers.empty());
    // Faults were checked when parsed: reading them back for any port never throws.
    for (const auto& [ranges, faults] : c.fault_items) {
        for (const cfg::range& r : ranges) {
            FUZZ_CHECK(1 <= r.first && r.first <= r.last && r.last <= cfg::max_port_number);
            for (int n : {r.first, r.last}) {
                cfg::faults f = c.faults_of(n);
                FUZZ_CHECK(f.unplug_ms >= -1);
            }
        }
    }
    c.faults_of(0);
    c.faults_of(cfg::max_port_number);
    return 0;
}
