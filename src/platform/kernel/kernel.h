// Kernel services the program relies on: threads, events, the millisecond clock and error codes.
//
// The interface follows the shape of the services a Windows program uses (CreateThread, events,
// WaitForSingleObject, Sleep, GetTickCount, GetLastError) so that the program's own code reads the
// same on every platform. It includes no operating-system header.
//
// Terminating a thread is cooperative: the target stops at its next call into this layer (an event
// wait, a sleep, a serial request, or checkpoint()), or at once if it is blocked in one. When
// terminate_thread() returns, the target performs no further effect. A terminated thread keeps its
// stack (and so any buffer a pending request still uses) until its handle is closed; then it unwinds
// and is reclaimed.
#pragma once

#include <cstdint>

namespace kern {

// Error codes, numbered as the program's messages show them.
namespace err {
constexpr uint32_t success = 0;
constexpr uint32_t file_not_found = 2;
constexpr uint32_t access_denied = 5;
constexpr uint32_t invalid_handle = 6;
constexpr uint32_t not_ready = 21;
constexpr uint32_t bad_command = 22;
constexpr uint32_t gen_failure = 31;
constexpr uint32_t not_supported = 50;
constexpr uint32_t invalid_parameter = 87;
constexpr uint32_t sem_timeout = 121;
constexpr uint32_t operation_aborted = 995;
constexpr uint32_t io_incomplete = 996;
constexpr uint32_t io_pending = 997;
constexpr uint32_t device_not_connected = 1167;
}  // namespace err

uint32_t last_error();
void set_last_error(uint32_t code);

// ---- Clock ---------------------------------------------------------------------------------------
// 32-bit millisecond tick count; wraps at 2^32. Intervals are unsigned differences.
uint32_t tick_count();
// Monotonic time on the same clock in microseconds (64-bit, for pacing inside platform layers).
uint64_t now_us();
// Sleeps ms milliseconds of clock time; a termination point.
void sleep(uint32_t ms);

// Runs the clock `scale` times faster than real time, starting the tick count at `tick_start`.
// Set it while no thread of this layer is running (tests do so in their fixtures).
void clock_config(double scale, uint32_t tick_start);
double clock_scale();

// ---- Events --------------------------------------------------------------------------------------
struct event;
using event_handle = event*;

constexpr uint32_t infinite = 0xFFFFFFFFu;
constexpr uint32_t wait_object_0 = 0;
constexpr uint32_t wait_timeout = 258;
constexpr uint32_t wait_failed = 0xFFFFFFFFu;

event_handle create_event(bool manual_reset, bool initial_state);
bool set_event(event_handle e);
bool reset_event(event_handle e);
bool close_event(event_handle e);
// Runs publish(ctx) and sets the event as one step with respect to every other call of this layer:
// a thread that sees what publish wrote cannot close the event before it has been set. Completion
// of asynchronous requests goes through here, so the requester may free its record and event as
// soon as it sees the outcome.
bool set_event_with(event_handle e, void (*publish)(void* ctx), void* ctx);
// Waits for the event (an auto-reset event is reset by a successful wait). Returns wait_object_0,
// wait_timeout, or wait_failed (last_error set). A termination point.
uint32_t wait_event(event_handle e, uint32_t timeout_ms);

// ---- Threads -------------------------------------------------------------------------------------
struct thread;
using thread_handle = thread*;
using thread_entry = void (*)(void* arg);

// Starts fn(arg) at once. stack_hint is a wish only; the layer picks a sane size.
thread_handle create_thread(thread_entry fn, void* arg, uint32_t stack_hint, uint32_t* id);
// Raises the thread to the highest normal priority where the system allows; false if it did not (on
// Linux an ordinary user may not raise a thread above normal). A thread not yet running is waited for.
bool set_thread_priority_highest(thread_handle t);
// The same for the calling thread, also one this layer did not start (a backend's own service thread).
bool set_current_thread_priority_highest();
// Cooperative termination (see the top of this file). Returns once the target has stopped for good.
bool terminate_thread(thread_handle t);
// The same with a bound, for a caller that must not hang on a target stuck inside a call outside this
// layer (a hung device driver): waits at most timeout_ms of clock time and tells whether the target
// has stopped. When it has not, the request stands: the target stops at its next call into this
// layer and does nothing more from there on. Closing its handle then abandons it safely: it unwinds
// and is reclaimed when it gets there.
bool terminate_thread_within(thread_handle t, uint32_t timeout_ms);
// Releases the handle. A finished thread is reclaimed now, a running one when it ends, a terminated
// one unwinds now and is reclaimed. The handle must not be used afterwards.
bool close_thread(thread_handle t);
// Waits until the thread has stopped (returned, unwound or terminated); wait_object_0 or wait_timeout.
// A termination point for the caller.
uint32_t wait_thread(thread_handle t, uint32_t timeout_ms);
// True once the thread's entry function has returned or the thread has been terminated.
bool thread_stopped(thread_handle t);
// Id of the calling thread (layer threads and adopted ones alike).
uint32_t current_thread_id();

// A termination point without any other effect. Platform layers call it on entry to every request.
void checkpoint();

// ---- Observation and fault injection, for tests and benchmarks -----------------------------------
// Threads started by this layer whose records are not yet reclaimed, and events not yet closed.
int live_threads();
int live_events();
// The next `count` event waits made by thread `id` fail (wait_failed, last_error invalid_handle).
void inject_wait_failures(uint32_t thread_id, uint32_t count);

// Internal: thrown to unwind a terminated thread once its handle is closed. Never catch it elsewhere.
struct thread_unwind {};

}  // namespace kern
