// What a tonecast child prints, read as it arrives: the console steps of its
// standard output (phases, errors, the verdict), and the progress lines
// that TONECAST_PROGRESS=plain makes it write to standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace station {

struct ConsoleEvent {
  enum Kind { kPhase, kError, kComplete, kNg };
  Kind kind = kPhase;
  // kPhase: the step as tonecast prints it ("Download file#0...");
  // kError: the text after "Error : " ("No ACK. ").
  std::string text;
};

// Finds tonecast's console steps in its standard output, however the bytes
// are split between reads. The steps are the texts of the transfer dialogue
// ("Flash inithalizing...", "Prepare downloading...", ...), "Error : " lines
// and the verdict lines.
class ConsoleReader {
 public:
  // Takes the next bytes; appends the events they complete.
  void Feed(const char* data, std::size_t n, std::vector<ConsoleEvent>* events);
  // The end of the output: an error line without its line end still counts.
  void Finish(std::vector<ConsoleEvent>* events);

 private:
  // Finds the earliest step in pending_; false when none is complete yet.
  bool TakeOne(std::vector<ConsoleEvent>* events);
  void Drop(std::size_t count);

  std::string pending_;     // bytes not yet matched
  bool line_start_ = true;  // pending_ begins at the start of a line
};

// Progress lines "progress TAKEN TOTAL\n" (decimal byte counts).
struct Progress {
  std::uint64_t taken = 0;
  std::uint64_t total = 0;
};

// Splits standard error into lines: progress lines become Progress values,
// any other line is kept as it came (without its line end). A line longer
// than kMaxLine is cut there.
class ProgressReader {
 public:
  static constexpr std::size_t kMaxLine = 512;
  void Feed(const char* data, std::size_t n, std::vector<Progress>* progress,
            std::vector<std::string>* other);
  // The end of the stream: a last line without its line end.
  void Finish(std::vector<Progress>* progress, std::vector<std::string>* other);

 private:
  void TakeLine(std::vector<Progress>* progress, std::vector<std::string>* other);
  std::string line_;
};

// Parses "progress TAKEN TOTAL" (no line end); false for anything else.
bool ParseProgressLine(const std::string& line, Progress* progress);

}  // namespace station
