// The line settings and time-outs that the Windows serial backend hands to
// SetCommState and SetCommTimeouts, worked out without any Windows type so
// that they can be checked on any machine.
#pragma once

#include <cstdint>

#include "platform/serial.h"

namespace platform::win32 {

// The driver queue sizes the backend asks for with SetupComm (a hint that
// drivers may ignore or round up, never down below what they accept).
constexpr std::uint32_t kQueueBytes = 1024;

// The members of a DCB that the backend sets; every other member keeps the
// value that GetCommState read. Values are the DCB's own encodings.
struct DcbSettings {
  std::uint32_t baud_rate = 0;
  std::uint8_t byte_size = 8;
  std::uint8_t parity = 0;     // NOPARITY 0, ODDPARITY 1, EVENPARITY 2
  std::uint8_t stop_bits = 0;  // ONESTOPBIT 0, TWOSTOPBITS 2
  bool binary = true;          // fBinary
  bool check_parity = false;   // fParity
  bool cts_out = false;        // fOutxCtsFlow
  bool dsr_out = false;        // fOutxDsrFlow
  std::uint8_t dtr_control = 0;  // fDtrControl: DISABLE 0, ENABLE 1
  bool dsr_sensitivity = false;  // fDsrSensitivity
  bool tx_continue_on_xoff = true;  // fTXContinueOnXoff
  bool xon_xoff_out = false;   // fOutX
  bool xon_xoff_in = false;    // fInX
  bool error_char = false;     // fErrorChar
  bool discard_nul = false;    // fNull
  std::uint8_t rts_control = 0;  // fRtsControl: DISABLE 0, ENABLE 1, HANDSHAKE 2
  bool abort_on_error = false;   // fAbortOnError
  // The flow-control characters and limits, set even while XON/XOFF is
  // off: SetCommState refuses XonChar equal to XoffChar whatever the flags,
  // and some drivers report both as 0 (or limits past their buffer), which
  // would make every open fail if they were written back as read.
  std::uint8_t xon_char = 0x11;   // XonChar: DC1
  std::uint8_t xoff_char = 0x13;  // XoffChar: DC3
  std::uint16_t xon_lim = 0;      // XonLim: bytes in use before XON is sent
  std::uint16_t xoff_lim = 0;     // XoffLim: free bytes left before XOFF is sent
};

// Raw line settings: no parity check, no NUL stripping, no error
// replacement, no abort on line errors; flow control only as asked for;
// DTR and RTS held as given (RTS as the handshake line under rts_cts);
// XON/XOFF characters DC1/DC3 and the computed limits of a kQueueBytes
// input queue (the backend writes ChooseFlowLimits' instead).
DcbSettings BuildDcb(const LineSettings& settings, bool dtr, bool rts);

// The XON/XOFF limits of a DCB: bytes in use before XON is sent, free
// bytes left before XOFF is sent.
struct FlowLimits {
  std::uint16_t xon_lim = 0;
  std::uint16_t xoff_lim = 0;
};
// Whether a driver's own limits can stand: both non-zero and, when the
// driver tells its input buffer's size (rx_queue, 0 when it does not),
// XON's level below XOFF's within that buffer.
bool FlowLimitsFit(FlowLimits limits, std::uint32_t rx_queue);
// Limits worked out from the input buffer (kQueueBytes when its size is
// unknown): XON once it is down to half full, XOFF with a quarter free.
FlowLimits ComputedFlowLimits(std::uint32_t rx_queue);
// The limits the backend writes: the driver's own when they fit and it has
// not refused them (SetCommState answered ERROR_INVALID_PARAMETER with
// them), computed ones otherwise. Drivers may check the limits even with
// flow control off, so a value they would refuse makes every open fail.
FlowLimits ChooseFlowLimits(FlowLimits driver, std::uint32_t rx_queue, bool driver_refused);

// Whether the speed a driver reads back after SetCommState is the one asked
// for: within 3 % either way. A driver may report the rate its divisor
// really makes (115200 asked, 115384 made), and a UART receiver takes a
// speed error of a few percent; a different standard speed is a refusal.
bool BaudMatches(std::uint32_t asked, std::uint32_t applied);

// How long n bytes take on the line at these settings (start bit, data
// bits, parity, stop bits per byte), in milliseconds, rounded up.
std::uint64_t LineTimeMs(std::uint64_t n, const LineSettings& settings);

struct CommTimeouts {
  std::uint32_t read_interval = 0;
  std::uint32_t read_total_multiplier = 0;
  std::uint32_t read_total_constant = 0;
  std::uint32_t write_total_multiplier = 0;
  std::uint32_t write_total_constant = 0;
};

// Reads return at once with what has arrived, or wait for the first byte
// when nothing has (at most read_total_constant ms); writes have no time
// limit. See serial.cpp for how the receive wait uses this.
CommTimeouts BuildTimeouts();

// Whether the backend accepts this speed (the standard speeds 50..4000000).
bool IsStandardBaud(std::uint32_t baud);

// "COM<n>" (n decimal, no sign) becomes "\\.\COM<n>", the only form that
// reaches COM10 and up; other names stand as they are. Writes at most
// `size` bytes including the terminating NUL; false when it does not fit.
bool DevicePath(const char* name, char* path, std::size_t size);

}  // namespace platform::win32
