// The texts the station shows about its units: the table's rows (one per
// unit: port, progress, phase or verdict), the plain lines written instead of
// the table when the output is not a terminal, and the round's summary.
// Pure text: no console here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace station {

enum class Verdict {
  kRunning,    // no verdict yet
  kComplete,   // "VP file transfer complete."
  kNg,         // "VP file transfer NG!"
  kNoVerdict,  // tonecast ended without one, or was not started
};

// "complete", "NG", "no verdict" ("" while running): the report's words.
const char* VerdictWord(Verdict verdict);

// What the station knows of one unit's run.
struct UnitView {
  std::string port;   // the port's name as shown (COM3, ttyUSB0)
  std::string phase;  // tonecast's console step ("Download file#0..."), "" before the first
  // The image's progress: bytes the port has taken of total, and the
  // station's clock (ms) at the first and the latest count.
  std::uint64_t taken = 0;
  std::uint64_t total = 0;
  std::uint64_t first_taken = 0;
  std::uint32_t first_ms = 0;
  std::uint32_t last_ms = 0;
  Verdict verdict = Verdict::kRunning;
  std::string first_error;  // the first "Error : " text, as tonecast printed it
  double seconds = 0;       // the run's length, once it has ended
};

// How the table's columns share the terminal's width: the port column, then
// the progress column, then the phase column, which takes what is left and
// is the only one cut. The port column narrows before anything is cut (its
// names shortened in the middle), so a row shows its percent, time left and
// verdict on any terminal as wide as a short port name and those.
struct BoardLayout {
  std::size_t port = 4;  // the port column's width, without the gap after it
  int columns = 0;       // the width the rows must fit in (0: no limit)
};
BoardLayout LayoutFor(const std::vector<UnitView>& views, int columns);

// Colours for the verdict in the phase column (complete green, NG red, no
// verdict yellow): only where the caller knows the terminal shows them.
enum class Colour { kNone, kTerminal };

// The table's first line, and a unit's row (without line ends). The phase
// column holds the current step while the unit runs and its verdict, with
// why, once it has ended. Control characters in names show as '?'.
std::string BoardHeader(const BoardLayout& layout);
std::string BoardRow(const UnitView& view, const BoardLayout& layout, Colour colour);
// "42%  0:14 left" while the image goes out; "" before and after.
std::string ProgressText(const UnitView& view);

// Plain lines, each with its line end: "COM3: Download file#0...",
// "COM3: complete", "COM4: NG (No ACK.)".
std::string PlainPhaseLine(const UnitView& view);
std::string PlainVerdictLine(const UnitView& view);
// A finished row's phase column and the plain line's text: "complete",
// "NG (No ACK.)" (tonecast's error text without its trailing blank).
std::string ResultText(const UnitView& view);

// The end of a round: how many units completed, and each one that did not,
// with why.
std::string SummaryText(const std::vector<UnitView>& views);

}  // namespace station
