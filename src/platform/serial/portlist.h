// The serial ports a system has, as its own records describe them: for `zentrel --list`.
//
// Listing never changes a port: it reads what the system publishes (sysfs and /proc on Linux, the
// device map on Windows) and opens no device. Each platform provides list_ports(); the forms below
// (table, JSON, the suggested -d/FIRST) are the same everywhere.
//
// Platforms: Linux in termios/portlist_linux.cpp, Windows in win32/portlist_win32.cpp: the names from
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (value: "COM3", name: the driver's device, e.g.
// "\Device\Serial0") and the COMn names of the DOS device namespace, path "\\.\COMn" so that
// split_port_path gives the prefix for -d; `roots` and `prefix` do not apply there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ser {

struct port_info {
    std::string path;                // what the program opens: "/dev/ttyS4", "/tmp/zplug/ttyV3", "COM3"
    std::string driver;              // "serial8250", "ftdi_sio", "cdc_acm", "pty_slave", ... ; empty: unknown
    std::string bus;                 // "platform", "pnp", "pci", "usb", ... ; empty: unknown
    std::string uart;                // "16550A", ... ; empty when the driver does not say
    uint32_t base_baud = 0;          // the UART's clock / 16; 0 when the driver does not say
    bool placeholder = false;        // a legacy slot with no UART behind it
    bool console = false;            // the system console runs on it
    bool locked = false;             // another program holds it exclusively (an analyzer's lock)
    std::vector<std::string> users;  // processes holding it open: "1234 (agetty)"
    std::vector<std::string> far_end;  // processes holding a pty's master: its wiring, not a user
    bool users_known = true;           // false when some processes could not be looked at
    // In use: a run on it would clash with someone else.
    bool in_use() const { return console || locked || !users.empty(); }
};

// Where the listing looks; the defaults are the live system's. Tests point them at a made-up tree.
struct list_roots {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string proc = "/proc";
    std::string lock = "/run/lock";  // UUCP lock files (LCK..NAME)
};

// Every serial port of the system, sorted by path. With `prefix` set (the -d option), also the device
// files named prefix + number (the pty plug's links, say), where the system's list lacks them.
std::vector<port_info> list_ports(const std::string& prefix = "", const list_roots& roots = {});

// How to run on a group of ports: -d PREFIX, -n COUNT and FIRST.
// The name the suggested command runs the program by ("zentrel", "zentrel-cli" on Windows).
extern const char* program_name;

struct suggestion {
    std::string prefix;
    int first = 0;
    int count = 0;
};
// One suggestion per device prefix that has free ports: the longest run of consecutive free ports
// (at most 16), the lowest first.
std::vector<suggestion> suggest(const std::vector<port_info>& ports);
// Splits "/dev/ttyUSB12" into "/dev/ttyUSB" and 12; false without trailing digits.
bool split_port_path(const std::string& path, std::string* prefix, int* number);

// The listing as a table with the suggestions under it, and as one JSON object.
std::string list_text(const std::vector<port_info>& ports);
std::string list_json(const std::vector<port_info>& ports);

}  // namespace ser
