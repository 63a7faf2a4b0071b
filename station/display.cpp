#include "station/display.h"

#include <chrono>

#include "platform/clock.h"
#include "platform/console.h"

namespace station {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// Plain lines waiting for a console that does not take them: beyond this
// the oldest are dropped (a phase line is worth less than the units' pace).
constexpr std::size_t kMaxQueuedLines = 10000;
// The step during which the image goes out ("Download file#0...").
constexpr char kDownloadStep[] = "Download file#";

}  // namespace

Display::Display(const std::vector<std::string>& ports, bool table) : table_(table) {
  for (const std::string& p : ports) {
    UnitView v;
    v.port = p;
    views_.push_back(v);
  }
}

Display::~Display() { Stop(); }

int Display::Start() {
  if (platform::ConsoleCanColour(platform::ConsoleStream::kOutput)) colour_ = Colour::kTerminal;
  try {
    thread_ = std::thread(&Display::Run, this);
  } catch (const std::system_error& e) {
    return e.code().value() != 0 ? e.code().value() : 1;
  }
  return 0;
}

void Display::Console(std::size_t i, const ConsoleEvent& event) {
  std::lock_guard<std::mutex> lock(mu_);
  if (i >= views_.size()) return;
  UnitView& v = views_[i];
  switch (event.kind) {
    case ConsoleEvent::kPhase:
      if (v.phase == event.text) return;
      v.phase = event.text;
      v.taken = v.total = 0;  // the image's progress belongs to its own step
      if (!table_ && lines_.size() < kMaxQueuedLines) lines_.push_back(PlainPhaseLine(v));
      break;
    case ConsoleEvent::kError:
      if (v.first_error.empty()) v.first_error = event.text;
      break;
    case ConsoleEvent::kComplete:
    case ConsoleEvent::kNg:
      // The verdict is shown when the run has ended (Ended).
      return;
  }
  dirty_ = true;
  wake_.notify_one();
}

void Display::Progress(std::size_t i, const station::Progress& progress) {
  const std::uint32_t now = platform::MilliClock();
  std::lock_guard<std::mutex> lock(mu_);
  if (!table_) return;  // plain lines carry no percentages
  if (i >= views_.size()) return;
  UnitView& v = views_[i];
  // The two outputs are read apart: a count that comes after the step has
  // moved on belongs to no step shown.
  if (v.phase.rfind(kDownloadStep, 0) != 0) return;
  if (v.total != progress.total || progress.taken < v.taken) {
    v.first_taken = progress.taken;
    v.first_ms = now;
  }
  v.taken = progress.taken;
  v.total = progress.total;
  v.last_ms = now;
  dirty_ = true;
  wake_.notify_one();
}

void Display::Ended(std::size_t i, Verdict verdict, const std::string& why, double seconds) {
  std::lock_guard<std::mutex> lock(mu_);
  if (i >= views_.size()) return;
  UnitView& v = views_[i];
  v.verdict = verdict;
  v.seconds = seconds;
  if (v.first_error.empty()) v.first_error = why;
  if (!table_) lines_.push_back(PlainVerdictLine(v));
  dirty_ = true;
  wake_.notify_one();
}

std::vector<UnitView> Display::Views() {
  std::lock_guard<std::mutex> lock(mu_);
  return views_;
}

void Display::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    dirty_ = true;
    wake_.notify_one();
  }
  if (thread_.joinable()) thread_.join();
}

void Display::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  auto last_draw = std::chrono::steady_clock::now() - kRedrawInterval;
  for (;;) {
    wake_.wait(lock, [this] { return dirty_ || stopping_; });
    if (table_ && !stopping_) {
      // At most one drawing per interval; later changes join this one.
      const auto due = last_draw + kRedrawInterval;
      wake_.wait_until(lock, due, [this] { return stopping_; });
    }
    const bool final_draw = stopping_;
    const bool table = table_;
    dirty_ = false;
    std::vector<UnitView> views;
    std::deque<std::string> lines;
    if (table) views = views_;
    lines.swap(lines_);
    lock.unlock();
    const bool fits = !table || TableFits(views.size());
    if (table && fits) {
      Draw(views);
    } else {
      std::string text;
      for (const std::string& l : lines) text += l;
      if (!text.empty()) Write(text);
    }
    last_draw = std::chrono::steady_clock::now();
    lock.lock();
    if (!fits) ToPlainLines();
    if (final_draw && lines_.empty()) return;
  }
}

bool Display::TableFits(std::size_t units) {
  // The header, a row per unit, and the line the cursor waits on below: a
  // table taller than the screen cannot be redrawn in place (the cursor
  // stops at the screen's top) and would scroll a copy at every redraw.
  const int height = platform::ConsoleRows(platform::ConsoleStream::kOutput);
  return height <= 0 || units + 2 <= std::size_t(height);
}

void Display::ToPlainLines() {
  table_ = false;
  // Where each unit stands, once, and from here on a line per change.
  for (const UnitView& v : views_) {
    if (v.verdict != Verdict::kRunning) {
      lines_.push_back(PlainVerdictLine(v));
    } else if (!v.phase.empty()) {
      lines_.push_back(PlainPhaseLine(v));
    }
  }
  dirty_ = true;
}

void Display::Write(const std::string& text) {
  platform::ConsoleWrite(platform::ConsoleStream::kOutput, text.data(), text.size());
}

void Display::Draw(const std::vector<UnitView>& views) {
  const int columns = platform::ConsoleColumns(platform::ConsoleStream::kOutput);
  // One column short of the width, so that no row wraps onto the next line.
  const BoardLayout layout = LayoutFor(views, columns > 1 ? columns - 1 : 0);
  std::string text;
  // Back to the table's first line: each row ended with a line end.
  if (drawn_rows_ > 0) text += "\r\x1b[" + std::to_string(drawn_rows_) + "A";
  text += "\x1b[2K" + BoardHeader(layout) + "\n";
  for (const UnitView& v : views) text += "\x1b[2K" + BoardRow(v, layout, colour_) + "\n";
  drawn_rows_ = int(views.size()) + 1;
  Write(text);
}

}  // namespace station
