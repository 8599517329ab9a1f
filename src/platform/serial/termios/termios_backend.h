// The Linux serial backend: real tty devices (and pseudo-terminals) by absolute path, e.g. "/dev/ttyS3",
// "/dev/ttyUSB0" or a plug's "/tmp/plug/ttyV3". The virtual board keeps the "\\.\COM" paths.
//
// A port is opened non-blocking, raw (8N1, no processing, no flow control) and only when nobody else
// has it (tty_claim.h): not the system console unless allowed, no live UUCP lock file, no other process
// holding it open, no flock or TIOCEXCL of anyone else. While open it holds a lock file with our PID,
// an flock (which root cannot pass) and TIOCEXCL; its settings and modem lines are put back on close,
// and the locks given back. A service thread per port carries out the overlapped reads and writes
// around poll().
//
// Errors in the Windows numbering, with the operator's words (ser::open_detail) for an open:
//   open:  2 no such device ("not found") or not a tty ("not a terminal"); 5 in use ("in use by PID
//          1234 (minicom)", "in use (locked)"), the console, or no permission; 31 anything else.
//   later: 87 a request or value the driver does not support (no modem lines, internal loopback on a
//          driver that cannot loop, a rate the driver would not take); 1167 the device vanished
//          (hang-up, EIO, ENODEV): requests in flight complete with it, and every later request
//          except the close is refused with it.
//
// Where the driver lacks a call: without modem lines (ptys) DTR/DSR and DCD handshaking is refused and
// DTR/RTS levels are stored only; without error counters (ptys) a wait on SERIAL_EV_ERR pends until
// the mask changes or the port closes, and the status reports no errors. Write time-outs are stored
// but not applied, as on the virtual board; only SERIAL_EV_ERR is ever signalled to a wait.
#pragma once

#include <cstdint>

#include "platform/serial/portlist.h"

namespace ser {

// Registers the backend for paths beginning with '/'. Idempotent; the program's start-up calls it once.
void termios_backend_install();
// Where opens look for who else has a port (sysfs, /dev, /proc, the lock directory); tests point them
// at made-up trees. Set before ports are opened.
void termios_set_roots(const list_roots& roots);
// The system console is refused unless allowed (--allow-console).
void termios_allow_console(bool allow);

// A port's engine at one moment, for tests and diagnostics.
struct termios_port_stats {
    bool dead = false;            // the device vanished
    bool modem_lines = false;     // the driver has DTR/RTS/DSR/CTS
    bool error_counters = false;  // the driver has TIOCGICOUNT
    uint32_t pending_reads = 0, pending_writes = 0, pending_waits = 0;
    uint64_t wakeups = 0;  // times the service thread woke up
    uint64_t rx_bytes = 0, tx_bytes = 0;
};
// False when no port is open under that path (as given to create_file).
bool termios_stats(const char* path, termios_port_stats* out);

}  // namespace ser
