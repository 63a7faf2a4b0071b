// Test helpers: temporary working directories and running the built
// programs as a user would, with their console output and exit status.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// Path of a built program in the build's bin directory.
std::string BinPath(const std::string& name);

// A fresh directory under $TMPDIR (or /tmp), removed with its content.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);  // "" when missing
bool FileExists(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

struct ProcessOptions {
  std::string cwd;                 // empty: inherit
  std::vector<std::string> env;    // extra "NAME=value" entries
  std::string stdin_data;          // fed to standard input, then closed
  bool stdin_open = false;         // keep standard input open (a pipe) until
                                   // CloseStdin or the end
  int timeout_ms = 120000;         // killed (SIGKILL) after this
};

struct ProcessResult {
  int exit_code = -1;     // -1 when killed by a signal
  int signal = 0;
  bool timed_out = false;
  std::string out;        // standard output
  std::string err;        // standard error
  double wall_s = 0;
  double cpu_s = 0;       // user + system time of the child
};

// Runs argv[0] (a path) to its end.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const ProcessOptions& options = {});

// A program running in the background, its output collected by a thread.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const ProcessOptions& options = {});
  ~Process();  // kills and reaps a process still running
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  // Writes to its standard input (requires stdin_open).
  void WriteStdin(const std::string& data);
  void CloseStdin();
  // Output so far.
  std::string Output();
  // Waits until the output contains text; false after timeout_ms.
  bool WaitForOutput(const std::string& text, int timeout_ms);
  // Sends a signal.
  void Signal(int sig);
  // Waits for the end; kills it after timeout_ms.
  ProcessResult Wait(int timeout_ms = 120000);

 private:
  struct Impl;
  Impl* impl_;
  pid_t pid_ = -1;
};

}  // namespace testsupport
