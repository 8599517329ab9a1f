// The Linux serial backend: ports on tty devices (tty_port.h), opened by path and kept in a registry.
#include "platform/serial/termios/termios_backend.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/serial/backend.h"
#include "platform/serial/termios/tty_port.h"
#include "platform/serial/termios/tty_sys.h"
#include "platform/serial/termios/tty_sysinfo.h"

namespace ser {
namespace {

using tty::claim;
using tty::refusal;
using tty::tty_port;
uint32_t open_error(int e) {
    switch (e) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
        case EISDIR:
        case ENOTTY:
        case ELOOP:
        case ENAMETOOLONG:
            return kern::err::file_not_found;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
            return kern::err::access_denied;
        case EINVAL:
            return kern::err::invalid_parameter;
        default:
            return kern::err::gen_failure;
    }
}

// The operator's words for an errno of the open.
std::string open_words(int e) {
    switch (e) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return "not found";
        case ENOTTY:
        case EISDIR:
            return "not a terminal";
        case EACCES:
        case EPERM:
            return "no permission";
        case EBUSY:
        case EWOULDBLOCK:
            return "in use (locked)";
        case EIO:
            return "no device behind it";  // a legacy UART slot with nothing there
        default:
            return std::strerror(e);
    }
}

struct port_registry {
    std::mutex m;
    std::map<std::string, std::shared_ptr<tty_port>> open;
};

port_registry& registry() {
    static port_registry* r = new port_registry;
    return *r;
}

// Where the backend looks for who else has a port, and whether the console may be used.
struct places {
    std::mutex m;
    list_roots roots;
    bool allow_console = false;
};

places& where() {
    static places* w = new places;
    return *w;
}

// The 8250/16550 family loops its output back inside the UART when the loop bit is set: the legacy
// and platform ports (serial8250), the PnP and PCI ones ("serial"), and their relatives. USB adapters
// do not (ftdi_sio keeps the bit and loops nothing, cdc_acm drops it), nor do ptys.
bool loops_internally(const std::string& driver) {
    for (const char* d : {"serial8250", "serial", "exar_serial", "dw-apb-uart", "of_serial"})
        if (driver == d) return true;
    return false;
}

std::shared_ptr<tty_port> open_tty(const char* path) {
    auto refused = [](int fd, uint32_t code, const std::string& words) -> std::shared_ptr<tty_port> {
        if (fd >= 0) ::close(fd);
        kern::set_last_error(code);
        set_open_detail(words.c_str());
        return nullptr;
    };
    auto fail = [&](int fd, int e) { return refused(fd, open_error(e), open_words(e)); };
    list_roots roots;
    bool allow_console;
    {
        std::lock_guard lk(where().m);
        roots = where().roots;
        allow_console = where().allow_console;
    }
    struct stat st {};
    if (::stat(path, &st) != 0) return fail(-1, errno);
    if (!S_ISCHR(st.st_mode)) return fail(-1, ENOTTY);
    // Whoever else has the port is found before it is opened: an open raises its modem lines.
    claim held;
    if (refusal r = held.check(path, roots, allow_console); r.error) return refused(-1, r.error, r.words);
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == EBUSY) {  // another user's TIOCEXCL
        bool complete = true;
        auto users = sysinfo::users_of(path, roots, static_cast<int>(::getpid()), &complete);
        return refused(-1, kern::err::access_denied,
                       users.empty() ? "in use (locked)" : "in use by PID " + users.front());
    }
    if (fd < 0) return fail(-1, errno);
    if (refusal r = held.take(fd, path, roots); r.error) {
        held.release(fd);
        return refused(fd, r.error, r.words);
    }
    ttysys::settings saved;
    if (int e = ttysys::get_settings(fd, &saved)) {
        held.release(fd);
        return fail(fd, e);
    }
    int lines = 0;
    bool has_lines = ::ioctl(fd, TIOCMGET, &lines) == 0;
    serial_icounter_struct ic{};
    bool has_counters = ::ioctl(fd, TIOCGICOUNT, &ic) == 0;
    bool can_loop = has_lines && loops_internally(sysinfo::driver_of(path, roots));
    auto undo = [&](int e) {
        ttysys::set_settings(fd, saved);
        held.release(fd);
        return fail(fd, e);
    };
    if (int e = ttysys::make_raw(fd)) return undo(e);
    // Every run starts with nothing from before: what arrived while the port was closed is dropped.
    // Output is not flushed: a closed UART has sent or dropped its own, and on a pty the output side is
    // the far end's (flushing it tells a pty plug to drop its line, which may already carry this run).
    ::tcflush(fd, TCIFLUSH);
    if (has_lines) {
        int on = TIOCM_DTR | TIOCM_RTS;
        ::ioctl(fd, TIOCMBIS, &on);
    }
    int wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd < 0) return undo(errno);
    std::shared_ptr<tty_port> p;
    try {
        p = std::make_shared<tty_port>(path, fd, wake_fd, saved, has_lines, lines, has_counters, can_loop,
                                       std::move(held));
        p->start();
    } catch (...) {
        if (p) {
            p->close();  // owns the descriptors and the locks now
            kern::set_last_error(kern::err::gen_failure);
            return nullptr;
        }
        ::close(wake_fd);
        return undo(ENOMEM);
    }
    return p;
}

// The port object the dispatch layer holds: closing it also drops it from the registry.
class registered_port final : public port {
  public:
    explicit registered_port(std::shared_ptr<tty_port> p) : p_(std::move(p)) {}
    bool ioctl(uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
               uint32_t* returned, overlapped* ov) override {
        return p_->ioctl(code, in, in_size, out, out_size, returned, ov);
    }
    bool read(void* buf, uint32_t len, uint32_t* count, overlapped* ov) override {
        return p_->read(buf, len, count, ov);
    }
    bool write(const void* buf, uint32_t len, uint32_t* count, overlapped* ov) override {
        return p_->write(buf, len, count, ov);
    }
    bool shows_in_flight() const override { return p_->shows_in_flight(); }
    void close() override {
        p_->close();
        std::lock_guard lk(registry().m);
        auto it = registry().open.find(p_->path());
        if (it != registry().open.end() && it->second == p_) registry().open.erase(it);
    }

  private:
    std::shared_ptr<tty_port> p_;
};

struct termios_backend final : backend {
    bool claims(const char* path) const override { return path && path[0] == '/'; }

    std::shared_ptr<port> open(const char* path) override {
        auto p = open_tty(path);
        if (!p) return nullptr;
        {
            std::lock_guard lk(registry().m);
            registry().open[p->path()] = p;
        }
        return std::make_shared<registered_port>(std::move(p));
    }
};

}  // namespace

void termios_backend_install() {
    static termios_backend* b = [] {
        auto* nb = new termios_backend;  // lives as long as the process: ports may outlive any owner
        register_backend(nb);
        return nb;
    }();
    (void)b;
}

void termios_set_roots(const list_roots& roots) {
    std::lock_guard lk(where().m);
    where().roots = roots;
}

void termios_allow_console(bool allow) {
    std::lock_guard lk(where().m);
    where().allow_console = allow;
}

bool termios_stats(const char* path, termios_port_stats* out) {
    std::shared_ptr<tty_port> p;
    {
        std::lock_guard lk(registry().m);
        auto it = registry().open.find(path ? path : "");
        if (it == registry().open.end()) return false;
        p = it->second;
    }
    *out = p->stats();
    return true;
}

}  // namespace ser
