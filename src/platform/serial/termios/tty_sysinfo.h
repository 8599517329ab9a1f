// What sysfs and /proc tell about one tty device, without opening it: its driver, whether the system
// console runs on it, and who else holds it. Shared by the port listing and the backend's open.
#pragma once

#include <string>
#include <vector>

#include "platform/serial/portlist.h"

namespace ser::sysinfo {

// The driver behind a device file ("serial8250", "ftdi_sio", "pty_slave"); empty when unknown.
std::string driver_of(const std::string& path, const list_roots& roots);
// True when the system console runs on the device (/dev/console itself included).
bool is_console(const std::string& path, const list_roots& roots);
// Processes other than `self` holding the device open, as "PID (command)"; the process holding a pty's
// master is its far end (a plug), not a user. *complete is false when some processes could not be
// looked at.
std::vector<std::string> users_of(const std::string& path, const list_roots& roots, int self, bool* complete);
// The process holding an flock() on the device file, as "PID (command)"; empty when none is known.
std::string flock_holder(const std::string& path, const list_roots& roots);
// The name of a running process ("minicom"), empty when there is none.
std::string process_name(int pid, const list_roots& roots);

}  // namespace ser::sysinfo
