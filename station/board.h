// The texts the station shows about its units: the table's rows (one per
// unit: port, phase, progress, result), the plain lines written instead of
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

// The table's first line, and a unit's row; port_width is the width of the
// port column (see PortColumnWidth).
std::string BoardHeader(std::size_t port_width);
std::string BoardRow(const UnitView& view, std::size_t port_width);
std::size_t PortColumnWidth(const std::vector<UnitView>& views);
// "42%  0:14 left" while the image goes out; "" before and after.
std::string ProgressText(const UnitView& view);
// Cuts a row to fit in columns (0: no limit), never in the middle of a
// multi-byte character.
std::string CutToColumns(const std::string& row, int columns);

// Plain lines, each with its line end: "COM3: Download file#0...",
// "COM3: complete", "COM4: NG (No ACK. )".
std::string PlainPhaseLine(const UnitView& view);
std::string PlainVerdictLine(const UnitView& view);
// The result column and the plain line's text: "complete", "NG (No ACK. )".
std::string ResultText(const UnitView& view);

// The end of a round: how many units completed, and each one that did not,
// with why.
std::string SummaryText(const std::vector<UnitView>& views);

}  // namespace station
