// The serial ports of a Linux system, from sysfs and /proc only: no device is opened, since opening a
// serial port raises its modem lines and may disturb whoever uses it (here /dev/ttyS0 is the console).
//
//   /sys/class/tty/NAME/device   present for ttys with hardware (or a bus device) behind them; its
//                                driver and subsystem links name the driver and the bus. Since Linux
//                                6.5 it is a "serial-base" port device whose parent is the controller.
//   /sys/class/tty/NAME/type     UART type of serial-core ports; 0 (unknown) is a legacy 8250 slot
//                                with nothing behind it. uartclk / 16 is the base rate.
//   /sys/class/tty/console/active   the ttys the console runs on.
//   /proc/locks                  flock()s on device nodes (an analyzer's exclusive hold).
//   /proc/PID/fd/*               who holds a device open.
//   /proc/tty/drivers            driver names by major number, for devices sysfs does not list (ptys).
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

#include "platform/serial/portlist.h"
#include "platform/serial/termios/tty_sysinfo.h"

namespace ser {
namespace {

std::string read_line(const std::string& file) {
    std::ifstream f(file);
    std::string s;
    std::getline(f, s);
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r')) s.pop_back();
    return s;
}

bool read_number(const std::string& file, unsigned long long* v) {
    std::string s = read_line(file);
    if (s.empty()) return false;
    char* end = nullptr;
    *v = std::strtoull(s.c_str(), &end, 0);
    return end && *end == '\0';
}

std::string base_name(const std::string& p) {
    size_t k = p.find_last_of('/');
    return k == std::string::npos ? p : p.substr(k + 1);
}

std::string link_name(const std::string& link) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return {};
    return base_name(std::string(buf, static_cast<size_t>(n)));
}

std::string real_path(const std::string& p) {
    char buf[PATH_MAX];
    return ::realpath(p.c_str(), buf) ? std::string(buf) : p;
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') out.emplace_back(e->d_name);
        ::closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool all_digits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The kernel's serial_core port types (include/uapi/linux/serial_core.h).
std::string uart_name(unsigned long long type) {
    static const char* const names[] = {
        "unknown",     "8250",      "16450",           "16550",           "16550A",           "Cirrus",
        "16650",       "16650V2",   "16750",           "Startech",        "16C950",           "16654",
        "16850",       "RSA",       "NS16550A",        "XScale",          "RM9000",           "Octeon",
        "AR7",         "U6_16550A", "Tegra",           "XR17D15X",        "LPC3220",          "8250_CIR",
        "XR17V35X",    "TruManage", "Altera16550_F32", "Altera16550_F64", "Altera16550_F128", "RT2880",
        "16550A_FSL64"};
    if (type < sizeof names / sizeof names[0]) return names[type];
    return "type " + std::to_string(type);
}

// The device behind a tty's sysfs directory. The serial-base bus (Linux 6.5) puts a port device and a
// controller device between the tty and the hardware; the driver worth naming is the hardware's.
std::string hardware_of(const std::string& tty_dir) {
    std::string dev = real_path(tty_dir + "/device");
    for (int up = 0; up < 3 && link_name(dev + "/subsystem") == "serial-base"; up++)
        dev = dev.substr(0, dev.find_last_of('/'));
    return dev;
}

struct tty_driver_entry {
    std::string name;
    unsigned major = 0, minor_lo = 0, minor_hi = 0;
};

std::vector<tty_driver_entry> tty_drivers(const std::string& proc) {
    std::vector<tty_driver_entry> out;
    std::ifstream f(proc + "/tty/drivers");
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream in(line);
        tty_driver_entry e;
        std::string node, minors;
        if (!(in >> e.name >> node >> e.major >> minors)) continue;
        unsigned lo = 0, hi = 0;
        if (std::sscanf(minors.c_str(), "%u-%u", &lo, &hi) == 2) {
            e.minor_lo = lo;
            e.minor_hi = hi;
        } else if (std::sscanf(minors.c_str(), "%u", &lo) == 1) {
            e.minor_lo = e.minor_hi = lo;
        }
        out.push_back(e);
    }
    return out;
}

// A device file outside sysfs (a pty behind a plug's link): its driver from /proc/tty/drivers, or from
// sysfs when the number belongs to a tty that sysfs knows.
void describe_device_file(port_info* p, const struct stat& st, const list_roots& roots) {
    unsigned maj = major(st.st_rdev), min = minor(st.st_rdev);
    std::string sys_tty =
        real_path(roots.sys + "/dev/char/" + std::to_string(maj) + ":" + std::to_string(min));
    if (::access((sys_tty + "/device").c_str(), F_OK) == 0) {
        std::string dev = hardware_of(sys_tty);
        p->driver = link_name(dev + "/driver");
        p->bus = link_name(dev + "/subsystem");
        return;
    }
    for (const auto& d : tty_drivers(roots.proc))
        if (d.major == maj && min >= d.minor_lo && min <= d.minor_hi) {
            p->driver = d.name;
            return;
        }
}

port_info from_sysfs(const std::string& name, const list_roots& roots) {
    const std::string tty = roots.sys + "/class/tty/" + name;
    port_info p;
    // devtmpfs names the node after DEVNAME (which may hold a subdirectory).
    std::string devname = name;
    {
        std::ifstream f(tty + "/uevent");
        std::string line;
        while (std::getline(f, line))
            if (line.rfind("DEVNAME=", 0) == 0) devname = line.substr(8);
    }
    p.path = roots.dev + "/" + devname;
    std::string dev = hardware_of(tty);
    p.driver = link_name(dev + "/driver");
    p.bus = link_name(dev + "/subsystem");
    unsigned long long type = 0, clk = 0;
    if (read_number(tty + "/type", &type)) {
        p.placeholder = type == 0;
        if (type) p.uart = uart_name(type);
    }
    if (!p.placeholder && read_number(tty + "/uartclk", &clk) && clk >= 16)
        p.base_baud = static_cast<uint32_t>(clk / 16);
    return p;
}

struct flock_entry {
    dev_t dev;
    uint64_t ino;
    int pid;
};

// flock()s on files, by device and inode: "1: FLOCK  ADVISORY  WRITE 1234 00:05:123 0 EOF". Waiters
// ("1: -> FLOCK ...") hold nothing.
std::vector<flock_entry> flocked(const std::string& proc) {
    std::vector<flock_entry> out;
    std::ifstream f(proc + "/locks");
    std::string line;
    while (std::getline(f, line)) {
        if (line.find("FLOCK") == std::string::npos || line.find("->") != std::string::npos) continue;
        std::istringstream in(line);
        std::string tok, prev;
        while (in >> tok) {
            unsigned maj = 0, min = 0;
            unsigned long long ino = 0;
            char tail = 0;
            if (std::sscanf(tok.c_str(), "%x:%x:%llu%c", &maj, &min, &ino, &tail) == 3) {
                out.push_back({makedev(maj, min), ino, std::atoi(prev.c_str())});
                break;
            }
            prev = tok;
        }
    }
    return out;
}

std::vector<std::string> console_names(const list_roots& roots) {
    std::istringstream consoles(read_line(roots.sys + "/class/tty/console/active"));
    std::vector<std::string> names;
    for (std::string c; consoles >> c;) names.push_back(c);
    return names;
}

// Every open file of every process: the file's path -> "PID (command)". A process holding a pty's
// master is its far end (the plug's wiring), not a user: those go to *far_ends, by the slave's path.
// Process `skip` is left out.
std::multimap<std::string, std::string> open_files(const list_roots& roots, bool* complete,
                                                   std::multimap<std::string, std::string>* far_ends,
                                                   int skip = 0) {
    const std::string& proc = roots.proc;
    std::multimap<std::string, std::string> out;
    *complete = true;
    for (const auto& pid : entries(proc)) {
        if (!all_digits(pid) || std::atoi(pid.c_str()) == skip) continue;
        const std::string fd_dir = proc + "/" + pid + "/fd";
        DIR* d = ::opendir(fd_dir.c_str());
        if (!d) {
            if (::access((proc + "/" + pid).c_str(), F_OK) == 0) *complete = false;
            continue;
        }
        std::string who;
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            char buf[PATH_MAX];
            ssize_t n = ::readlink((fd_dir + "/" + e->d_name).c_str(), buf, sizeof buf - 1);
            if (n <= 0 || buf[0] != '/') continue;
            if (who.empty()) who = pid + " (" + read_line(proc + "/" + pid + "/comm") + ")";
            std::string target(buf, static_cast<size_t>(n));
            if (base_name(target) == "ptmx") {
                std::ifstream info(proc + "/" + pid + "/fdinfo/" + e->d_name);
                std::string line;
                while (std::getline(info, line))
                    if (line.rfind("tty-index:", 0) == 0)
                        far_ends->emplace(roots.dev + "/pts/" + std::to_string(std::atoi(line.c_str() + 10)),
                                          who);
                continue;
            }
            out.emplace(target, who);
        }
        ::closedir(d);
    }
    return out;
}

}  // namespace

