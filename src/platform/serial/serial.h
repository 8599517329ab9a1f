// The serial port interface: ports opened by device path, driven by device I/O control requests and
// asynchronous (overlapped) reads and writes, as the Windows serial driver offers them.
//
// Outcomes of read_file, write_file and device_io_control with an overlapped record:
//   true                          completed at once (the event is signalled as well);
//   false, last_error io_pending  pending: the event is signalled when it completes;
//   false, any other error        refused: nothing is in flight, the event is not signalled.
// A completed request stores its status and byte count in the overlapped record, then sets its event.
// Requests without an overlapped record complete before the call returns.
//
// Every call is a termination point of the kernel layer, and a closed or unknown handle is refused
// with invalid_handle: handles are never reused.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/kernel/kernel.h"

namespace ser {

using handle = std::uintptr_t;
constexpr handle invalid_handle_value = ~static_cast<handle>(0);

struct overlapped {
    uint32_t internal;       // status: io_pending while in flight, then 0 or an error code
    uint32_t internal_high;  // bytes transferred
    kern::event_handle hEvent;
};

// ---- Records -------------------------------------------------------------------------------------
struct SERIAL_TIMEOUTS {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};
static_assert(sizeof(SERIAL_TIMEOUTS) == 20);

struct SERIAL_HANDFLOW {
    uint32_t ControlHandShake;
    uint32_t FlowReplace;
    int32_t XonLimit;
    int32_t XoffLimit;
};
static_assert(sizeof(SERIAL_HANDFLOW) == 16);

struct SERIAL_STATUS {
    uint32_t Errors;
    uint32_t HoldReasons;
    uint32_t AmountInInQueue;
    uint32_t AmountInOutQueue;
    uint8_t EofReceived;
    uint8_t WaitForImmediate;
    uint8_t fill[2];
};
static_assert(sizeof(SERIAL_STATUS) == 20);

struct SERIAL_BAUD_RATE {
    uint32_t BaudRate;
};

// The character format on the line: data bits, parity and stop bits.
struct SERIAL_LINE_CONTROL {
    uint8_t StopBits;    // STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2
    uint8_t Parity;      // NO_PARITY ... SPACE_PARITY
    uint8_t WordLength;  // data bits, 5 to 8
};
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3);
constexpr uint8_t STOP_BIT_1 = 0;
constexpr uint8_t STOP_BITS_1_5 = 1;
constexpr uint8_t STOP_BITS_2 = 2;
constexpr uint8_t NO_PARITY = 0;
constexpr uint8_t ODD_PARITY = 1;
constexpr uint8_t EVEN_PARITY = 2;
constexpr uint8_t MARK_PARITY = 3;
constexpr uint8_t SPACE_PARITY = 4;

// The driver's special characters; Xon and Xoff are the ones software flow control sends.
struct SERIAL_CHARS {
    uint8_t EofChar;
    uint8_t ErrorChar;
    uint8_t BreakChar;
    uint8_t EventChar;
    uint8_t XonChar;
    uint8_t XoffChar;
};
static_assert(sizeof(SERIAL_CHARS) == 6);

// The driver's statistics since it was loaded (wrapping 32-bit counts).
struct SERIALPERF_STATS {
    uint32_t ReceivedCount;
    uint32_t TransmittedCount;
    uint32_t FrameErrorCount;
    uint32_t SerialOverrunErrorCount;  // the UART's receiver overran (hardware overrun)
    uint32_t BufferOverrunErrorCount;  // the driver's input buffer overflowed
    uint32_t ParityErrorCount;
};
static_assert(sizeof(SERIALPERF_STATS) == 24);

// What the driver tells of the port (GET_PROPERTIES): its limits and its queues' present sizes. The
// record ends in a provider-specific text of which only its first character is part of the layout.
struct SERIAL_COMMPROP {
    uint16_t PacketLength;
    uint16_t PacketVersion;
    uint32_t ServiceMask;
    uint32_t Reserved1;
    uint32_t MaxTxQueue;
    uint32_t MaxRxQueue;
    uint32_t MaxBaud;
    uint32_t ProvSubType;
    uint32_t ProvCapabilities;
    uint32_t SettableParams;
    uint32_t SettableBaud;
    uint16_t SettableData;
    uint16_t SettableStopParity;
    uint32_t CurrentTxQueue;
    uint32_t CurrentRxQueue;  // input queue in bytes; 0: the driver does not say
    uint32_t ProvSpec1;
    uint32_t ProvSpec2;
    uint16_t ProvChar[1];
};
static_assert(sizeof(SERIAL_COMMPROP) == 64);
static_assert(offsetof(SERIAL_COMMPROP, SettableData) == 40);
static_assert(offsetof(SERIAL_COMMPROP, CurrentRxQueue) == 48);
static_assert(offsetof(SERIAL_COMMPROP, ProvChar) == 60);
constexpr uint32_t SERIAL_SP_SERIALCOMM = 0x00000001;  // ServiceMask
constexpr uint32_t SERIAL_SP_RS232 = 0x00000001;       // ProvSubType

