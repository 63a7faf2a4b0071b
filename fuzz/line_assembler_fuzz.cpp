// Feeds arbitrary byte streams to the line assembler, one byte at a time as
// the receive loop does, with the worker's record in place and the lines
// posted to this thread's own queue. After every LF the queue is drained
// (a marker message posted to ourselves ends the drain, since QueueGet
// sleeps on an empty queue). Checked:
//  - every delivered line is 1 to 127 bytes, NUL-terminated, free of CR,
//    LF and NUL, and at most one line is delivered per LF;
//  - a line is delivered at an LF exactly when bytes are pending;
//  - an overflow is counted exactly when 128 bytes pile up without an LF,
//    and it leaves nothing pending;
//  - the delivered lines, the overflowed blocks and what is still pending
//    at the end, in order, are exactly the input without its CR, LF and NUL
//    bytes: nothing is lost, duplicated or reordered.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "downloader/messages.h"
#include "downloader/receiver.h"
#include "downloader/serial_worker.h"
#include "platform/thread.h"

using namespace tonecast;

namespace {

constexpr std::uint32_t kDrainMarker = 0x7FFF0001u;
constexpr std::size_t kLineLimit = 128;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

SerialContext* Context() {
  static SerialContext* ctx = [] {
    auto* c = new SerialContext;
    g_serial.store(c);
    g_thread_slots[0].id = platform::ThreadCurrentId();
    return c;
  }();
  return ctx;
}

// Takes every queued message up to the marker; appends the lines to *out
// and returns how many there were.
int DrainLines(std::string* out) {
  Check(platform::QueuePost(g_thread_slots[0].id, kDrainMarker, 0, 0) == 0);
  int lines = 0;
  for (;;) {
    platform::Message m;
    Check(platform::QueueGet(&m) == 0);
    if (m.kind == kDrainMarker) return lines;
    Check(m.kind == UM_LINE);
    char* text = reinterpret_cast<char*>(m.lparam);
    Check(text != nullptr);
    const std::size_t length = m.wparam;
    Check(length >= 1 && length < kLineLimit);
    Check(text[length] == '\0');
    for (std::size_t i = 0; i < length; ++i)
      Check(text[i] != '\r' && text[i] != '\n' && text[i] != '\0');
    out->append(text, length);
    delete[] text;
    ++lines;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  SerialContext* ctx = Context();
  ctx->line_length = 0;  // each input starts on a freshly opened port

  std::string content;    // the input without CR, LF and NUL
  std::string accounted;  // lines, overflowed blocks, then what is pending
  std::size_t pending = 0;  // content bytes since the last LF or overflow
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t b = data[i];
    const std::int32_t overflows = ctx->line_overflows;
    Check(AssembleLine(b) == 0);
    if (b == '\r' || b == '\0') {
      Check(ctx->line_overflows == overflows);
      continue;
    }
    if (b == '\n') {
      Check(ctx->line_overflows == overflows);
      const int lines = DrainLines(&accounted);
      Check(lines == (pending > 0 ? 1 : 0));
      pending = 0;
      Check(ctx->line_length == 0);
      continue;
    }
    content.push_back(char(b));
    ++pending;
    if (pending == kLineLimit) {
      Check(ctx->line_overflows == overflows + 1);
      Check(ctx->line_length == 0);
      accounted.append(reinterpret_cast<const char*>(ctx->line_buffer), kLineLimit);
      pending = 0;
    } else {
      Check(ctx->line_overflows == overflows);
    }
  }
  Check(DrainLines(&accounted) == 0);  // lines go out only at an LF
  Check(std::size_t(ctx->line_length) == pending);
  accounted.append(reinterpret_cast<const char*>(ctx->line_buffer), pending);
  Check(accounted == content);
  return 0;
}
