#include "station/board.h"

#include <algorithm>
#include <cstdio>

#include "station/screen_text.h"

namespace station {

namespace {

constexpr std::size_t kGap = 2;
// " 42%  0:14 left": the widest progress text.
constexpr std::size_t kProgressWidth = 15;
// The phase column's least width before the port column narrows: the
// longest step ("Changing baudrate (DOWN)..."), so that a running row shows
// its step whole.
constexpr std::size_t kPhaseRoom = 27;
// The port column never narrows below this ("COM12", "ttyUSB0" whole; a
// long name keeps its head and tail around "...").
constexpr std::size_t kLeastPortWidth = 10;

constexpr char kGreen[] = "\x1b[32m";
constexpr char kRed[] = "\x1b[31m";
constexpr char kYellow[] = "\x1b[33m";
constexpr char kPlain[] = "\x1b[0m";

std::string Pad(const std::string& text, std::size_t width) {
  const std::size_t columns = Columns(text);
  return columns >= width ? text : text + std::string(width - columns, ' ');
}

std::string TrimRight(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  return text;
}

const char* VerdictColour(Verdict verdict) {
  switch (verdict) {
    case Verdict::kComplete:
      return kGreen;
    case Verdict::kNg:
      return kRed;
    case Verdict::kNoVerdict:
      return kYellow;
    case Verdict::kRunning:
      break;
  }
  return "";
}

// The port and progress columns, with the gaps after them.
std::string LeftColumns(const std::string& port, const std::string& progress,
                        const BoardLayout& layout) {
  return Pad(ShortenMiddle(Printable(port), layout.port), layout.port + kGap) +
         Pad(progress, kProgressWidth + kGap);
}

// The phase column's room in a row (0: no limit); at least one column.
int PhaseRoom(const BoardLayout& layout) {
  if (layout.columns <= 0) return 0;
  const std::size_t left = layout.port + kGap + kProgressWidth + kGap;
  return std::size_t(layout.columns) > left ? int(std::size_t(layout.columns) - left) : 1;
}

}  // namespace

const char* VerdictWord(Verdict verdict) {
  switch (verdict) {
    case Verdict::kRunning:
      return "";
    case Verdict::kComplete:
      return "complete";
    case Verdict::kNg:
      return "NG";
    case Verdict::kNoVerdict:
      return "no verdict";
  }
  return "";
}

BoardLayout LayoutFor(const std::vector<UnitView>& views, int columns) {
  BoardLayout layout;
  layout.columns = columns > 0 ? columns : 0;
  std::size_t longest = 4;  // "PORT"
  for (const UnitView& v : views) longest = std::max(longest, Columns(Printable(v.port)));
  layout.port = longest;
  if (layout.columns > 0) {
    const std::size_t others = kGap + kProgressWidth + kGap + kPhaseRoom;
    const std::size_t room =
        std::size_t(layout.columns) > others ? std::size_t(layout.columns) - others : 0;
    layout.port = std::min(longest, std::max(room, kLeastPortWidth));
  }
  return layout;
}

std::string ProgressText(const UnitView& view) {
  if (view.verdict != Verdict::kRunning || view.total == 0) return "";
  char text[48];
  const unsigned percent = unsigned(view.taken * 100 / view.total);
  const std::uint32_t span_ms = view.last_ms - view.first_ms;
  const std::uint64_t moved = view.taken - view.first_taken;
  if (view.taken >= view.total) {
    std::snprintf(text, sizeof text, "100%%");
  } else if (span_ms >= 500 && moved > 0) {
    // Held to the column's width: an estimate beyond 99:59 says no more.
    const std::uint64_t left_s =
        std::min<std::uint64_t>((view.total - view.taken) * span_ms / moved / 1000, 99 * 60 + 59);
    std::snprintf(text, sizeof text, "%3u%% %2u:%02u left", percent, unsigned(left_s / 60),
                  unsigned(left_s % 60));
  } else {
    std::snprintf(text, sizeof text, "%3u%%", percent);
  }
  return text;
}

std::string ResultText(const UnitView& view) {
  std::string text = VerdictWord(view.verdict);
  const std::string why = TrimRight(Printable(view.first_error));
  if (view.verdict != Verdict::kComplete && view.verdict != Verdict::kRunning && !why.empty())
    text += " (" + why + ")";
  return text;
}

std::string BoardHeader(const BoardLayout& layout) {
  return CutToColumns(LeftColumns("PORT", "PROGRESS", layout) + "PHASE", layout.columns);
}

std::string BoardRow(const UnitView& view, const BoardLayout& layout, Colour colour) {
  const std::string left = LeftColumns(view.port, ProgressText(view), layout);
  const int room = PhaseRoom(layout);
  if (view.verdict == Verdict::kRunning) {
    const std::string phase = view.phase.empty() ? "starting" : Printable(view.phase);
    return TrimRight(CutToColumns(left + CutToColumns(phase, room), layout.columns));
  }
  // The verdict word stands first in the column, so no cut reaches it
  // before the port column has narrowed as far as it goes.
  const std::string result = TrimRight(CutToColumns(ResultText(view), room));
  const bool room_left = layout.columns <= 0 || Columns(left) < std::size_t(layout.columns);
  if (colour == Colour::kNone || !room_left)
    return TrimRight(CutToColumns(left + result, layout.columns));
  const std::size_t word = std::min(result.size(), std::string(VerdictWord(view.verdict)).size());
  return CutToColumns(left, layout.columns) + VerdictColour(view.verdict) + result.substr(0, word) +
         kPlain + result.substr(word);
}

std::string PlainPhaseLine(const UnitView& view) {
  return Printable(view.port) + ": " + Printable(view.phase) + "\n";
}

std::string PlainVerdictLine(const UnitView& view) {
  return Printable(view.port) + ": " + ResultText(view) + "\n";
}

std::string SummaryText(const std::vector<UnitView>& views) {
  std::size_t complete = 0;
  for (const UnitView& v : views) complete += v.verdict == Verdict::kComplete;
  std::string text = std::to_string(complete) + " of " + std::to_string(views.size()) +
                     (views.size() == 1 ? " unit" : " units") + " complete.";
  if (complete == views.size()) return text + "\n";
  text += " Not complete:\n";
  for (const UnitView& v : views) {
    if (v.verdict == Verdict::kComplete) continue;
    text += "  " + Printable(v.port) + ": " + ResultText(v) + "\n";
  }
  return text;
}

}  // namespace station
