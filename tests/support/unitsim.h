// The simulated telephone unit, run from a test: starts the built `unitsim`
// in a directory with the given flags, hands out the path of its line, and
// stops it at the end with its summary and transcript.
//
//   testsupport::TempDir dir;
//   testsupport::UnitSim unit({"--store", dir.file("stored.vp")}, dir.path());
//   ProcessOptions o; o.cwd = dir.path(); o.env = {unit.Env(3)};
//   RunProcess({BinPath("tonecast"), "-P", "3", "image.vp"}, o);
//   std::string summary = unit.Stop();
//   std::string transcript = unit.Transcript();
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class Process;

class UnitSim {
 public:
  // Starts unitsim (the built one unless `program` names another) in `dir`
  // with `flags`. Unless the flags name one, a transcript is written to
  // <dir>/unitsim.transcript. Throws std::runtime_error when the line path
  // does not appear within 10 s.
  UnitSim(std::vector<std::string> flags, std::string dir, std::string program = "");
  ~UnitSim();  // stops the unit if still running
  UnitSim(const UnitSim&) = delete;
  UnitSim& operator=(const UnitSim&) = delete;

  // The slave path of the unit's pseudo-terminal (first output line).
  const std::string& path() const { return path_; }
  // "COM<n>=<path>", the environment entry through which the programs open
  // port COM<n> on this unit.
  std::string Env(int com) const;
  // Path of the transcript file, and its content so far.
  const std::string& transcript_path() const { return transcript_; }
  std::string Transcript() const;
  // Waits until the transcript contains `text`; false after timeout_ms.
  bool WaitForTranscript(const std::string& text, int timeout_ms) const;

  // Stops the unit with SIGTERM and returns its standard output after the
  // path line (the one-line summary). Repeated calls return the same text.
  std::string Stop();
  // Exit status of the stopped unit (-1 until stopped, or when killed).
  int exit_code() const { return exit_code_; }
  // What the stopped unit wrote to standard error (sanitizer reports land
  // here); empty for a clean run.
  const std::string& error_output() const { return errors_; }

 private:
  std::unique_ptr<Process> process_;
  std::string path_;
  std::string transcript_;
  std::string summary_;
  std::string errors_;
  int exit_code_ = -1;
  bool stopped_ = false;
};

}  // namespace testsupport
