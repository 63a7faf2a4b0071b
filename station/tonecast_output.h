// What a tonecast child tells the station, read as it arrives: the lines
// that TONECAST_PROGRESS=plain makes it write to standard error (its
// version, each step, each error, the progress of the image, the verdict).
// Its standard output, which echoes the user's own texts (the image's path),
// is kept for the technician and never searched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "station/board.h"

namespace station {

struct ConsoleEvent {
  enum Kind { kPhase, kError, kComplete, kNg };
  Kind kind = kPhase;
  // kPhase: the step as tonecast prints it ("Download file#0...");
  // kError: the text after "Error : " ("No ACK. ").
  std::string text;
};

// Progress lines "progress TAKEN TOTAL\n" (decimal byte counts).
struct Progress {
  std::uint64_t taken = 0;
  std::uint64_t total = 0;
};

// One line of the channel, in the order they came.
struct ChannelLine {
  enum Kind { kProgress, kStep, kError, kVerdict, kVersion, kTime, kOther };
  Kind kind = kOther;
  std::string text;   // kStep, kError, kVersion: the text after the word;
                      // kVerdict: "complete" or "NG"; kOther: the line
  Progress progress;  // kProgress
};

// Splits standard error into channel lines; any line that is none of them
// is kOther, kept as it came (without its line end). A line longer than
// kMaxLine is cut there.
class ChannelReader {
 public:
  static constexpr std::size_t kMaxLine = 512;
  void Feed(const char* data, std::size_t n, std::vector<ChannelLine>* lines);
  // The end of the stream: a last line without its line end.
  void Finish(std::vector<ChannelLine>* lines);

 private:
  void TakeLine(std::vector<ChannelLine>* lines);
  std::string line_;
};

// What the channel told of one run.
struct ChannelOutcome {
  bool has_verdict = false;
  bool complete = false;
  std::string first_error;  // as tonecast printed it, "" for none
  std::string version;      // tonecast's version, "" when it said none
  long long run_ms = -1;    // the run's own length, -1 when it said none
  void Take(const ChannelLine& line);
};

// How a child ended, as the station sees it.
struct ChildEnding {
  bool exited = false;
  int exit_code = -1;
  int signal = 0;             // POSIX: ended by this signal
  bool by_interrupt = false;  // ended by an interrupt the station passed on
};

// The exit status of a tonecast run that reached its verdict.
constexpr int kVerdictExitStatus = 1;

// The row's verdict and its error text: the channel's verdict counts only
// when tonecast then ended as a run with a verdict does (exit status 1, or
// by the interrupt the station passed on, which tonecast ends by after its
// verdict). Any other end is "no verdict", with why. Error texts lose
// their trailing blanks.
Verdict JudgeRun(const ChannelOutcome& told, const ChildEnding& end, std::string* error);

// Text without the blanks at its end.
std::string TrimEnd(const std::string& text);

// Parses "progress TAKEN TOTAL" (no line end); false for anything else.
bool ParseProgressLine(const std::string& line, Progress* progress);

}  // namespace station
