#include "downloader/progress_line.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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

// How long the end of a line waits, after an interrupt, for a drawing under
// way. A drawing takes microseconds unless the console blocks it (Ctrl+S,
// a click in a console window with QuickEdit on), which may last as long as
// the user likes: past this the drawer is left to its console and the
// erase skipped.
constexpr auto kEraseWait = std::chrono::milliseconds(250);

enum class Mode { kOff, kTerminal, kPlain };

// The writing thread publishes what the port has taken; nothing else.
std::atomic<std::size_t> g_taken{0};

// One progress line, from ProgressBegin to ProgressErase: what it shows and
// the drawer's state. The drawer holds it too, so a drawer that a blocked
// console keeps past the line's end still has it, and never touches the
// next line's.
struct Line {
  Mode mode = Mode::kOff;
  std::size_t total = 0;
  int column = 0;

  // Ends the drawer's wait between two drawings; `ended` once it returns.
  std::mutex mu;
  std::condition_variable cv;
  bool stop = false;
  bool ended = false;

  // The drawer's own, while it runs; ProgressErase reads them after it
  // has ended.
  bool on_screen = false;     // a terminal line is shown
  bool counting = false;      // the first count has come
  std::size_t drawn = 0;      // the count last drawn or printed
  Clock::time_point start;    // the first count
  std::size_t start_taken = 0;
};

// ProgressBegin and ProgressErase, from any thread.
std::mutex g_mu;
std::shared_ptr<Line> g_line;
std::thread g_drawer;

void Write(const char* text, std::size_t length) {
  if (length > 0) platform::ConsoleWrite(platform::ConsoleStream::kError, text, length);
}

// "\r" and back to the column where the line starts.
std::size_t ToColumn(const Line& l, char* buffer, std::size_t size) {
  const int n = l.column <= 0 ? std::snprintf(buffer, size, "\r")
                              : std::snprintf(buffer, size, "\r\x1b[%dC", l.column);
  return n > 0 ? std::size_t(n) : 0;
}

// " 42% 113664/270600 bytes 11520 bytes/s 0:14 left"
void Describe(const Line& l, std::size_t taken, Clock::time_point now, char* text,
              std::size_t size) {
  const unsigned long long total = l.total, done = taken < l.total ? taken : l.total;
  const unsigned percent = total ? static_cast<unsigned>(done * 100 / total) : 100;
  const unsigned long long since = done > l.start_taken ? done - l.start_taken : 0;
  const auto elapsed_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now - l.start).count();
  if (now - l.start >= kRateAfter && since > 0 && elapsed_ms > 0) {
    const unsigned long long rate = since * 1000 / static_cast<unsigned long long>(elapsed_ms);
    const unsigned long long left_s = rate ? (total - done + rate - 1) / rate : 0;
    std::snprintf(text, size, " %3u%% %llu/%llu bytes %llu bytes/s %llu:%02llu left", percent,
                  done, total, rate, left_s / 60, left_s % 60);
  } else {
    std::snprintf(text, size, " %3u%% %llu/%llu bytes", percent, done, total);
  }
}

void DrawTerminal(Line& l, std::size_t taken) {
  const auto now = Clock::now();
  if (!l.counting) {
    l.counting = true;
    l.start = now;
    l.start_taken = taken;
  }
  // Asked at every drawing: a resized terminal gets a line that fits at once.
  int width = platform::ConsoleColumns(platform::ConsoleStream::kError);
  if (width <= 0) width = kDefaultColumns;
  // The last column stays free: a character there makes some terminals
  // wrap at once.
  const int room = width - l.column - 1;
  char line[224];
  std::size_t n = ToColumn(l, line, sizeof line);
  if (room >= kNarrowest) {
    char text[128];
    Describe(l, taken, now, text, sizeof text);
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
  n += ToColumn(l, line + n, sizeof line - n);
  Write(line, n);
  l.on_screen = true;
  l.drawn = taken;
}

void PrintPlain(Line& l, std::size_t taken) {
  char line[64];
  const int n = std::snprintf(line, sizeof line, "progress %zu %zu\n", taken, l.total);
  if (n > 0) Write(line, std::size_t(n));
  l.drawn = taken;
}

// The drawing thread: at most one drawing per period, of the latest count.
// While the console blocks it blocks too, and the counts it misses are
// simply never drawn; the writer never waits for it.
void Drawer(std::shared_ptr<Line> line) {
  Line& l = *line;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(l.mu);
      if (l.cv.wait_for(lock, kRedrawEvery, [&] { return l.stop; })) {
        l.ended = true;
        l.cv.notify_all();
        return;
      }
    }
    const std::size_t taken = g_taken.load();
    if (l.mode == Mode::kPlain) {
      if (taken != l.drawn) PrintPlain(l, taken);
    } else if (taken != 0 || l.on_screen) {
      DrawTerminal(l, taken);
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
  if (g_line) return;  // one line at a time
  const Mode mode = ChooseMode();
  if (mode == Mode::kOff) return;
  auto line = std::make_shared<Line>();
  line->mode = mode;
  line->total = total;
  // The line stands after the console text only where that text is: on
  // the same terminal. Elsewhere it has a screen line of its own.
  line->column = mode == Mode::kTerminal && platform::ConsoleStreamsShareTerminal() ? column : 0;
  g_taken.store(0);
  try {
    g_drawer = std::thread(Drawer, line);
  } catch (const std::system_error&) {
    return;  // no thread, no line: the download goes on without it
  }
  g_line = std::move(line);
}

void ProgressUpdate(std::size_t taken, void*) { g_taken.store(taken); }

void ProgressErase() {
  std::lock_guard<std::mutex> lock(g_mu);
  if (!g_line) return;
  const std::shared_ptr<Line> line = std::move(g_line);
  Line& l = *line;
  bool ended = false;
  {
    std::unique_lock<std::mutex> stop(l.mu);
    l.stop = true;
    l.cv.notify_all();
    // A drawing that the console holds is waited for, as the console text
    // that follows would have to wait, until an interrupt: from then on the
    // run's end goes on, and a drawer still held after kEraseWait is left
    // to its console.
    for (;;) {
      if (l.cv.wait_for(stop, kEraseWait, [&] { return l.ended; })) {
        ended = true;
        break;
      }
      if (platform::InterruptReceived()) break;
    }
  }
  if (!ended) {
    // The erase is skipped: the drawer ends once the console lets its
    // drawing through, and the line stays as that drawing leaves it.
    g_drawer.detach();
    return;
  }
  g_drawer.join();
  if (l.mode == Mode::kPlain) {
    const std::size_t taken = g_taken.load();
    if (taken != l.drawn) PrintPlain(l, taken);
    return;
  }
  if (!l.on_screen) return;
  char text[32];
  std::size_t n = ToColumn(l, text, sizeof text);
  std::memcpy(text + n, "\x1b[J", 3);
  Write(text, n + 3);
}

}  // namespace tonecast
