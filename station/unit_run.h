// One unit's run: its folder in the logs folder, one tonecast child that
// runs there, its output read as it comes (every byte of standard output to
// the port's console file; the lines tonecast writes for the station on
// standard error, its steps, errors, progress and verdict, to the display
// and the row), and the report row at the end.
#pragma once

#include <cstdint>
#include <string>

#include "station/board.h"
#include "station/children.h"
#include "station/display.h"
#include "station/port_plan.h"
#include "station/report.h"

namespace station {

// What every unit of a round shares.
struct RunSettings {
  std::string tonecast;    // the program to run
  std::string image_path;  // absolute: the child works in a folder of its own
  std::string image_name;  // for the report
  std::string image_sha256;
  std::uint32_t image_size = 0;
  int round = 1;
  std::string host;
  int flash = 8;     // Mbit
  std::string logs;  // the logs folder
};

// The file in a port's folder that collects tonecast's console text: every
// run appended after a header line, with a closing line.
constexpr char kConsoleFileName[] = "console.txt";

struct UnitOutcome {
  Verdict verdict = Verdict::kNoVerdict;
  std::string first_error;
  double seconds = 0;
};

// Runs unit `index` of the display to its end on the calling thread (it
// starts one more thread for the child's standard error). Nothing here waits
// on the console.
UnitOutcome RunUnit(const RunSettings& settings, const UnitPort& port, std::size_t index,
                    Display* display, Children* children, Report* report);

}  // namespace station
