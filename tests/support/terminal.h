// A real terminal emulator for the screen tests: a detached tmux session of
// its own, whose pane runs a shell command line. The final screen, resizes
// and typed keys are the terminal's own, including re-wrapping its lines
// when it narrows.
#pragma once

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace testsupport {

// Whether tmux is there (the suites skip the screen tests without it).
bool HaveTmux();

class Terminal {
 public:
  // A pane columns wide and 30 rows high, running line with options (its
  // folder, environment) in dir; dir also holds tmux's socket and the
  // line's exit status.
  Terminal(const std::string& dir, const ProcessOptions& options, int columns,
           const std::string& line);
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  void Keys(const std::string& key);
  void Resize(int columns);
  // The command line's exit status once it has ended; -1 after timeout_ms.
  int WaitForEnd(int timeout_ms);
  // The screen and what scrolled off it, as lines the program wrote
  // (wrapped rows joined), in the form of Lines().
  std::string Screen();
  // The rows shown now, as the terminal holds them; with_colours: with the
  // sequences of their colours and other attributes.
  std::vector<std::string> Rows(bool with_colours = false);
  // Text as a terminal keeps it: no blanks at the ends of lines, no blank
  // lines around it.
  static std::string Lines(const std::string& text);

 private:
  ProcessResult Tmux(std::vector<std::string> args);
  std::string dir_;
  ProcessOptions options_;
};

}  // namespace testsupport
