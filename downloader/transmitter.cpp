#include "downloader/transmitter.h"

#include "downloader/errors.h"
#include "downloader/progress_line.h"
#include "downloader/run_log.h"
#include "downloader/serial_link.h"

namespace tonecast {

namespace {

constexpr std::uint32_t kLoggedBytes = 30;  // a SEND record shows at most this much

}  // namespace

std::int32_t SerialSend(const void* buffer, std::uint32_t size) {
  std::size_t written = 0;
  int err = 0;
  {
    // Holds the port open for the whole write (the worker closes it only
    // on a later request, so this never waits in practice).
    std::lock_guard<std::mutex> lock(g_port_mu);
    SerialContext* ctx = g_serial.load();
    platform::SerialPort* port = ctx ? ctx->port.load() : nullptr;
    if (!port) {
      err = platform::ErrorCode(platform::Failure::kNotOpen);
    } else {
      // Output still queued from an earlier write goes; received input stays.
      platform::SerialPurge(port, platform::kPurgeTx);
      err = platform::SerialWrite(port, buffer, size, &written, ProgressUpdate, nullptr);
    }
  }
  // Cut short on purpose (an interrupt, reported by its own handler): the
  // record says how much went out, and no send error is counted.
  const bool cancelled = platform::ErrorIs(err, platform::Failure::kCancelled);
  // Refused before anything went out: no SEND record.
  if (err != 0 && written == 0 && cancelled) return err;
  if (err != 0 && written == 0 && !platform::ErrorIs(err, platform::Failure::kStalled)) {
    ReportErrorCode(ERR_SEND, err);
    return err;
  }

  LogValues v;
  v.first = size;
  v.second = static_cast<std::int64_t>(written);
  WriteLogRecord(LOG_SEND, v, buffer, size < kLoggedBytes ? size : kLoggedBytes);
  if (err == 0 && written == size) return 0;
  if (cancelled) return err;

  // The write ended early: the device stopped taking bytes or went away.
  if (SerialContext* ctx = g_serial.load()) ctx->send_failures.fetch_add(1);
  ReportError(ERR_SEND_TIMEOUT, nullptr);
  return err != 0 ? err : platform::ErrorCode(platform::Failure::kIo);
}

}  // namespace tonecast
