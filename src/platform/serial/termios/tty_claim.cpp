#include "platform/serial/termios/tty_claim.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/kernel/kernel.h"
#include "platform/serial/termios/tty_sysinfo.h"

namespace ser::tty {
namespace {

refusal in_use(const std::string& who) {
    return {kern::err::access_denied, who.empty() ? "in use (locked)" : "in use by PID " + who};
}

std::string holder(int pid, const list_roots& roots) {
    std::string name = sysinfo::process_name(pid, roots);
    return std::to_string(pid) + " (" + (name.empty() ? "?" : name) + ")";
}

// The PID a lock file names: ten ASCII digits as most programs write them, or a binary int as some
// old ones do; 0 when it names none.
int lock_pid(const std::string& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return 0;
    char buf[32] = {};
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n == 4 && (buf[0] < ' ' || buf[3] < ' ')) {
        int32_t v;
        std::memcpy(&v, buf, 4);
        return v > 0 ? v : 0;
    }
    return n > 0 ? std::atoi(buf) : 0;
}

bool alive(int pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

// A lock file of another program: "PID (name)" of a live holder, or "" (none, or a stale one removed).
std::string lock_holder(const std::string& file, const list_roots& roots, bool* locked) {
    *locked = false;
    if (::access(file.c_str(), F_OK) != 0) return {};
    int pid = lock_pid(file);
    if (pid > 0 && !alive(pid)) {
        ::unlink(file.c_str());  // its owner died without removing it
        return {};
    }
    *locked = true;
    return pid > 0 ? holder(pid, roots) : std::string();
}

std::string real_path(const std::string& p) {
    char buf[PATH_MAX];
    return ::realpath(p.c_str(), buf) ? std::string(buf) : p;
}

std::string base_name(const std::string& p) {
    size_t k = p.find_last_of('/');
    return k == std::string::npos ? p : p.substr(k + 1);
}

}  // namespace

std::string lock_file_of(const std::string& path, const list_roots& roots) {
    std::string real = real_path(path);
    std::string dev = real_path(roots.dev) + "/";
    std::string name = real.compare(0, dev.size(), dev) == 0 ? real.substr(dev.size()) : base_name(real);
    for (auto& c : name)
        if (c == '/') c = '_';
    return roots.lock + "/LCK.." + name;
}

claim& claim::operator=(claim&& o) noexcept {
    if (this != &o) {
        release(-1);
        lock_file_ = std::exchange(o.lock_file_, std::string());
        excl_ = std::exchange(o.excl_, false);
    }
    return *this;
}

refusal claim::check(const std::string& path, const list_roots& roots, bool allow_console) {
    // Opening the console's tty would take over the machine's own terminal: never unasked.
    if (!allow_console && sysinfo::is_console(path, roots))
        return {kern::err::access_denied, "the system console (--allow-console to use it)"};
    // Programs that honour lock files name the device as they were given it: a link's own name too.
    for (const std::string& file : {lock_file_of(path, roots), roots.lock + "/LCK.." + base_name(path)}) {
        bool locked = false;
        std::string who = lock_holder(file, roots, &locked);
        if (locked) return in_use(who);
    }
    bool complete = true;
    auto users = sysinfo::users_of(path, roots, static_cast<int>(::getpid()), &complete);
    if (!users.empty()) return in_use(users.front());
    return {};
}

refusal claim::take(int fd, const std::string& path, const list_roots& roots) {
    // TIOCEXCL keeps other users out, but not root: flock does, and it is taken before anything of
    // the owner's settings is touched.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) return {kern::err::access_denied, std::strerror(errno)};
        return in_use(sysinfo::flock_holder(path, roots));
    }
    // Root passes another program's TIOCEXCL: it is honoured here instead, and never cleared.
    int excl = 0;
    if (::ioctl(fd, TIOCGEXCL, &excl) == 0 && excl) {
        bool complete = true;
        auto users = sysinfo::users_of(path, roots, static_cast<int>(::getpid()), &complete);
        return in_use(users.empty() ? std::string() : users.front());
    }
    const std::string file = lock_file_of(path, roots);
    for (int attempt = 0; attempt < 2; attempt++) {
        int lf = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (lf >= 0) {
            char text[16];
            int n = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
            bool written = ::write(lf, text, static_cast<size_t>(n)) == n;
            ::close(lf);
            if (!written) {
                ::unlink(file.c_str());
                break;
            }
            lock_file_ = file;
            break;
        }
        if (errno != EEXIST) break;  // a lock directory we may not write: flock and TIOCEXCL still hold
        bool locked = false;
        std::string who = lock_holder(file, roots, &locked);
        if (locked) return in_use(who);
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        int e = errno;
        release(-1);
        return {kern::err::gen_failure, std::strerror(e)};
    }
    excl_ = true;
    return {};
}

void claim::drop_excl(int fd) {
    if (excl_ && fd >= 0) ::ioctl(fd, TIOCNXCL);
    excl_ = false;
}

void claim::release(int fd) {
    drop_excl(fd);
    // Only a file that still names this process: never another program's.
    if (!lock_file_.empty() && lock_pid(lock_file_) == static_cast<int>(::getpid())) ::unlink(lock_file_.c_str());
    lock_file_.clear();
}

}  // namespace ser::tty
