// What the user sees while a round runs, drawn by a thread of its own: the
// units' threads only record what happened and never wait for the console,
// so a console that blocks (Ctrl+S on a terminal, a selection in a console
// window, a pipe nobody reads) holds up only the drawing, never the reading
// of a child's output.
//
// On a terminal that redraws, one table row per unit, redrawn in place at
// most 10 times a second and fitted to the terminal's width at each redraw,
// the verdicts in colour where the terminal takes it
// (platform::ConsoleCanColour); otherwise one plain line per phase change
// and per verdict. A table that does not fit the terminal's height (found at any
// redraw, so a terminal made smaller counts too) turns into plain lines for
// the rest of the round.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "station/board.h"
#include "station/tonecast_output.h"

namespace station {

class Display {
 public:
  // One unit per port name; table: draw the table, else plain lines.
  Display(const std::vector<std::string>& ports, bool table);
  ~Display();  // stops the thread if Stop was not called
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;

  // Starts the drawing thread. 0, or the platform's error code.
  int Start();

  // What happened to unit i (any thread; they never block on the console).
  void Console(std::size_t i, const ConsoleEvent& event);
  void Progress(std::size_t i, const station::Progress& progress);
  // The run has ended: verdict, why (kept only when no error came before),
  // and its length.
  void Ended(std::size_t i, Verdict verdict, const std::string& why, double seconds);

  // Draws the last state, waits for the thread to write it and ends it.
  void Stop();
  // The units as they stand.
  std::vector<UnitView> Views();

 private:
  void Run();
  // Whether a table of that many units fits the terminal's height now (an
  // unknown height counts as room enough).
  static bool TableFits(std::size_t units);
  // From the table to plain lines, starting with each unit's state. Under mu_.
  void ToPlainLines();
  void Draw(const std::vector<UnitView>& views);
  void Write(const std::string& text);

  std::mutex mu_;
  bool table_;  // under mu_: false once the table has turned into plain lines
  std::condition_variable wake_;
  std::vector<UnitView> views_;
  std::deque<std::string> lines_;  // plain lines not yet written
  bool dirty_ = false;
  bool stopping_ = false;
  std::thread thread_;
  // Drawing thread only.
  int drawn_rows_ = 0;
  Colour colour_ = Colour::kNone;  // set by Start, before the thread runs
};

}  // namespace station