// ---- Request codes (device type 0x1B, METHOD_BUFFERED, FILE_ANY_ACCESS) --------------------------
constexpr uint32_t serial_ctl_code(uint32_t function) {
    return (0x1Bu << 16) | (function << 2);
}

constexpr uint32_t IOCTL_SERIAL_SET_BAUD_RATE = serial_ctl_code(1);
constexpr uint32_t IOCTL_SERIAL_SET_LINE_CONTROL = serial_ctl_code(3);
constexpr uint32_t IOCTL_SERIAL_SET_TIMEOUTS = serial_ctl_code(7);
constexpr uint32_t IOCTL_SERIAL_SET_WAIT_MASK = serial_ctl_code(17);
constexpr uint32_t IOCTL_SERIAL_WAIT_ON_MASK = serial_ctl_code(18);
constexpr uint32_t IOCTL_SERIAL_PURGE = serial_ctl_code(19);
constexpr uint32_t IOCTL_SERIAL_GET_HANDFLOW = serial_ctl_code(24);
constexpr uint32_t IOCTL_SERIAL_SET_HANDFLOW = serial_ctl_code(25);
constexpr uint32_t IOCTL_SERIAL_GET_COMMSTATUS = serial_ctl_code(27);
constexpr uint32_t IOCTL_SERIAL_GET_BAUD_RATE = serial_ctl_code(20);
constexpr uint32_t IOCTL_SERIAL_GET_LINE_CONTROL = serial_ctl_code(21);
constexpr uint32_t IOCTL_SERIAL_GET_CHARS = serial_ctl_code(22);
constexpr uint32_t IOCTL_SERIAL_SET_CHARS = serial_ctl_code(23);
constexpr uint32_t IOCTL_SERIAL_GET_PROPERTIES = serial_ctl_code(29);
constexpr uint32_t IOCTL_SERIAL_GET_STATS = serial_ctl_code(35);
// The multi-port board's own requests for internal loopback.
constexpr uint32_t IOCTL_CLEAR_INTERNAL_LOOPBACK = serial_ctl_code(0x40);
constexpr uint32_t IOCTL_SET_INTERNAL_LOOPBACK = serial_ctl_code(0x41);
// Breaks received since the driver was loaded, 32-bit (the statistics above have no break count).
// Served by the virtual board and the Linux backend; refused where the driver keeps no such count.
constexpr uint32_t IOCTL_GET_BREAK_COUNT = serial_ctl_code(0x42);
// The most bytes the input queue held at any moment since the previous such request (or the open),
// 32-bit; the next request starts from what it holds then. Served where the driver watches its queue
// at every arrival (the virtual board, the Linux backend's own queue); refused elsewhere.
constexpr uint32_t IOCTL_GET_INPUT_PEAK = serial_ctl_code(0x43);

static_assert(IOCTL_SERIAL_SET_BAUD_RATE == 0x001B0004);
static_assert(IOCTL_SERIAL_SET_TIMEOUTS == 0x001B001C);
static_assert(IOCTL_SERIAL_SET_WAIT_MASK == 0x001B0044);
static_assert(IOCTL_SERIAL_WAIT_ON_MASK == 0x001B0048);
static_assert(IOCTL_SERIAL_PURGE == 0x001B004C);
static_assert(IOCTL_SERIAL_GET_HANDFLOW == 0x001B0060);
static_assert(IOCTL_SERIAL_SET_HANDFLOW == 0x001B0064);
static_assert(IOCTL_SERIAL_GET_COMMSTATUS == 0x001B006C);
static_assert(IOCTL_SERIAL_GET_BAUD_RATE == 0x001B0050);
static_assert(IOCTL_SERIAL_GET_STATS == 0x001B008C);
static_assert(IOCTL_SERIAL_GET_PROPERTIES == 0x001B0074);
static_assert(IOCTL_SERIAL_SET_LINE_CONTROL == 0x001B000C);
static_assert(IOCTL_SERIAL_GET_LINE_CONTROL == 0x001B0054);
static_assert(IOCTL_SERIAL_GET_CHARS == 0x001B0058);
static_assert(IOCTL_SERIAL_SET_CHARS == 0x001B005C);
static_assert(IOCTL_CLEAR_INTERNAL_LOOPBACK == 0x001B0100);
static_assert(IOCTL_SET_INTERNAL_LOOPBACK == 0x001B0104);

