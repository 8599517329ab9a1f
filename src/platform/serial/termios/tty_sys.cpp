// termios2 calls. <asm/termbits.h> only: glibc's <termios.h> must not be included in this file.
#include "platform/serial/termios/tty_sys.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace ttysys {
namespace {

static_assert(sizeof(termios2) <= sizeof(settings::bytes));

int get2(int fd, termios2* t) {
    return ::ioctl(fd, TCGETS2, t) == 0 ? 0 : errno;
}
int set2(int fd, const termios2& t) {
    return ::ioctl(fd, TCSETS2, &t) == 0 ? 0 : errno;
}

}  // namespace

int get_settings(int fd, settings* s) {
    termios2 t{};
    if (int e = get2(fd, &t)) return e;
    std::memset(s->bytes, 0, sizeof s->bytes);
    std::memcpy(s->bytes, &t, sizeof t);
    return 0;
}

int set_settings(int fd, const settings& s) {
    termios2 t;
    std::memcpy(&t, s.bytes, sizeof t);
    return set2(fd, t);
}

int make_raw(int fd) {
    termios2 t{};
    if (int e = get2(fd, &t)) return e;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                   IMAXBEL | IUCLC | INPCK);
    t.c_iflag |= IGNPAR;  // a byte with a parity error arrives as it is, not as a marker sequence
    t.c_oflag &= ~OPOST;
    t.c_lflag &=
        ~(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ICANON | ISIG | IEXTEN | TOSTOP);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    // With MIN 0 a non-blocking read of an empty tty returns 0, which must keep meaning "hung up".
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
    return set2(fd, t);
}

int set_baud(int fd, uint32_t baud, uint32_t* actual) {
    termios2 t{};
    if (int e = get2(fd, &t)) return e;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ospeed = baud;
    t.c_ispeed = baud;
    if (int e = set2(fd, t)) return e;
    termios2 back{};
    if (int e = get2(fd, &back)) return e;
    *actual = back.c_ospeed;
    return 0;
}

int get_baud(int fd, uint32_t* baud) {
    termios2 t{};
    if (int e = get2(fd, &t)) return e;
    *baud = t.c_ospeed;
    return 0;
}

int set_flow(int fd, const flow& f) {
    termios2 t{};
    if (int e = get2(fd, &t)) return e;
    t.c_cflag = f.rtscts ? (t.c_cflag | CRTSCTS) : (t.c_cflag & ~CRTSCTS);
    t.c_iflag = f.ixon ? (t.c_iflag | IXON) : (t.c_iflag & ~IXON);
    t.c_iflag = f.ixoff ? (t.c_iflag | IXOFF) : (t.c_iflag & ~IXOFF);
    t.c_iflag &= ~IXANY;
    return set2(fd, t);
}

int get_flow(int fd, flow* f) {
    termios2 t{};
    if (int e = get2(fd, &t)) return e;
    f->rtscts = (t.c_cflag & CRTSCTS) != 0;
    f->ixon = (t.c_iflag & IXON) != 0;
    f->ixoff = (t.c_iflag & IXOFF) != 0;
    return 0;
}

namespace {

// Mark and space parity are a fixed parity bit: CMSPAR with PARODD for mark, without for space.
constexpr tcflag_t parity_bits[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD, PARENB | CMSPAR};
constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};

}  // namespace

int set_format(int fd, const format& f) {
    if (f.data < 5 || f.data > 8 || f.parity < 0 || f.parity > 4) return EINVAL;
    termios2 t{};
    if (int e = get2(fd, &t)) return e;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    t.c_cflag |= sizes[f.data - 5] | parity_bits[f.parity] | (f.two_stop ? CSTOPB : 0);
    return set2(fd, t);
}

int get_format(int fd, format* f) {
    termios2 t{};
    if (int e = get2(fd, &t)) return e;
    for (int i = 0; i < 4; i++)
        if ((t.c_cflag & CSIZE) == sizes[i]) f->data = 5 + i;
    f->parity = 0;
    for (int i = 1; i < 5; i++)
        if ((t.c_cflag & (PARENB | PARODD | CMSPAR)) == parity_bits[i]) f->parity = i;
    f->two_stop = (t.c_cflag & CSTOPB) != 0;
    return 0;
}

int char_bits(const format& f) {
    return 1 + f.data + (f.parity ? 1 : 0) + (f.two_stop ? 2 : 1);
}

}  // namespace ttysys
