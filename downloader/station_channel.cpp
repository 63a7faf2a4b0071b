#include "downloader/station_channel.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "project_version.h"

namespace tonecast {

namespace {

// Longer texts are cut: a line is one write, and a pipe keeps a write of
// up to 512 bytes in one piece.
constexpr std::size_t kMaxText = 400;

std::uint32_t g_start_ms = 0;

bool Wanted() {
  static const bool wanted = [] {
    const char* request = std::getenv("TONECAST_PROGRESS");
    return request && std::strcmp(request, "plain") == 0;
  }();
  return wanted;
}

// "<word> <text>\n"; a line end inside the text would start a line of its
// own, so it becomes a blank.
void WriteLine(const char* word, const char* text) {
  if (!Wanted()) return;
  std::string line = word;
  line += ' ';
  for (const char* p = text ? text : ""; *p && std::size_t(p - text) < kMaxText; ++p)
    line += (*p == '\n' || *p == '\r') ? ' ' : *p;
  line += '\n';
  platform::ConsoleWrite(platform::ConsoleStream::kError, line.data(), line.size());
}

}  // namespace

void StationVersion() {
  g_start_ms = platform::MilliClock();
  WriteLine("version", kProjectVersionText);
}

void StationStep(const char* text) { WriteLine("step", text); }

void StationError(const char* text) { WriteLine("error", text); }

void StationVerdict(bool complete) {
  // The station may itself have been stopped meanwhile (Ctrl+Z): only the
  // run knows its own length.
  WriteLine("time", std::to_string(platform::MilliClock() - g_start_ms).c_str());
  WriteLine("verdict", complete ? "complete" : "NG");
}

}  // namespace tonecast