// ---- Bits ----------------------------------------------------------------------------------------
constexpr uint32_t SERIAL_DTR_MASK = 0x03;
constexpr uint32_t SERIAL_DTR_CONTROL = 0x01;
constexpr uint32_t SERIAL_DTR_HANDSHAKE = 0x02;
constexpr uint32_t SERIAL_CTS_HANDSHAKE = 0x08;
constexpr uint32_t SERIAL_DSR_HANDSHAKE = 0x10;
constexpr uint32_t SERIAL_DCD_HANDSHAKE = 0x20;

constexpr uint32_t SERIAL_AUTO_TRANSMIT = 0x01;
constexpr uint32_t SERIAL_AUTO_RECEIVE = 0x02;
constexpr uint32_t SERIAL_RTS_MASK = 0xC0;
constexpr uint32_t SERIAL_RTS_CONTROL = 0x40;
constexpr uint32_t SERIAL_RTS_HANDSHAKE = 0x80;

constexpr uint32_t SERIAL_EV_ERR = 0x0080;

constexpr uint32_t SERIAL_ERROR_BREAK = 0x01;
constexpr uint32_t SERIAL_ERROR_FRAMING = 0x02;
constexpr uint32_t SERIAL_ERROR_OVERRUN = 0x04;
constexpr uint32_t SERIAL_ERROR_QUEUEOVERRUN = 0x08;
constexpr uint32_t SERIAL_ERROR_PARITY = 0x10;

constexpr uint32_t SERIAL_TX_WAITING_FOR_CTS = 0x01;
constexpr uint32_t SERIAL_TX_WAITING_FOR_DSR = 0x02;
constexpr uint32_t SERIAL_TX_WAITING_FOR_DCD = 0x04;
constexpr uint32_t SERIAL_TX_WAITING_FOR_XON = 0x08;
constexpr uint32_t SERIAL_TX_WAITING_XOFF_SENT = 0x10;

constexpr uint32_t SERIAL_PURGE_TXABORT = 0x01;
constexpr uint32_t SERIAL_PURGE_RXABORT = 0x02;
constexpr uint32_t SERIAL_PURGE_TXCLEAR = 0x04;
constexpr uint32_t SERIAL_PURGE_RXCLEAR = 0x08;

constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;

// ---- Calls ---------------------------------------------------------------------------------------
// Opens a port exclusively for overlapped I/O. Fails with invalid_handle_value and last_error:
// file_not_found for a path no backend knows, access_denied for a port already open.
handle create_file(const char* path);
// Why the calling thread's last create_file failed, in the operator's words where the backend can
// tell more than the error number ("in use by PID 1234 (minicom)", "not a terminal"); empty when it
// cannot. Cleared by every create_file.
const char* open_detail();
bool device_io_control(handle h, uint32_t code, const void* in, uint32_t in_size, void* out,
                       uint32_t out_size, uint32_t* returned, overlapped* ov);
bool read_file(handle h, void* buf, uint32_t len, uint32_t* count, overlapped* ov);
bool write_file(handle h, const void* buf, uint32_t len, uint32_t* count, overlapped* ov);
// Collects a completed request's byte count. With wait false and the request still in flight:
// false, last_error io_incomplete. A request that completed with an error: false, that error,
// *count holding what it transferred.
bool get_overlapped_result(handle h, overlapped* ov, uint32_t* count, bool wait);
// Closes the port: every request still in flight completes (aborted) and signals its event.
bool close_handle(handle h);
// True when the driver's queue counts (GET_COMMSTATUS) show every byte on its way through the port,
// so that once both queues are empty sent and received balance to the byte; false for drivers that
// hide bytes in flight (ptys) and for unknown handles.
bool shows_in_flight(handle h);

}  // namespace ser
