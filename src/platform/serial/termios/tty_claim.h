// Keeping a tty to ourselves: before a port is opened, whoever else has it (a UUCP lock file of a live
// process, another process holding it open, the system console) is found and named; while it is open,
// the port holds the same locks others honour (a lock file with our PID, flock, TIOCEXCL), and gives
// back exactly what it took when it closes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/serial/portlist.h"

namespace ser::tty {

// A refusal in the Windows numbering with the operator's words; error 0: none.
struct refusal {
    uint32_t error = 0;
    std::string words;
};

// The UUCP lock file of a device: LCK.. and the device's name under /dev, '/' written as '_'
// ("LCK..ttyS3", "LCK..pts_5"); for a device file outside /dev (a link), its own name.
std::string lock_file_of(const std::string& path, const list_roots& roots);

// What the port took, to give back at its close.
class claim {
  public:
    claim() = default;
    claim(claim&& o) noexcept { *this = std::move(o); }
    claim& operator=(claim&& o) noexcept;
    ~claim() { release(-1); }

    // Before the open: the console (unless allowed), a lock file of a live process (a stale one is
    // removed), another process holding the device open.
    refusal check(const std::string& path, const list_roots& roots, bool allow_console);
    // With the device open as fd: its flock, no TIOCEXCL of anyone else, our lock file, our TIOCEXCL.
    refusal take(int fd, const std::string& path, const list_roots& roots);
    // Clears the TIOCEXCL this port set, on the still open device.
    void drop_excl(int fd);
    // Clears the TIOCEXCL this port set (fd: the still open device, or -1) and removes its lock file.
    void release(int fd);

  private:
    std::string lock_file_;  // ours, empty when none was made (a lock directory we cannot write)
    bool excl_ = false;      // we set TIOCEXCL
};

}  // namespace ser::tty
