// Real serial ports on Windows: \\.\COMn opened exclusively for overlapped I/O, the program's driver
// requests passed to the driver as they are (the codes and records are the driver's own), reads and
// writes overlapped, every completion collected by one I/O-completion-port thread and delivered to
// the program's own record (ser::overlapped is not an OVERLAPPED: each request carries a system
// record of its own). A request the driver completes at once is reported once, as completed at once.
//
// Purge aborts the reads and writes it names even where a driver leaves them pending, and closing a
// port aborts everything of it and returns only once nothing of it is in flight any more. Handles
// stay the dispatch layer's never-reused ones.
#pragma once

#include <memory>

#include "platform/serial/backend.h"
// The project's headers first: windows.h defines macros that clash with some of their names.
#include <windows.h>

namespace ser {

// The system calls the backend makes, so that tests can put a fake system behind it.
struct win32_calls {
    HANDLE (*create_file)(const char* path);  // exclusive, overlapped
    BOOL(*device_io_control)
    (HANDLE h, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned,
     OVERLAPPED* ov);
    BOOL (*read_file)(HANDLE h, void* buf, DWORD len, DWORD* count, OVERLAPPED* ov);
    BOOL (*write_file)(HANDLE h, const void* buf, DWORD len, DWORD* count, OVERLAPPED* ov);
    BOOL (*cancel_io)(HANDLE h, OVERLAPPED* ov);  // CancelIoEx
    BOOL (*close_handle)(HANDLE h);
    HANDLE (*create_port)(HANDLE file, HANDLE port, ULONG_PTR key);  // CreateIoCompletionPort
    // Asks for no completion packet when a request completes at once; false when not available.
    BOOL (*skip_on_success)(HANDLE file);
    BOOL (*get_completion)(HANDLE port, DWORD* bytes, ULONG_PTR* key, OVERLAPPED** ov);
    BOOL (*post_completion)(HANDLE port, DWORD bytes, ULONG_PTR key, OVERLAPPED* ov);
    DWORD (*last_error)();
    // Called on the completion thread as it starts (the system's raises its priority).
    void (*service_started)();
    // Hand the driver one write at a time, queueing the others in the backend (Wine's serial
    // emulation has corrupted data with more than one overlapped write in flight).
    bool one_write_at_a_time;
    // The driver honours the documented first-byte read time-outs (MAXDWORD/MAXDWORD/C); Wine's
    // emulation waits for a byte however long it takes with them.
    bool first_byte_timeouts;
    // The port's queue counts leave out bytes on their way (Wine's COM ports are ttys, which hold
    // kilobytes no call reports): sent and received cannot be balanced to the byte.
    bool hides_in_flight;
};

// The system's own calls; one_write_at_a_time and hides_in_flight set, first_byte_timeouts clear,
// under Wine.
win32_calls system_calls();
std::unique_ptr<backend> make_win32_backend(const win32_calls& calls);

// Registers the backend for the system's ports (paths beginning with \\.\ or COM), once.
void win32_backend_install();

}  // namespace ser
