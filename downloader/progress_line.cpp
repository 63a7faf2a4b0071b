#include "downloader/progress_line.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include "platform/console.h"

namespace tonecast {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
// The rate is measured from the first count on: the driver's buffer takes
// the first few kilobytes at once, faster than the line carries them. Until
// this much time has passed it says nothing yet.
constexpr auto kRateAfter = std::chrono::milliseconds(500);

// Main thread draws; any thread may erase.
std::mutex g_mu;
bool g_active = false;  // between ProgressBegin and ProgressErase
bool g_shown = false;   // something is on the screen
std::size_t g_total = 0;
int g_column = 0;
Clock::time_point g_start;  // the first count
std::size_t g_start_taken = 0;
Clock::time_point g_last_draw;

// "\r" and back to the column where the line starts.
int ToColumn(char* buffer, std::size_t size) {
  if (g_column <= 0) return std::snprintf(buffer, size, "\r");
  return std::snprintf(buffer, size, "\r\x1b[%dC", g_column);
}

void Write(const char* text, int length) {
  if (length <= 0) return;
  std::fwrite(text, 1, static_cast<std::size_t>(length), stderr);
  std::fflush(stderr);
}

void Draw(std::size_t taken, Clock::time_point now) {
  const unsigned long long total = g_total, done = taken < g_total ? taken : g_total;
  const unsigned percent = total ? static_cast<unsigned>(done * 100 / total) : 100;
  const auto elapsed_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now - g_start).count();
  char line[160];
  int n = ToColumn(line, sizeof line);
  const unsigned long long since = done > g_start_taken ? done - g_start_taken : 0;
  if (now - g_start >= kRateAfter && since > 0) {
    const unsigned long long rate = since * 1000 / static_cast<unsigned long long>(elapsed_ms);
    const unsigned long long left_s = rate ? (total - done + rate - 1) / rate : 0;
    n += std::snprintf(line + n, sizeof line - std::size_t(n),
                       " %3u%% %llu/%llu bytes %llu bytes/s %llu:%02llu left\x1b[K", percent,
                       done, total, rate, left_s / 60, left_s % 60);
  } else {
    n += std::snprintf(line + n, sizeof line - std::size_t(n),
                       " %3u%% %llu/%llu bytes\x1b[K", percent, done, total);
  }
  if (n >= int(sizeof line)) n = int(sizeof line) - 1;
  Write(line, n);
  g_shown = true;
  g_last_draw = now;
}

}  // namespace

void ProgressBegin(std::size_t total, int column) {
  const bool terminal = platform::ConsoleCanRedraw(platform::ConsoleStream::kError);
  std::lock_guard<std::mutex> lock(g_mu);
  g_active = terminal;
  g_shown = false;
  g_total = total;
  g_column = column;
}

void ProgressUpdate(std::size_t taken, void*) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (!g_active) return;
  const auto now = Clock::now();
  if (!g_shown) {
    g_start = now;
    g_start_taken = taken;
  } else if (now - g_last_draw < kRedrawEvery) {
    return;
  }
  Draw(taken, now);
}

void ProgressErase() {
  std::lock_guard<std::mutex> lock(g_mu);
  g_active = false;
  if (!g_shown) return;
  g_shown = false;
  char text[32];
  int n = ToColumn(text, sizeof text);
  n += std::snprintf(text + n, sizeof text - std::size_t(n), "\x1b[K");
  Write(text, n);
}

}  // namespace tonecast
