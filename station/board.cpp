#include "station/board.h"

#include <algorithm>
#include <cstdio>

namespace station {

namespace {

constexpr std::size_t kPhaseWidth = 29;
constexpr std::size_t kProgressWidth = 16;

std::string Pad(const std::string& text, std::size_t width) {
  if (text.size() >= width) return text + " ";
  return text + std::string(width - text.size(), ' ');
}

std::string TrimRight(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
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

std::size_t PortColumnWidth(const std::vector<UnitView>& views) {
  std::size_t width = 4;
  for (const UnitView& v : views) width = std::max(width, v.port.size());
  return width + 2;
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
    const std::uint64_t left_s = (view.total - view.taken) * span_ms / moved / 1000;
    std::snprintf(text, sizeof text, "%3u%% %2u:%02u left", percent, unsigned(left_s / 60),
                  unsigned(left_s % 60));
  } else {
    std::snprintf(text, sizeof text, "%3u%%", percent);
  }
  return text;
}

std::string ResultText(const UnitView& view) {
  std::string text = VerdictWord(view.verdict);
  if (view.verdict != Verdict::kComplete && view.verdict != Verdict::kRunning &&
      !view.first_error.empty())
    text += " (" + view.first_error + ")";
  return text;
}

std::string BoardHeader(std::size_t port_width) {
  return TrimRight(Pad("PORT", port_width) + Pad("PHASE", kPhaseWidth) +
                   Pad("PROGRESS", kProgressWidth) + "RESULT");
}

std::string BoardRow(const UnitView& view, std::size_t port_width) {
  const std::string phase = view.phase.empty() ? "starting" : view.phase;
  return TrimRight(Pad(view.port, port_width) + Pad(phase, kPhaseWidth) +
                   Pad(ProgressText(view), kProgressWidth) + ResultText(view));
}

std::string CutToColumns(const std::string& row, int columns) {
  if (columns <= 0) return row;
  std::string out;
  int used = 0;
  for (std::size_t i = 0; i < row.size();) {
    // One character: a lead byte and its continuation bytes.
    std::size_t next = i + 1;
    while (next < row.size() && (static_cast<unsigned char>(row[next]) & 0xC0) == 0x80) ++next;
    if (used + 1 > columns) break;
    out.append(row, i, next - i);
    ++used;
    i = next;
  }
  return out;
}

std::string PlainPhaseLine(const UnitView& view) { return view.port + ": " + view.phase + "\n"; }

std::string PlainVerdictLine(const UnitView& view) {
  return view.port + ": " + ResultText(view) + "\n";
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
    text += "  " + v.port + ": " + ResultText(v) + "\n";
  }
  return text;
}

}  // namespace station
