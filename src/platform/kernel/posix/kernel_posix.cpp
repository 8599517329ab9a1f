// The kernel layer's system calls on Linux: the monotonic clock, thread ids and nice values.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>

#include "platform/kernel/os_hooks.h"

namespace kern::os {

void init() {}

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool current_native(uintptr_t* native) {
    *native = static_cast<uintptr_t>(::syscall(SYS_gettid));
    return true;
}

bool raise_priority(uintptr_t native) {
    // Two steps above normal, as the highest normal priority is elsewhere; needs privilege
    // (CAP_SYS_NICE, or an RLIMIT_NICE above 20), which an ordinary user does not have.
    return setpriority(PRIO_PROCESS, static_cast<id_t>(native), -2) == 0;
}

void release_native(uintptr_t) {}

}  // namespace kern::os
