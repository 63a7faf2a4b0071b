#include "station/unit_run.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "station/paths.h"
#include "station/tonecast_output.h"

namespace station {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadSize = 4096;

// The port's console file, shared by the unit's two reading threads.
class ConsoleFile {
 public:
  ~ConsoleFile() { Close(); }
  int Open(const std::string& path) {
    return platform::FileOpenAppendExclusive(path.c_str(), &file_);
  }
  // A failed write (a full disk) loses the text, never the run.
  void Write(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    if (file_) platform::FileAppend(file_, text.data(), text.size());
  }
  void Close() {
    std::lock_guard<std::mutex> lock(mu_);
    if (file_) platform::FileClose(file_);
    file_ = nullptr;
  }

 private:
  std::mutex mu_;
  platform::File* file_ = nullptr;
};

std::string Coded(const std::string& text, int code) {
  return text + " (code:" + std::to_string(code) + ")";
}

// Makes the port's folder in the logs folder unless it is there. What
// counts is a folder at the end.
bool MakeFolder(const std::string& folder, std::error_code* ec) {
  std::filesystem::create_directory(PathOf(folder), *ec);
  std::error_code is_ec;
  if (std::filesystem::is_directory(PathOf(folder), is_ec)) return true;
  if (!*ec) *ec = is_ec ? is_ec : std::make_error_code(std::errc::not_a_directory);
  return false;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

platform::ChildCommand CommandFor(const RunSettings& s, const UnitPort& port,
                                  const std::string& folder) {
  platform::ChildCommand cmd;
  cmd.program = s.tonecast;
  cmd.args = {"-P", std::to_string(port.com), s.flash == 16 ? "-16M" : "-8M", s.image_path};
  cmd.env = {"TONECAST_PROGRESS=plain"};
  if (!port.env.empty()) cmd.env.push_back(port.env);
  cmd.cwd = folder;
  return cmd;
}

std::string CommandText(const platform::ChildCommand& cmd) {
  std::string text = "tonecast";
  for (const std::string& a : cmd.args) text += " " + a;
  return text;
}

// Reads the child's standard error: the station's lines to the display
// and *told, anything else to the console file.
void ReadErrors(platform::ChildProcess* child, std::size_t index, Display* display,
                ConsoleFile* console, ChannelOutcome* told) {
  ChannelReader reader;
  std::vector<ChannelLine> lines;
  char buffer[kReadSize];
  for (;;) {
    std::size_t got = 0;
    const bool end = platform::ChildRead(child, 2, buffer, sizeof buffer, &got) != 0 || got == 0;
    if (end) {
      reader.Finish(&lines);
    } else {
      reader.Feed(buffer, got, &lines);
    }
    for (const ChannelLine& l : lines) {
      told->Take(l);
      switch (l.kind) {
        case ChannelLine::kProgress:
          display->Progress(index, l.progress);
          break;
        case ChannelLine::kStep:
          display->Console(index, ConsoleEvent{ConsoleEvent::kPhase, l.text});
          break;
        case ChannelLine::kError:
          display->Console(index, ConsoleEvent{ConsoleEvent::kError, l.text});
          break;
        case ChannelLine::kOther:
          console->Write("[standard error] " + l.text + "\n");
          break;
        default:
          break;
      }
    }
    lines.clear();
    if (end) return;
  }
}

// The thread that reads a child's standard error, made before the child is
// started: a child whose pipe nobody reads blocks once the pipe's buffer is
// full (a few kilobytes on some systems), and tonecast's progress writer,
// then tonecast, with it. The thread waits for the child, or for none.
class ErrorReader {
 public:
  ErrorReader(std::size_t index, Display* display, ConsoleFile* console)
      : index_(index), display_(display), console_(console) {}
  ~ErrorReader() {
    Read(nullptr);  // no effect once a child was handed over
    Join();
  }
  // 0, or the platform's error code.
  int Start() {
    try {
      thread_ = std::thread(&ErrorReader::Run, this);
    } catch (const std::system_error& e) {
      return e.code().value() != 0 ? e.code().value() : 1;
    }
    return 0;
  }
  // The child to read (null: none was started); the first call counts.
  void Read(platform::ChildProcess* child) {
    std::lock_guard<std::mutex> lock(mu_);
    if (given_) return;
    child_ = child;
    given_ = true;
    wake_.notify_one();
  }
  // Waits until the child's standard error has ended. Read must have come.
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  // What the child told; after Join.
  const ChannelOutcome& told() const { return told_; }

 private:
  void Run() {
    platform::ChildProcess* child = nullptr;
    {
      std::unique_lock<std::mutex> lock(mu_);
      wake_.wait(lock, [this] { return given_; });
      child = child_;
    }
    if (child) ReadErrors(child, index_, display_, console_, &told_);
  }

  const std::size_t index_;
  Display* const display_;
  ConsoleFile* const console_;
  std::mutex mu_;
  std::condition_variable wake_;
  platform::ChildProcess* child_ = nullptr;
  bool given_ = false;
  std::thread thread_;
  ChannelOutcome told_;  // the reading thread's until Join
};

// Copies the child's standard output to the console file, to its end. The
// text echoes the user's own (the image's path): it is never searched.
void CopyConsole(platform::ChildProcess* child, ConsoleFile* console) {
  char buffer[kReadSize];
  for (;;) {
    std::size_t got = 0;
    if (platform::ChildRead(child, 1, buffer, sizeof buffer, &got) != 0 || got == 0) return;
    console->Write(std::string(buffer, got));
  }
}

}  // namespace

UnitOutcome RunUnit(const RunSettings& settings, const UnitPort& port, std::size_t index,
                    Display* display, Children* children, Report* report) {
  UnitOutcome outcome;
  ReportRow row;
  row.start = LocalTimeText();
  row.port = port.label;
  row.device = port.device;
  row.round = settings.round;
  row.image = settings.image_name;
  row.image_sha256 = settings.image_sha256;
  row.host = settings.host;
  row.size = settings.image_size;
  row.flash = settings.flash;
  const auto start = Clock::now();

  // Absolute: the child works there, and is handed it as its working folder.
  const std::string folder = AbsoluteText(TextOf(PathOf(settings.logs) / PathOf(port.folder)));
  std::error_code ec;
  ConsoleFile console;
  ErrorReader errors(index, display, &console);
  platform::ChildProcess* child = nullptr;
  int err = 0;
  if (!MakeFolder(folder, &ec)) {
    outcome.first_error = Coded("Cannot make the folder " + folder + ".", ec.value());
  } else if (!port.env.empty() && !std::filesystem::exists(PathOf(port.device), ec)) {
    // A device path that is not there (an adapter unplugged between rounds):
    // tonecast would only name the number it was handed.
    outcome.first_error = "No such device: " + port.device;
  } else if ((err = console.Open(folder + "/" + kConsoleFileName)) != 0) {
    outcome.first_error = Coded("Cannot open " + folder + "/" + kConsoleFileName + ".", err);
  } else if ((err = errors.Start()) != 0) {
    // Its standard output is read on this thread; without a reader for
    // standard error the child is not started.
    outcome.first_error = Coded("Cannot start a thread to read tonecast's output.", err);
  } else {
    const platform::ChildCommand cmd = CommandFor(settings, port, folder);
    console.Write("==== " + row.start + " " + CommandText(cmd) + " on " + port.device + " ====\n");
    err = children->Start(cmd, &child);
    if (platform::ErrorIs(err, platform::Failure::kCancelled)) {
      outcome.first_error = "Interrupted before it started.";
    } else if (err != 0) {
      outcome.first_error = Coded("Cannot start " + settings.tonecast + ".", err);
    }
  }

  errors.Read(child);
  std::string version;
  long long run_ms = -1;
  if (child) {
    CopyConsole(child, &console);
    errors.Join();
    // Standard output ends when the process does (tonecast hands it to no
    // other process), so this wait is a short one.
    platform::ChildEnd end;
    platform::ChildWait(child, platform::kWaitForever, &end);
    children->Forget(child);
    platform::ChildRelease(child);
    ChildEnding ending;
    ending.exited = end.exited;
    ending.exit_code = end.exit_code;
    ending.signal = end.signal;
    ending.by_interrupt = platform::ChildEndedByInterrupt(end, children->passed_kind());
    outcome.verdict = JudgeRun(errors.told(), ending, &outcome.first_error);
    version = errors.told().version;
    if (outcome.verdict != Verdict::kNoVerdict) run_ms = errors.told().run_ms;
  }
  // The run's own length as tonecast measured it; the station's clock
  // (which also counts any time the station itself was stopped) only for
  // a run that did not say.
  outcome.seconds = run_ms >= 0 ? double(run_ms) / 1000.0 : SecondsSince(start);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", outcome.seconds);
  console.Write(std::string("==== ") + VerdictWord(outcome.verdict) + ", " + seconds + " s ====\n");
  console.Close();

  row.verdict = VerdictWord(outcome.verdict);
  row.error = TrimEnd(outcome.first_error);
  row.seconds = outcome.seconds;
  row.tonecast_version = version;
  report->Append(row);  // a row that cannot be written is counted there
  display->Ended(index, outcome.verdict, outcome.first_error, outcome.seconds);
  return outcome;
}

}  // namespace station
