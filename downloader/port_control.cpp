#include "downloader/port_control.h"

#include <cstdio>

#include "downloader/interrupt.h"
#include "downloader/messages.h"
#include "downloader/run_log.h"
#include "downloader/run_state.h"
#include "downloader/serial_link.h"

namespace tonecast {

namespace {

constexpr std::uint32_t kOpenRate = 19200;
constexpr unsigned kPurgeBoth = platform::kPurgeRx | platform::kPurgeTx;

// Closes the published port, if any, while no main-thread call is using it.
void ReleasePort(SerialContext* ctx) {
  std::lock_guard<std::mutex> lock(g_port_mu);
  platform::SerialPort* port = ctx->port.load();
  if (!port) return;
  GuardPort(nullptr);
  platform::SerialPurge(port, kPurgeBoth);
  platform::SerialClose(port);
  ctx->port.store(nullptr);
}

// Purge, then 19200 baud 8N1 without flow control, DTR/RTS from the cable
// flags. 0 or the error code of the failing step.
std::int32_t Configure(platform::SerialPort* port, std::uint32_t cable_flags) {
  if (int err = platform::SerialPurge(port, kPurgeBoth)) return err;
  platform::LineSettings s;
  if (int err = platform::SerialGetSettings(port, &s)) return err;
  s.baud = kOpenRate;
  s.data_bits = 8;
  s.parity = 'N';
  s.stop_bits = 1;
  s.rts_cts = false;
  s.xon_xoff = false;
  if (int err = platform::SerialSetSettings(port, s)) return err;
  return platform::SerialSetModemLines(port, (cable_flags & CABLE_DTR) != 0,
                                       (cable_flags & CABLE_RTS) != 0);
}

}  // namespace

std::int32_t OpenPort(std::int32_t port_number, std::uint32_t cable_flags) {
  SerialContext* ctx = g_serial.load();
  if (!ctx) return platform::ErrorCode(platform::Failure::kNoDevice);
  ctx->line_length = 0;  // a partial line of an earlier connection is dropped

  // A port still open from an earlier request would stay locked for good.
  ReleasePort(ctx);

  // A device path from "-P" is opened and logged as typed; otherwise the
  // numbered port of the request.
  char name[kPortPathSize];
  if (g_port_path[0] != '\0')
    std::snprintf(name, sizeof name, "%s", g_port_path);
  else
    std::snprintf(name, sizeof name, "COM%d", static_cast<int>(port_number));
  platform::SerialPort* port = nullptr;
  if (int err = platform::SerialOpen(name, &port)) return err;
  if (std::int32_t err = Configure(port, cable_flags)) {
    platform::SerialClose(port);
    return err;
  }
  // Published only once configured: the main thread never sees a port that
  // is about to be closed again.
  {
    std::lock_guard<std::mutex> lock(g_port_mu);
    ctx->port.store(port);
    GuardPort(port);
  }
  LogValues v;
  v.text = name;
  WriteLogRecord(LOG_CONNECT, v, nullptr, 0);
  return 0;
}

std::int32_t ChangeSpeed(std::uint32_t rate) {
  SerialContext* ctx = g_serial.load();
  platform::SerialPort* port = ctx ? ctx->port.load() : nullptr;
  platform::LineSettings s;  // 19200 8N1 when the port cannot say
  const bool known = platform::SerialGetSettings(port, &s) == 0;
  platform::SerialPurge(port, kPurgeBoth);
  const std::uint32_t previous = known ? s.baud : 0;
  s.baud = rate;
  platform::SerialSetSettings(port, s);
  LogValues v;
  v.first = previous;
  v.second = rate;
  WriteLogRecord(LOG_SPEED, v, nullptr, 0);
  return 0;
}

void ClosePort() {
  if (SerialContext* ctx = g_serial.load()) ReleasePort(ctx);
  WriteLogRecord(LOG_DISCONNECT, {}, nullptr, 0);
}

}  // namespace tonecast
