#include "downloader/progress_line.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/console.h"

namespace tonecast {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
// The rate is measured from the first count on: the driver's buffer takes
// the first few kilobytes at once, faster than the line carries them. Until
// this much time has passed it says nothing yet.
constexpr auto kRateAfter = std::chrono::milliseconds(500);
// Assumed when a terminal does not say how wide it is.
constexpr int kDefaultColumns = 80;
// Narrower than this after the column, the line is not drawn at all.
constexpr int kNarrowest = 6;

enum class Mode { kOff, kTerminal, kPlain };

// The writing thread publishes what the port has taken; nothing else.
std::atomic<std::size_t> g_taken{0};

// ProgressBegin and ProgressErase, from any thread.
std::mutex g_mu;
Mode g_mode = Mode::kOff;
std::thread g_drawer;
std::size_t g_total = 0;
int g_column = 0;

// Ends the drawer's wait between two drawings.
std::mutex g_stop_mu;
std::condition_variable g_stop_cv;
bool g_stop = false;

// The drawer's own state while it runs; ProgressErase reads it after the
// drawer has ended.
struct Shown {
  bool on_screen = false;     // a terminal line is shown
  bool counting = false;      // the first count has come
  std::size_t drawn = 0;      // the count last drawn or printed
  Clock::time_point start;    // the first count
  std::size_t start_taken = 0;
};
Shown g_shown;

void Write(const char* text, std::size_t length) {
  if (length > 0) platform::ConsoleWrite(platform::ConsoleStream::kError, text, length);
}

// "\r" and back to the column where the line starts.
std::size_t ToColumn(char* buffer, std::size_t size) {
  const int n = g_column <= 0 ? std::snprintf(buffer, size, "\r")
                              : std::snprintf(buffer, size, "\r\x1b[%dC", g_column);
  return n > 0 ? std::size_t(n) : 0;
}

// " 42% 113664/270600 bytes 11520 bytes/s 0:14 left"
void Describe(std::size_t taken, Clock::time_point now, char* text, std::size_t size) {
  const unsigned long long total = g_total, done = taken < g_total ? taken : g_total;
  const unsigned percent = total ? static_cast<unsigned>(done * 100 / total) : 100;
  const unsigned long long since = done > g_shown.start_taken ? done - g_shown.start_taken : 0;
  const auto elapsed_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now - g_shown.start).count();
  if (now - g_shown.start >= kRateAfter && since > 0 && elapsed_ms > 0) {
    const unsigned long long rate = since * 1000 / static_cast<unsigned long long>(elapsed_ms);
    const unsigned long long left_s = rate ? (total - done + rate - 1) / rate : 0;
    std::snprintf(text, size, " %3u%% %llu/%llu bytes %llu bytes/s %llu:%02llu left", percent,
                  done, total, rate, left_s / 60, left_s % 60);
  } else {
    std::snprintf(text, size, " %3u%% %llu/%llu bytes", percent, done, total);
  }
}

void DrawTerminal(std::size_t taken) {
  const auto now = Clock::now();
  if (!g_shown.counting) {
    g_shown.counting = true;
    g_shown.start = now;
    g_shown.start_taken = taken;
  }
  // Asked at every drawing: a resized terminal gets a line that fits at once.
  int width = platform::ConsoleColumns(platform::ConsoleStream::kError);
  if (width <= 0) width = kDefaultColumns;
  // The last column stays free: a character there makes some terminals
  // wrap at once.
  const int room = width - g_column - 1;
  char line[224];
  std::size_t n = ToColumn(line, sizeof line);
  if (room >= kNarrowest) {
    char text[128];
    Describe(taken, now, text, sizeof text);
    std::size_t length = std::strlen(text);
    if (length > std::size_t(room)) length = std::size_t(room);
    std::memcpy(line + n, text, length);
    n += length;
  }
  // Erase the rest of the screen, not just of the line: a terminal that
  // re-wraps its lines when it narrows has moved the end of the last
  // drawing to the line below. The cursor then goes back to where the line
  // starts, so that such a re-wrap never carries it down a line.
  std::memcpy(line + n, "\x1b[J", 3);
  n += 3;
  n += ToColumn(line + n, sizeof line - n);
  Write(line, n);
  g_shown.on_screen = true;
  g_shown.drawn = taken;
}

void PrintPlain(std::size_t taken) {
  char line[64];
  const int n = std::snprintf(line, sizeof line, "progress %zu %zu\n", taken, g_total);
  if (n > 0) Write(line, std::size_t(n));
  g_shown.drawn = taken;
}

// The drawing thread: at most one drawing per period, of the latest count.
// While the console blocks it blocks too, and the counts it misses are
// simply never drawn; the writer never waits for it.
void Drawer(Mode mode) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(g_stop_mu);
      if (g_stop_cv.wait_for(lock, kRedrawEvery, [] { return g_stop; })) return;
    }
    const std::size_t taken = g_taken.load();
    if (mode == Mode::kPlain) {
      if (taken != g_shown.drawn) PrintPlain(taken);
    } else if (taken != 0 || g_shown.on_screen) {
      DrawTerminal(taken);
    }
  }
}

Mode ChooseMode() {
  const char* request = std::getenv("TONECAST_PROGRESS");
  if (request && std::strcmp(request, "plain") == 0) return Mode::kPlain;
  if (platform::ConsoleCanRedraw(platform::ConsoleStream::kError)) return Mode::kTerminal;
  return Mode::kOff;
}

}  // namespace

void ProgressBegin(std::size_t total, int column) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_mode != Mode::kOff) return;  // one line at a time
  const Mode mode = ChooseMode();
  if (mode == Mode::kOff) return;
  g_total = total;
  // The line stands after the console text only where that text is: on
  // the same terminal. Elsewhere it has a screen line of its own.
  g_column = mode == Mode::kTerminal && platform::ConsoleStreamsShareTerminal() ? column : 0;
  g_taken.store(0);
  g_shown = Shown{};
  {
    std::lock_guard<std::mutex> stop(g_stop_mu);
    g_stop = false;
  }
  try {
    g_drawer = std::thread(Drawer, mode);
  } catch (const std::system_error&) {
    return;  // no thread, no line: the download goes on without it
  }
  g_mode = mode;
}

void ProgressUpdate(std::size_t taken, void*) { g_taken.store(taken); }

void ProgressErase() {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_mode == Mode::kOff) return;
  {
    std::lock_guard<std::mutex> stop(g_stop_mu);
    g_stop = true;
  }
  g_stop_cv.notify_all();
  // A drawer that blocks in the console is waited for, as any console text
  // would have to wait.
  g_drawer.join();
  const Mode mode = g_mode;
  g_mode = Mode::kOff;
  if (mode == Mode::kPlain) {
    const std::size_t taken = g_taken.load();
    if (taken != g_shown.drawn) PrintPlain(taken);
    return;
  }
  if (!g_shown.on_screen) return;
  char text[32];
  std::size_t n = ToColumn(text, sizeof text);
  std::memcpy(text + n, "\x1b[J", 3);
  Write(text, n + 3);
}

}  // namespace tonecast
