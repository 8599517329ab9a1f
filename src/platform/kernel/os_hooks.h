// The few things the kernel layer needs from the operating system itself, one file per platform
// (posix/, win32/). Everything else in the layer is standard C++.
#pragma once

#include <cstdint>

namespace kern::os {

// Once, before the layer's first use (the process-wide timer resolution on Windows).
void init();
// Monotonic real time in nanoseconds: the source of the scaled clock.
int64_t now_ns();
// The calling thread's own reference for raise_priority; false when there is none.
bool current_native(uintptr_t* native);
// Raises that thread to the highest normal priority; false when the system refused.
bool raise_priority(uintptr_t native);
// Gives the reference back once the thread has ended.
void release_native(uintptr_t native);

}  // namespace kern::os
