// The virtual multi-port board: a model of a serial board and its driver, built on the kernel layer
// only. It serves device paths of the Windows device namespace ("\\.\COM" + n), so a run on it looks
// as it does on Windows. It is the program's embedded default and its test bench.
//
// Configuration text (items separated by ';', blanks ignored, empty text = all defaults):
//   ports=RANGES          port numbers that exist, e.g. 1-256 (default) or 3-18,20
//   queue=N               input queue size in bytes per port (default 4096)
//   maxbaud=N             highest baud rate the ports accept (default 921600)
//   wiring=plug           each port's output comes back to its own input through an external plug,
//                         DTR to DSR and RTS to CTS (default)
//   wiring=open           nothing is connected
//   wiring=null:A-B,C-D   null-modem pairs (output to the peer's input, DTR to DSR, RTS to CTS);
//                         ports in no pair are open
//   wiring=map:A>B,C>D    one-way lines: A's output to B's input (A's DSR and CTS follow B's DTR
//                         and RTS); a port with no line of its own sends nowhere
//   RANGES:FAULT[,FAULT]  faults of those ports, e.g. 5:missing or 3-18:noise=50000
// Lines are paced by each port's rate and line format (SET_LINE_CONTROL: 5 to 8 data bits, any parity,
// 1.5 stop bits only with 5 data bits and 2 only with 6 to 8, as a 16550 has them; 8N1 at every open).
// A byte arriving at a port of another word length counts a framing error, of another parity a parity
// error; stop bits alone do not matter. Words shorter than 8 bits carry only their low bits.
// Faults:
//   missing               the port does not exist (open: file_not_found)
//   busy                  the port is in use by another program (open: access_denied)
//   maxbaud=N             this port accepts no rate above N (SET_BAUD_RATE refused: invalid_parameter,
//                         and the port left at N, the rate its driver offers instead)
//   refuse=NAME           that request is refused with invalid_parameter; NAME is one of baud, loopback,
//                         timeouts, waitmask, waitonmask, purge, gethandflow, sethandflow, status,
//                         read, write, stats (the error statistics and the break count: a driver
//                         that keeps no error counters)
//   ignore=NAME           that setting is accepted and not kept (the old value stays, as the read-back
//                         shows); NAME is baud or sethandflow
//   status-hang           GET_COMMSTATUS never completes until the port is closed: an overlapped
//                         request stays pending, one without a record blocks the caller
//   status-block          the same, but the call itself blocks even with an overlapped record
//   status16              GET_COMMSTATUS reports 16 bytes instead of 20
//   noise=N               every N-th byte arriving at the port is corrupted (xor 0x40)
//   drop=N                every N-th byte arriving at the port is lost
//   dropblock=N           every N-th block of 64 bytes arriving at the port is lost whole (a lost USB
//                         packet or tty buffer; the pattern's 64-byte cycle cannot show it)
//   pause=FROM:LEN        FROM milliseconds after the open, for LEN milliseconds, bytes arriving at
//                         the port are lost (the far end stopped echoing); set at run time, from then
//   frame=N               every N-th byte arriving at the port has a framing error: counted in the
//                         driver's statistics, raised as SERIAL_ERROR_FRAMING, and corrupted (xor 0x40)
//   parity=N              the same as a parity error (SERIAL_ERROR_PARITY)
//   overrun=N             every N-th byte arriving at the port is lost to a hardware overrun
//                         (SERIAL_ERROR_OVERRUN and the statistics' serial-overrun count)
//   break=MS              while bytes arrive, a break every MS milliseconds: a NUL byte enters the input,
//                         SERIAL_ERROR_BREAK is raised and the break count grows
//   slow=BPS              the driver moves at most BPS bytes per second from its input queue into reads
//   unplug=MS             MS milliseconds after the open the device vanishes: requests in flight
//                         complete with device_not_connected and every later request is refused
//                         with it at once; closing still works. Set at run time, MS counts from then.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial/serial.h"

namespace vboard {

// A port's state at one moment of clock time. The counters start from zero at each open and keep
// their values after the close.
struct port_snapshot {
    uint64_t time_us = 0;  // clock time (kern::now_us) the snapshot describes
    bool exists = false;
    bool open = false;
    uint32_t opens = 0;  // successful opens so far
    uint32_t baud = 0;
    ser::SERIAL_HANDFLOW handflow{};
    ser::SERIAL_TIMEOUTS timeouts{};
    bool internal_loopback = false;
    bool dtr = false, rts = false;  // output lines as the handflow bits drive them
    bool dsr = false, cts = false;  // input lines as the wiring delivers them
    uint32_t wait_mask = 0;
    uint32_t hold_reasons = 0;
    uint32_t in_queue = 0;   // bytes in the input queue
    uint32_t out_queue = 0;  // bytes of pending writes not yet sent
    uint32_t errors = 0;     // error bits not yet reported by GET_COMMSTATUS
    uint64_t tx_bytes = 0;   // bytes that left the port (data and flow-control characters)
    uint64_t rx_bytes = 0;   // bytes that arrived at the port
    uint64_t delivered = 0;  // bytes handed to reads
    uint64_t lost = 0;       // bytes lost to a full input queue
    uint32_t overruns = 0;   // times the queue-overrun error was raised
    uint64_t noise_bytes = 0, dropped_bytes = 0;
    uint64_t noise_reads = 0;       // completed reads holding at least one corrupted byte
    uint64_t noise_tail_reads = 0;  // completed reads whose last byte was corrupted
    uint32_t pending_reads = 0, pending_writes = 0, pending_waits = 0;
    // The driver's statistics and break count, kept from the board's start (as GET_STATS and
    // GET_BREAK_COUNT report them).
    ser::SERIALPERF_STATS stats{};
    uint32_t breaks = 0;
};

class board {
  public:
    // Parses the configuration and registers the board as the backend of "\\.\COM" paths.
    // Throws std::invalid_argument with a message naming the faulty item. The board keeps time on
    // kern::now_us() from here on, so set the clock (kern::clock_config) before creating it.
    explicit board(const std::string& config = "");
    // Unregisters the board. Ports should be closed first; any still open are closed here (their
    // requests complete aborted and their handles are refused from then on).
    ~board();
    board(const board&) = delete;
    board& operator=(const board&) = delete;

    port_snapshot snapshot(int port_number) const;
    // Replaces the faults of one port while it runs, e.g. "unplug=0" to pull it out now, "" to clear.
    // Throws std::invalid_argument for faults it does not understand or a port that does not exist.
    void set_faults(int port_number, const std::string& faults);

    struct impl;

  private:
    std::unique_ptr<impl> impl_;
};

// The device path of port n: "\\.\COM" followed by n.
std::string device_path(int port_number);

}  // namespace vboard
