// Running the built programs for the benchmark: spawn with extra environment,
// a working directory and optional pipes, then wait for the end with a
// bound, taking the wall time (spawn to exit) and the CPU time the kernel
// accounted to the child (wait4 rusage, user + system).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct SpawnOptions {
  std::vector<std::string> argv;     // argv[0] is a path
  std::vector<std::string> env;      // extra or overriding "NAME=value" entries
  std::string cwd;                   // empty: inherit
  bool stdin_pipe = false;           // else /dev/null
  bool stdout_pipe = false;          // else stdout_file, or /dev/null
  std::string stdout_file;
};

struct Child {
  pid_t pid = -1;
  int pidfd = -1;      // readable once the child has exited (-1: not available)
  int stdin_fd = -1;   // write end, when stdin_pipe
  int stdout_fd = -1;  // read end (non-blocking), when stdout_pipe
  std::int64_t start_ns = 0;
};

struct ChildEnd {
  int exit_code = -1;  // -1 when ended by a signal
  bool timed_out = false;
  double wall_s = 0;   // from spawn until the exit was seen
  double cpu_s = 0;    // user + system
  std::int64_t exit_ns = 0;
};

// Monotonic clock in nanoseconds.
std::int64_t NowNs();

// 0, or an errno value.
int Spawn(const SpawnOptions& options, Child* child);

// Waits until the child has exited, at most timeout_ms (then kills it), and
// reaps it. Closes the child's pipes and pidfd.
void WaitChild(Child* child, int timeout_ms, ChildEnd* end);

// Appends what the pipe holds to *acc until *acc contains `text`, the pipe
// reaches its end, or timeout_ms passes. True when the text was seen.
bool ReadUntil(int fd, std::string* acc, const std::string& text, int timeout_ms);

// Writes a whole file; false on failure.
bool WriteWholeFile(const std::string& path, const void* data, std::size_t size);
// The file's content, "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace bench
