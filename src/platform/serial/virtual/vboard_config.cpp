// Parsing of the virtual board's configuration text.
#include "platform/serial/virtual/vboard_config.h"

#include <cctype>
#include <optional>
#include <stdexcept>

namespace vboard::cfg {
namespace {

[[noreturn]] void bad(const std::string& item) {
    throw std::invalid_argument("virtual board: bad item '" + item + "'");
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

// Plain decimal digits only: no sign, no blanks, nothing after them.
std::optional<uint64_t> number(const std::string& s, uint64_t max) {
    if (s.empty() || s.size() > 19) return std::nullopt;
    uint64_t v = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9') return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(ch - '0');
    }
    if (v > max) return std::nullopt;
    return v;
}

uint32_t positive32(const std::string& s, const std::string& item) {
    auto v = number(s, 0xFFFFFFFFu);
    if (!v || *v == 0) bad(item);
    return static_cast<uint32_t>(*v);
}

int port_number(const std::string& s, const std::string& item) {
    auto v = number(s, max_port_number);
    if (!v || *v == 0) bad(item);
    return static_cast<int>(*v);
}

std::vector<range> ranges(const std::string& s, const std::string& item) {
    std::vector<range> out;
    for (const std::string& part : split(s, ',')) {
        size_t dash = part.find('-');
        range r;
        if (dash == std::string::npos) {
            r.first = r.last = port_number(part, item);
        } else {
            r.first = port_number(part.substr(0, dash), item);
            r.last = port_number(part.substr(dash + 1), item);
            if (r.last < r.first) bad(item);
        }
        out.push_back(r);
    }
    return out;
}

bool contains(const std::vector<range>& rs, int n) {
    for (const range& r : rs)
        if (n >= r.first && n <= r.last) return true;
    return false;
}

void parse_wiring(const std::string& value, config& c, const std::string& item) {
    c.peers.clear();
    if (value == "plug") {
        c.wires = wiring::plug;
        return;
    }
    if (value == "open") {
        c.wires = wiring::open;
        return;
    }
    if (value.rfind("map:", 0) == 0) {
        // One-way lines: A>B takes A's output to B's input (and B's output nowhere unless listed).
        c.wires = wiring::null;
        for (const std::string& line : split(value.substr(4), ',')) {
            size_t gt = line.find('>');
            if (gt == std::string::npos) bad(item);
            int a = port_number(line.substr(0, gt), item);
            int b = port_number(line.substr(gt + 1), item);
            if (c.peers.count(a)) bad(item);
            c.peers[a] = b;
        }
        return;
    }
    if (value.rfind("null:", 0) != 0) bad(item);
    c.wires = wiring::null;
    for (const std::string& pair : split(value.substr(5), ',')) {
        size_t dash = pair.find('-');
        if (dash == std::string::npos) bad(item);
        int a = port_number(pair.substr(0, dash), item);
        int b = port_number(pair.substr(dash + 1), item);
        if (a == b || c.peers.count(a) || c.peers.count(b)) bad(item);
        c.peers[a] = b;
        c.peers[b] = a;
    }
}

uint32_t refuse_of(const std::string& name) {
    static const std::pair<const char*, uint32_t> names[] = {
        {"baud", refuse_baud},
        {"loopback", refuse_loopback},
        {"timeouts", refuse_timeouts},
        {"waitmask", refuse_waitmask},
        {"waitonmask", refuse_waitonmask},
        {"purge", refuse_purge},
        {"gethandflow", refuse_gethandflow},
        {"sethandflow", refuse_sethandflow},
        {"status", refuse_status},
        {"read", refuse_read},
        {"write", refuse_write},
        {"stats", refuse_stats},
    };
    for (const auto& [n, bit] : names)
        if (name == n) return bit;
    return 0;
}

}  // namespace

bool config::exists(int n) const {
    return contains(ports, n);
}

faults config::faults_of(int n) const {
    faults f;
    for (const auto& [rs, text] : fault_items)
        if (contains(rs, n)) parse_faults(text, f, text);
    return f;
}

void parse_faults(const std::string& text, faults& f, const std::string& item) {
    if (text.empty()) return;
    for (const std::string& one : split(text, ',')) {
        size_t eq = one.find('=');
        std::string name = one.substr(0, eq);
        std::string value = eq == std::string::npos ? std::string() : one.substr(eq + 1);
        bool has_value = eq != std::string::npos;
        if (!has_value && name == "missing") {
            f.missing = true;
        } else if (!has_value && name == "busy") {
            f.busy = true;
        } else if (!has_value && name == "status-hang") {
            f.status_hang = true;
        } else if (!has_value && name == "status-block") {
            f.status_block = true;
        } else if (!has_value && name == "status16") {
            f.status16 = true;
        } else if (has_value && name == "maxbaud") {
            f.maxbaud = positive32(value, item);
        } else if (has_value && name == "refuse") {
            uint32_t bit = refuse_of(value);
            if (!bit) bad(item);
            f.refused |= bit;
        } else if (has_value && name == "ignore") {
            uint32_t bit = refuse_of(value);
            if (bit != refuse_baud && bit != refuse_sethandflow) bad(item);
            f.ignored |= bit;
        } else if (has_value && name == "noise") {
            f.noise = positive32(value, item);
        } else if (has_value && name == "drop") {
            f.drop = positive32(value, item);
        } else if (has_value && name == "dropblock") {
            f.dropblock = positive32(value, item);
        } else if (has_value && name == "pause") {
            size_t colon = value.find(':');
            if (colon == std::string::npos) bad(item);
            auto from = number(value.substr(0, colon), 0xFFFFFFFFu);
            if (!from) bad(item);
            f.pause_from_ms = static_cast<int64_t>(*from);
            f.pause_ms = positive32(value.substr(colon + 1), item);
        } else if (has_value && name == "frame") {
            f.frame = positive32(value, item);
        } else if (has_value && name == "parity") {
            f.parity = positive32(value, item);
        } else if (has_value && name == "overrun") {
            f.overrun = positive32(value, item);
        } else if (has_value && name == "break") {
            f.break_ms = positive32(value, item);
        } else if (has_value && name == "slow") {
            f.slow = positive32(value, item);
        } else if (has_value && name == "unplug") {
            auto ms = number(value, 0xFFFFFFFFu);
            if (!ms) bad(item);
            f.unplug_ms = static_cast<int64_t>(*ms);
        } else {
            bad(item);
        }
    }
}

config parse(const std::string& text) {
    std::string compact;
    for (char ch : text)
        if (!std::isspace(static_cast<unsigned char>(ch))) compact += ch;

    config c;
    for (const std::string& item : split(compact, ';')) {
        if (item.empty()) continue;
        if (std::isdigit(static_cast<unsigned char>(item[0]))) {
            size_t colon = item.find(':');
            if (colon == std::string::npos || colon + 1 == item.size()) bad(item);
            std::vector<range> rs = ranges(item.substr(0, colon), item);
            std::string list = item.substr(colon + 1);
            faults check;
            parse_faults(list, check, item);  // reject it now, not at the first open
            c.fault_items.emplace_back(std::move(rs), std::move(list));
            continue;
        }
        size_t eq = item.find('=');
        if (eq == std::string::npos) bad(item);
        std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        if (key == "ports") {
            c.ports = ranges(value, item);
        } else if (key == "queue") {
            c.queue = positive32(value, item);
            if (c.queue > (64u << 20)) bad(item);  // a queue is allocated per open port
        } else if (key == "maxbaud") {
            c.maxbaud = positive32(value, item);
        } else if (key == "wiring") {
            parse_wiring(value, c, item);
        } else {
            bad(item);
        }
    }
    return c;
}

}  // namespace vboard::cfg
