#include "platform/win32/comm_config.h"

#include <algorithm>
#include <cstring>

#include "platform/common/port_name.h"

namespace platform::win32 {

DcbSettings BuildDcb(const LineSettings& s, bool dtr, bool rts) {
  DcbSettings d;
  d.baud_rate = s.baud;
  d.byte_size = static_cast<std::uint8_t>(s.data_bits);
  d.parity = s.parity == 'O' ? 1 : s.parity == 'E' ? 2 : 0;
  d.stop_bits = s.stop_bits == 2 ? 2 : 0;
  d.check_parity = s.parity != 'N';
  d.cts_out = s.rts_cts;
  d.dtr_control = dtr ? 1 : 0;
  d.xon_xoff_out = s.xon_xoff;
  d.xon_xoff_in = s.xon_xoff;
  d.rts_control = s.rts_cts ? 2 : (rts ? 1 : 0);
  const FlowLimits limits = ComputedFlowLimits(0);
  d.xon_lim = limits.xon_lim;
  d.xoff_lim = limits.xoff_lim;
  return d;
}

bool FlowLimitsFit(FlowLimits l, std::uint32_t rx_queue) {
  if (l.xon_lim == 0 || l.xoff_lim == 0) return false;
  return rx_queue == 0 || std::uint32_t(l.xon_lim) + l.xoff_lim < rx_queue;
}

FlowLimits ComputedFlowLimits(std::uint32_t rx_queue) {
  // Unknown, the queue asked for: the smallest buffer a driver that honours
  // SetupComm has. A WORD holds at most 65535.
  const std::uint32_t size = std::min<std::uint32_t>(rx_queue ? rx_queue : kQueueBytes, 0xFFFF);
  FlowLimits l;
  l.xon_lim = std::uint16_t(std::max<std::uint32_t>(size / 2, 1));
  l.xoff_lim = std::uint16_t(std::max<std::uint32_t>(size / 4, 1));
  return l;
}

FlowLimits ChooseFlowLimits(FlowLimits driver, std::uint32_t rx_queue, bool driver_refused) {
  if (!driver_refused && FlowLimitsFit(driver, rx_queue)) return driver;
  return ComputedFlowLimits(rx_queue);
}

bool BaudMatches(std::uint32_t asked, std::uint32_t applied) {
  const std::uint64_t a = asked, b = applied;
  const std::uint64_t diff = a > b ? a - b : b - a;
  return asked != 0 && diff * 100 <= a * 3;
}

std::uint64_t LineTimeMs(std::uint64_t n, const LineSettings& s) {
  const std::uint64_t bits =
      1 + std::uint64_t(s.data_bits) + (s.parity != 'N' ? 1 : 0) + std::uint64_t(s.stop_bits);
  if (s.baud == 0) return 0;
  return (n * bits * 1000 + s.baud - 1) / s.baud;
}

CommTimeouts BuildTimeouts() {
  // ReadIntervalTimeout and ReadTotalTimeoutMultiplier both MAXDWORD with a
  // constant: a read returns at once with the bytes already received; with
  // none it waits for the first one, at most the constant. The receive
  // wait is a 1-byte read in this mode, re-issued after each time-out so it
  // looks at the event mask now and then (as the POSIX backend's bounded
  // poll does); any other read asks only for bytes already queued and so
  // never waits. Writes: no time limit (all 0); the write-stall rule is
  // the backend's own.
  CommTimeouts t;
  t.read_interval = 0xFFFFFFFFu;
  t.read_total_multiplier = 0xFFFFFFFFu;
  t.read_total_constant = 1000;
  return t;
}

bool IsStandardBaud(std::uint32_t baud) {
  static constexpr std::uint32_t kSpeeds[] = {
      50,     75,     110,    134,    150,     200,     300,     600,     1200,    1800,
      2400,   4800,   9600,   19200,  38400,   57600,   115200,  230400,  460800,  500000,
      576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
  for (const std::uint32_t s : kSpeeds)
    if (s == baud) return true;
  return false;
}

bool DevicePath(const char* name, char* path, std::size_t size) {
  const char* prefix = IsNumberedPortName(name) ? "\\\\.\\" : "";
  const std::size_t need = std::strlen(prefix) + std::strlen(name) + 1;
  if (need > size) return false;
  std::strcpy(path, prefix);
  std::strcat(path, name);
  return true;
}

}  // namespace platform::win32
