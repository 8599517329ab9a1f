// Line settings of a tty through the kernel's termios2 interface, which takes any baud rate (BOTHER).
//
// Kept apart from everything else because <asm/termbits.h> and glibc's <termios.h> define the same
// names differently; this header includes neither, so any file may use it. Every call returns 0 or
// the errno of the failing system call.
#pragma once

#include <cstdint>

namespace ttysys {

// A copy of all of a tty's settings, for putting them back later.
struct settings {
    alignas(8) unsigned char bytes[64];
};

int get_settings(int fd, settings* s);
// Applies at once (no drain): a held line must never delay a close or a configuration change.
int set_settings(int fd, const settings& s);

// Raw 8N1 with receiver on and modem-status lines ignored: no echo, no signals, no input or output
// processing, no flow control, reads returning as soon as a byte is there. The rate is kept.
int make_raw(int fd);

// Sets both directions to `baud` bits per second, then reads the rate back into *actual:
// some drivers silently keep another rate.
int set_baud(int fd, uint32_t baud, uint32_t* actual);
// Output rate in bits per second.
int get_baud(int fd, uint32_t* baud);

struct flow {
    bool rtscts = false;  // CRTSCTS
    bool ixon = false;    // output stopped by XOFF from the far end
    bool ixoff = false;   // XOFF sent when the input fills
};
int set_flow(int fd, const flow& f);
int get_flow(int fd, flow* f);

// The character format: CSIZE, PARENB, PARODD, CMSPAR and CSTOPB. Parity by the serial requests'
// codes: 0 none, 1 odd, 2 even, 3 mark, 4 space.
struct format {
    int data = 8;  // 5 to 8
    int parity = 0;
    bool two_stop = false;
    bool operator==(const format&) const = default;
};
int set_format(int fd, const format& f);
int get_format(int fd, format* f);
// Bit times per character: start, data, parity and stop bits.
int char_bits(const format& f);

}  // namespace ttysys
