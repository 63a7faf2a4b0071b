#include "downloader/receiver.h"

#include <cstring>
#include <new>

#include "downloader/errors.h"
#include "downloader/messages.h"
#include "downloader/run_log.h"
#include "downloader/serial_link.h"

namespace tonecast {

namespace {

constexpr std::uint8_t kNul = 0x00;
constexpr std::uint8_t kLf = 0x0A;
constexpr std::uint8_t kCr = 0x0D;

// Clears the port's line error state and gives the count of queued bytes
// (0 when the port cannot say).
std::uint32_t QueuedInput(platform::SerialPort* port) {
  std::uint32_t count = 0;
  if (platform::SerialQueuedInput(port, &count) != 0) return 0;
  return count;
}

// Delivers the line held in the buffer. 0, -1 (no memory: the line stays)
// or -2 (the post failed: the line is lost).
std::int32_t DeliverLine(SerialContext* ctx) {
  const std::int32_t length = ctx->line_length;
  char* text = new (std::nothrow) char[std::size_t(length) + 1];
  if (!text) return -1;
  std::memcpy(text, ctx->line_buffer, std::size_t(length));
  text[length] = '\0';
  LogValues v;
  v.first = length;
  // Logged before it is posted: in the log a reply stands before anything
  // that the main thread does in answer to it.
  WriteLogRecord(LOG_RECV, v, text, std::size_t(length));
  const int rc = platform::QueuePost(g_thread_slots[0].id, UM_LINE,
                                       static_cast<std::uint32_t>(length),
                                       reinterpret_cast<std::uintptr_t>(text));
  ctx->line_length = 0;
  if (rc != 0) {
    delete[] text;  // nobody received it
    return -2;
  }
  return 0;
}

}  // namespace

std::int32_t AssembleLine(std::uint8_t byte) {
  SerialContext* ctx = g_serial.load();
  if (!ctx) return 0;
  if (byte == kNul || byte == kCr) return 0;
  if (byte == kLf) {
    if (ctx->line_length == 0) return 0;  // empty lines are neither delivered nor logged
    return DeliverLine(ctx);
  }
  ctx->line_buffer[ctx->line_length++] = byte;
  if (ctx->line_length >= kLineBufferSize) {
    WriteLogRecord(LOG_BFUL, {}, ctx->line_buffer, kLineBufferSize);
    ctx->line_overflows++;
    ctx->line_length = 0;
  }
  return 0;
}

void ReceiveLoop() {
  SerialContext* ctx = g_serial.load();
  if (!ctx) return;
  platform::SerialPort* port = ctx->port.load();

  platform::SerialSetEventMask(port, platform::kEventRxChar);
  QueuedInput(port);
  // A stop made since the worker took its last request, or the shutdown,
  // ends this loop before it waits, even if it came before the mask was
  // armed.
  bool run =
      port != nullptr && ctx->stop_requested.load() == 0 && ctx->shutting_down.load() == 0;
  while (run) {
    std::uint32_t events = 0;
    // A failed wait (the port hung up) ends the loop like a stop.
    if (platform::SerialWaitEvent(port, &events) != 0 || events == 0) break;
    std::uint32_t remaining = QueuedInput(port);
    if (!(events & platform::kEventRxChar) && remaining == 0) continue;
    // The count is a hint that may lag behind the event: try one byte then.
    if (remaining == 0) remaining = 1;
    while (remaining != 0) {
      std::uint8_t byte = 0;
      std::size_t got = 0;
      if (platform::SerialRead(port, &byte, 1, &got) != 0) {
        run = false;
        break;
      }
      if (got == 0) break;  // nothing there after all; wait again
      if (AssembleLine(byte) != 0) {
        // Unread bytes stay queued for a later batch.
        ReportError(ERR_UNDEFINED, nullptr);
        break;
      }
      --remaining;
    }
  }

  platform::SerialPurge(port, platform::kPurgeRx);
  WriteLogRecord(LOG_STOP_RECEIVING, {}, nullptr, 0);
}

void StopReceiving() {
  SerialContext* ctx = g_serial.load();
  if (!ctx) return;
  ctx->stop_requested.store(1);
  std::lock_guard<std::mutex> lock(g_port_mu);
  if (platform::SerialPort* port = ctx->port.load()) platform::SerialSetEventMask(port, 0);
}

}  // namespace tonecast
