// Serial ports.
//
// One port object serves two threads at once: one thread may wait for
// received bytes (SerialWaitEvent, SerialRead) while another writes
// (SerialWrite). Any thread may end a pending wait with SerialSetEventMask(0).
//
// All functions return 0 for success or the platform's error code
// (platform/error.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/error.h"

namespace platform {

struct SerialPort;  // opaque

// Opens a port by name, exclusively, in raw mode, with reads that never wait.
// "COM<n>" (n decimal) opens the platform's serial port of that number (each
// backend says how it maps the name); any other name is a device path as it
// stands. A port that another process holds fails as Failure::kBusy.
// RTS is dropped at once after the open (the device may raise it on every
// open); DTR stays as the open left it until SerialSetModemLines.
int SerialOpen(const char* name, SerialPort** port);
// The device that SerialOpen opens for a name: "COM<n>" as the backend maps
// it (Linux: $COM<n> when set and not empty, else /dev/ttyS<n-1>; Windows:
// \\.\COM<n>), any other name as it stands.
std::string SerialDevicePath(const char* name);

// What a failed open or set-up of a port means to the person at the bench.
enum class OpenFailure {
  kOther,       // anything else
  kNoDevice,    // no such device (Linux ENOENT, ENODEV, ENXIO; Windows
                // ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND)
  kPermission,  // the user may not open it (Linux EACCES, EPERM; never on
                // Windows, where "access denied" on a port means in use)
  kBusy,        // another program holds it (Linux EBUSY; Windows
                // ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION)
};
OpenFailure SerialOpenFailure(int code);

// One line for a user, without the program's name or a line end, after a
// port failed to open with code: the device the name stood for and the
// likely fix. "COM3 is /dev/ttyUSB0: permission denied; ..." or, for a name
// that is a path already, "/dev/ttyUSB0: no such device; ...".
std::string SerialOpenAdvice(const char* name, int code);

// Releases the exclusive hold and closes the port. Null is ignored. No other
// thread may be inside a call on the port when it is closed.
void SerialClose(SerialPort* port);

// Purge: discard what is queued (received and not read, or written and not
// sent) and end what is in progress on that side.
constexpr unsigned kPurgeRx = 1;
constexpr unsigned kPurgeTx = 2;
int SerialPurge(SerialPort* port, unsigned which);

struct LineSettings {
  std::uint32_t baud = 19200;
  int data_bits = 8;     // 5..8
  char parity = 'N';     // 'N', 'E', 'O'
  int stop_bits = 1;     // 1 or 2
  bool rts_cts = false;  // hardware flow control
  bool xon_xoff = false; // software flow control (input and output)
};
// Reads the port's current settings. A speed the platform does not know
// reads back as 0.
int SerialGetSettings(SerialPort* port, LineSettings* settings);
// Applies settings; always raw (no input or output processing, receiver on,
// modem status lines ignored). Standard speeds
// 50..4000000; others fail as Failure::kInvalid.
int SerialSetSettings(SerialPort* port, const LineSettings& settings);

// Raises or drops DTR and RTS. Devices without modem-control lines
// (pseudo-terminals) refuse this; that is not an error here.
int SerialSetModemLines(SerialPort* port, bool dtr, bool rts);

// Receive events.
constexpr std::uint32_t kEventRxChar = 0x0001;
// Sets which events SerialWaitEvent waits for. Setting 0 ends a wait in
// progress (and any later one, until a non-zero mask is set) with an empty
// event set; setting a non-zero mask withdraws that wake-up.
int SerialSetEventMask(SerialPort* port, std::uint32_t mask);
// Waits until one of the masked events happens, or the mask is cleared
// (*events = 0). A port that has hung up (device gone, peer closed) fails
// as Failure::kIo or with the error that the device reports; it never reports readiness
// over and over.
int SerialWaitEvent(SerialPort* port, std::uint32_t* events);
// The number of received bytes waiting to be read (a hint: it may lag behind
// SerialWaitEvent), and clears any pending line error.
int SerialQueuedInput(SerialPort* port, std::uint32_t* count);
// Reads up to n received bytes without waiting; *got may be 0.
// A hung-up port fails as Failure::kIo.
int SerialRead(SerialPort* port, void* buffer, std::size_t n, std::size_t* got);

// Writes all n bytes, waiting as long as the device keeps taking them, then
// waits until they have been sent (drained). Returns 0 only when every byte
// was written; otherwise the error that ended the write, with *written the
// count that went out. A write that makes no progress at all for
// kWriteStallMs fails as Failure::kStalled (a device that stopped taking bytes),
// and so does a drain during which the device sends nothing for that long.
// Windows, whose drivers may not count a pending request down, first allows
// the whole write's time on the line (platform/win32/write_watch.h).
//
// progress, when given, is called on the writing thread each time the device
// has taken more bytes, with the count taken so far; it may be called often
// (the callee decides what to show and how often).
constexpr std::uint32_t kWriteStallMs = 30000;
using WriteProgress = void (*)(std::size_t taken, void* context);
int SerialWrite(SerialPort* port, const void* data, std::size_t n,
                std::size_t* written, WriteProgress progress = nullptr,
                void* context = nullptr);

// Any thread. Ends a SerialWrite in progress on this port within a moment
// and discards what is still queued for the wire, so the device gets no more
// of it; that write and every later one fail as Failure::kCancelled. Safe
// to call while another thread waits for received bytes.
void SerialCancelWrites(SerialPort* port);

}  // namespace platform
