// Child processes with piped output: a program that runs other programs and
// reads what they print while they run.
//
// All functions return 0 for success or the platform's error code
// (platform/error.h), unless stated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/error.h"

namespace platform {

struct ChildProcess;  // opaque

struct ChildCommand {
  std::string program;                // path of the executable (UTF-8)
  std::vector<std::string> args;      // arguments after the program's name
  std::vector<std::string> env;       // "NAME=value" added to (or replacing in)
                                      // this process's environment
  std::string cwd;                    // working directory; empty: this one's
};

// Starts the child with standard input the null device and standard output
// and standard error each a pipe of its own that the caller reads. No other
// handle or descriptor of this process is inherited (so a pipe ends when its
// child ends, even while other children are started). The child runs in a
// process group of its own where the platform has them, so that a terminal's
// interrupt reaches the caller alone, which passes it on (ChildInterrupt).
int ChildStart(const ChildCommand& cmd, ChildProcess** child);

// Reads what the child wrote to standard output (stream 1) or standard error
// (stream 2): blocks until some bytes come, *got > 0, or the pipe ends,
// *got == 0. One thread per stream may read; the child's other stream and
// the other children go on meanwhile.
int ChildRead(ChildProcess* child, int stream, void* buffer, std::size_t n, std::size_t* got);

// How a child ended.
struct ChildEnd {
  bool exited = false;  // ended by itself: exit_code holds its status
  int exit_code = -1;
  int signal = 0;       // POSIX: ended by this signal (0: not)
};
// Waits until the child has ended, at most timeout_ms (kWaitForever of
// platform/thread.h waits without limit; Failure::kStalled when it runs out).
int ChildWait(ChildProcess* child, std::uint32_t timeout_ms, ChildEnd* end);

// Asks a running child to end at once, as a second interrupt of that kind
// would: POSIX, the signal (tonecast ends at once on a second interrupt,
// after releasing its port); Windows, where a console cannot give Ctrl+C
// to one process alone, TerminateProcess with Ctrl+C's exit status. A child
// that has ended is left alone.
int ChildEndNow(ChildProcess* child, int kind);
// Ends a running child outright (POSIX SIGKILL, Windows TerminateProcess):
// for one that did not end when asked.
int ChildKill(ChildProcess* child);
// Lets a started child run. ChildStart leaves it held where the platform can
// (Windows: created suspended), so that the caller can end it instead when
// an interrupt came while it was being created; elsewhere this does nothing.
int ChildResume(ChildProcess* child);

// Whether the child ended by an interrupt of that kind (as ChildInterrupt
// passes it on, or the second request that InterruptUrgentKind names):
// POSIX, by that signal; Windows, with Ctrl+C's exit status.
bool ChildEndedByInterrupt(const ChildEnd& end, int kind);

// Passes an interrupt on to a running child, as the user's own would reach
// it: the caller's interrupt kind where the platform has kinds (POSIX: the
// signal number the caller received, SIGINT, SIGTERM or SIGHUP), Ctrl+C's
// event on Windows. A child that has ended is left alone.
int ChildInterrupt(ChildProcess* child, int kind);

// Releases the handle; a child still running is left to run.
void ChildRelease(ChildProcess* child);

// The folder of the running program's executable (UTF-8), "" when unknown.
std::string ProgramFolder();
// The file name of the program called name on this platform: "tonecast",
// or "tonecast.exe" on Windows.
std::string ProgramFileName(const std::string& name);

// Whether a child that opens port "COM<n>" (tonecast -P n) takes the device
// that its environment variable COM<n> names, when that is set: true on
// POSIX, so that any device path can be handed to a child through ChildCommand's
// env; false on Windows, where "COM<n>" is always the system's port of that
// number.
bool ChildPortFromEnvironment();

}  // namespace platform