std::vector<port_info> list_ports(const std::string& prefix, const list_roots& roots) {
    std::vector<port_info> ports;
    for (const auto& name : entries(roots.sys + "/class/tty")) {
        // Only ttys with a device behind them are serial ports; consoles, ptmx and virtual
        // terminals have none.
        if (::access((roots.sys + "/class/tty/" + name + "/device").c_str(), F_OK) != 0) continue;
        ports.push_back(from_sysfs(name, roots));
    }
    if (!prefix.empty()) {
        size_t slash = prefix.find_last_of('/');
        std::string dir = slash == std::string::npos ? "." : prefix.substr(0, slash + 1);
        std::string stem = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
        for (const auto& e : entries(dir)) {
            if (e.compare(0, stem.size(), stem) != 0 || !all_digits(e.substr(stem.size()))) continue;
            std::string path = (slash == std::string::npos ? "" : dir) + e;
            std::string real = real_path(path);
            bool known = std::any_of(ports.begin(), ports.end(), [&](const port_info& p) {
                return p.path == path || real_path(p.path) == real;
            });
            struct stat st {};
            if (known || ::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
            port_info p;
            p.path = path;
            describe_device_file(&p, st, roots);
            ports.push_back(p);
        }
    }

    const std::vector<std::string> consoles = console_names(roots);
    auto locks = flocked(roots.proc);
    bool complete = true;
    std::multimap<std::string, std::string> far_ends;
    auto files = open_files(roots, &complete, &far_ends);
    for (auto& p : ports) {
        p.console =
            std::find(consoles.begin(), consoles.end(), base_name(p.path)) != consoles.end();
        std::string real = real_path(p.path);
        struct stat st {};
        if (::stat(p.path.c_str(), &st) == 0)
            for (const auto& l : locks)
                if (l.dev == st.st_dev && l.ino == st.st_ino) p.locked = true;
        auto [flo, fhi] = far_ends.equal_range(real);
        for (auto it = flo; it != fhi; ++it) p.far_end.push_back(it->second);
        auto [lo, hi] = files.equal_range(real);
        for (auto it = lo; it != hi; ++it)
            if (std::find(p.users.begin(), p.users.end(), it->second) == p.users.end() &&
                std::find(p.far_end.begin(), p.far_end.end(), it->second) == p.far_end.end())
                p.users.push_back(it->second);
        p.users_known = complete;
    }
    // ttyS2 before ttyS10.
    auto key = [](const port_info& p) {
        std::string prefix;
        int n = -1;
        if (!split_port_path(p.path, &prefix, &n)) prefix = p.path;
        return std::make_tuple(prefix, n, p.path);
    };
    std::sort(ports.begin(), ports.end(),
              [&](const port_info& a, const port_info& b) { return key(a) < key(b); });
    return ports;
}

namespace sysinfo {

std::string driver_of(const std::string& path, const list_roots& roots) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return {};
    port_info p;
    describe_device_file(&p, st, roots);
    return p.driver;
}

bool is_console(const std::string& path, const list_roots& roots) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    if (st.st_rdev == makedev(5, 1)) return true;  // /dev/console
    for (const auto& name : console_names(roots)) {
        unsigned maj = 0, min = 0;
        std::string numbers = read_line(roots.sys + "/class/tty/" + name + "/dev");
        if (std::sscanf(numbers.c_str(), "%u:%u", &maj, &min) == 2 && st.st_rdev == makedev(maj, min))
            return true;
    }
    return false;
}

std::vector<std::string> users_of(const std::string& path, const list_roots& roots, int self, bool* complete) {
    std::multimap<std::string, std::string> far_ends;
    auto files = open_files(roots, complete, &far_ends, self);
    const std::string real = real_path(path);
    std::vector<std::string> users;
    auto [flo, fhi] = far_ends.equal_range(real);
    auto [lo, hi] = files.equal_range(real);
    for (auto it = lo; it != hi; ++it) {
        bool far_end = std::any_of(flo, fhi, [&](const auto& f) { return f.second == it->second; });
        if (!far_end && std::find(users.begin(), users.end(), it->second) == users.end())
            users.push_back(it->second);
    }
    return users;
}

std::string process_name(int pid, const list_roots& roots) {
    return pid > 0 ? read_line(roots.proc + "/" + std::to_string(pid) + "/comm") : std::string();
}

std::string flock_holder(const std::string& path, const list_roots& roots) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    for (const auto& l : flocked(roots.proc))
        if (l.dev == st.st_dev && l.ino == st.st_ino && l.pid > 0) {
            std::string name = process_name(l.pid, roots);
            if (!name.empty()) return std::to_string(l.pid) + " (" + name + ")";
        }
    return {};
}

}  // namespace sysinfo
}  // namespace ser
