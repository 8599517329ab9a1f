// The listing's forms, the same on every platform.
#include "platform/serial/portlist.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace ser {
namespace {

std::string json_string(const std::string& s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += static_cast<char>(c);
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
        } else {
            o += static_cast<char>(c);
        }
    }
    return o + "\"";
}

std::string state_text(const port_info& p) {
    if (p.placeholder) return "no UART (legacy placeholder)";
    std::string s;
    if (p.console) s = "in use: system console";
    if (p.locked) s += std::string(s.empty() ? "in use: " : ", ") + "locked by another program";
    for (const auto& u : p.users) s += std::string(s.empty() ? "in use: " : ", ") + "open by " + u;
    if (s.empty()) s = p.users_known ? "free" : "free (not all processes could be checked)";
    for (const auto& f : p.far_end) s += ", wired by " + f;
    return s;
}

std::string command_of(const suggestion& s) {
    return std::string(program_name) + " -d " + s.prefix + " -n " + std::to_string(s.count) + " " + std::to_string(s.first);
}

}  // namespace

const char* program_name = "zentrel";

bool split_port_path(const std::string& path, std::string* prefix, int* number) {
    size_t end = path.size(), start = end;
    while (start > 0 && path[start - 1] >= '0' && path[start - 1] <= '9') start--;
    if (start == end || end - start > 9) return false;
    *prefix = path.substr(0, start);
    *number = std::stoi(path.substr(start));
    return true;
}

std::vector<suggestion> suggest(const std::vector<port_info>& ports) {
    std::map<std::string, std::vector<int>> free_by_prefix;
    for (const auto& p : ports) {
        std::string prefix;
        int n = 0;
        if (p.placeholder || p.in_use() || !split_port_path(p.path, &prefix, &n)) continue;
        free_by_prefix[prefix].push_back(n);
    }
    std::vector<suggestion> out;
    for (auto& [prefix, numbers] : free_by_prefix) {
        std::sort(numbers.begin(), numbers.end());
        suggestion best{prefix, numbers[0], 0};
        for (size_t i = 0; i < numbers.size();) {
            size_t j = i + 1;
            while (j < numbers.size() && numbers[j] == numbers[j - 1] + 1) j++;
            int len = static_cast<int>(std::min<size_t>(j - i, 16));
            if (len > best.count) best = {prefix, numbers[i], len};
            i = j;
        }
        out.push_back(best);
    }
    return out;
}

std::string list_text(const std::vector<port_info>& ports) {
    if (ports.empty()) return "No serial ports found.\n";
    size_t wpath = 4, wdrv = 6;
    auto driver_of = [](const port_info& p) {
        std::string d = p.driver.empty() ? "?" : p.driver;
        return p.bus.empty() ? d : d + " (" + p.bus + ")";
    };
    for (const auto& p : ports) {
        wpath = std::max(wpath, p.path.size());
        wdrv = std::max(wdrv, driver_of(p).size());
    }
    std::string o;
    char line[512];
    auto row = [&](const std::string& a, const std::string& b, const std::string& c, const std::string& d,
                   const std::string& e) {
        std::snprintf(line, sizeof line, "%-*s  %-*s  %-8s  %-9s  %s", static_cast<int>(wpath), a.c_str(),
                      static_cast<int>(wdrv), b.c_str(), c.c_str(), d.c_str(), e.c_str());
        o += line;
        o += '\n';
    };
    row("Port", "Driver", "UART", "Base rate", "State");
    for (const auto& p : ports)
        row(p.path, driver_of(p), p.uart.empty() ? "-" : p.uart,
            p.base_baud ? std::to_string(p.base_baud) : "-", state_text(p));
    auto sugg = suggest(ports);
    if (sugg.empty()) {
        o += "\nNo free port to suggest.\n";
    } else {
        o += "\nTo run on the free ports:\n";
        for (const auto& s : sugg) o += "  " + command_of(s) + "\n";
    }
    return o;
}

std::string list_json(const std::vector<port_info>& ports) {
    std::string o = "{\"type\":\"ports\",\"ports\":[";
    for (size_t i = 0; i < ports.size(); i++) {
        const port_info& p = ports[i];
        if (i) o += ",";
        o += "{\"path\":" + json_string(p.path);
        o += ",\"driver\":" + (p.driver.empty() ? std::string("null") : json_string(p.driver));
        o += ",\"bus\":" + (p.bus.empty() ? std::string("null") : json_string(p.bus));
        o += ",\"uart\":" + (p.uart.empty() ? std::string("null") : json_string(p.uart));
        o += ",\"base_baud\":" + (p.base_baud ? std::to_string(p.base_baud) : std::string("null"));
        o += std::string(",\"placeholder\":") + (p.placeholder ? "true" : "false");
        o += std::string(",\"in_use\":") + (p.in_use() ? "true" : "false");
        o += std::string(",\"console\":") + (p.console ? "true" : "false");
        o += std::string(",\"locked\":") + (p.locked ? "true" : "false");
        o += ",\"open_by\":[";
        for (size_t k = 0; k < p.users.size(); k++) o += (k ? "," : "") + json_string(p.users[k]);
        o += "],\"wired_by\":[";
        for (size_t k = 0; k < p.far_end.size(); k++) o += (k ? "," : "") + json_string(p.far_end[k]);
        o += "]}";
    }
    o += "],\"suggestions\":[";
    auto sugg = suggest(ports);
    for (size_t i = 0; i < sugg.size(); i++) {
        const suggestion& s = sugg[i];
        if (i) o += ",";
        o += "{\"prefix\":" + json_string(s.prefix) + ",\"first\":" + std::to_string(s.first) +
             ",\"count\":" + std::to_string(s.count) + ",\"command\":" + json_string(command_of(s)) + "}";
    }
    return o + "]}\n";
}

}  // namespace ser
