// What a serial backend provides behind the serial interface: a port object per open device.
// Ports are called from several threads at once and must be thread-safe.
#pragma once

#include <memory>

#include "platform/serial/serial.h"

namespace ser {

class port {
  public:
    virtual ~port() = default;
    // Same contracts as the calls in serial.h; the handle lookup and the checks are done already.
    virtual bool ioctl(uint32_t code, const void* in, uint32_t in_size, void* out, uint32_t out_size,
                       uint32_t* returned, overlapped* ov) = 0;
    virtual bool read(void* buf, uint32_t len, uint32_t* count, overlapped* ov) = 0;
    virtual bool write(const void* buf, uint32_t len, uint32_t* count, overlapped* ov) = 0;
    // Called once, when the handle is closed: aborts everything in flight and releases the device.
    virtual void close() = 0;
    // False when bytes can be on their way without the driver's queues showing them (a pty holds
    // kilobytes that no call reports), so sent and received cannot be balanced to the byte.
    virtual bool shows_in_flight() const { return true; }
};

class backend {
  public:
    virtual ~backend() = default;
    // True when this backend serves the device path.
    virtual bool claims(const char* path) const = 0;
    // Opens the device; on failure returns null with kern::last_error set.
    virtual std::shared_ptr<port> open(const char* path) = 0;
};

// Backends are asked in the reverse order of registration (the newest first).
void register_backend(backend* b);
void unregister_backend(backend* b);

// Open handles (for leak checks in tests).
int open_handles();

// Completion helper for backends: stores the outcome in the record, then signals its event. The
// dispatch layer has marked every overlapped record as in flight before the backend sees it, so a
// backend completes (at once or later) and never marks.
void complete(overlapped* ov, uint32_t status, uint32_t bytes);
void mark_pending(overlapped* ov);
// For a backend's open: the operator's words for why it failed (see open_detail), beside last_error.
void set_open_detail(const char* text);
// For a request without a record of the caller's, carried out on a private one: waits (a kernel-layer
// wait, so a terminated caller stops here) until it is over, then reports it as the call's outcome.
bool wait_record(overlapped* ov, uint32_t* count);

}  // namespace ser
