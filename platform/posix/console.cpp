// The console edge on POSIX: standard descriptors, SIGPIPE and SIGXFSZ, and
// SIGINT, SIGTERM and SIGHUP.
//
// The signal handler does only what is safe there: the first signal is
// written to a pipe that a watcher thread reads, and that thread calls the
// program's routine. A second signal ends the process from the handler
// itself, after clearing the guarded port's exclusive flag (an ioctl), so
// that the next program can open the port even when this one is stuck; a
// repeated SIGHUP does not count as that second request.
#include "platform/console.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/posix/child_signals.h"
#include "platform/posix/serial_descriptor.h"

namespace platform {

namespace {

// SIGQUIT (Ctrl+\\) asks for an end at once, with no clean-up: it is handled
// only to release the port first.
constexpr int kQuitSignal = SIGQUIT;
constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP, kQuitSignal};

std::atomic<int> g_received{0};      // the first interrupt's signal number
std::atomic<int> g_guard_fd{-1};     // the guarded port's descriptor
std::atomic<int> g_urgent{0};        // the held end-at-once request's signal
std::atomic<bool> g_hold_urgent{false};
std::atomic<InterruptRoutine> g_urgent_routine{nullptr};
// Bytes through the pipe: a first interrupt is its signal number; a held
// end at once has this bit added.
constexpr unsigned char kUrgentBit = 0x80;
// How long the process may take to end after a held end at once.
constexpr int kUrgentLimitSeconds = 10;
int g_pipe[2] = {-1, -1};            // handler -> watcher
InterruptRoutine g_routine = nullptr;

static_assert(std::atomic<int>::is_always_lock_free, "used inside a signal handler");

[[noreturn]] void EndBySignal(int sig) {
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  _exit(128 + sig);  // not reached for the signals handled here
}

// Ends the process at once by sig, leaving the guarded port free for the
// next program (its lock goes with the descriptor, but on a
// pseudo-terminal the exclusive flag would outlive it), and passes the same
// end-at-once on to the children it runs, which would otherwise go on
// unwatched.
[[noreturn]] void ReleasePortAndEnd(int sig) {
  const int fd = g_guard_fd.load();
  if (fd >= 0) ioctl(fd, TIOCNXCL);
  SignalChildrenNow(sig);
  EndBySignal(sig);
}

// Hands a held end at once to the watcher; false when it is not held (or
// was already handed over): then the handler ends the process itself.
bool HoldUrgent(int sig) {
  if (!g_hold_urgent.load()) return false;
  int expected = 0;
  if (!g_urgent.compare_exchange_strong(expected, sig)) return false;
  const unsigned char byte = static_cast<unsigned char>(sig | kUrgentBit);
  while (write(g_pipe[1], &byte, 1) < 0 && errno == EINTR) {
  }
  return true;
}

void OnSignal(int sig) {
  const int saved = errno;
  if (sig == kQuitSignal) {
    // Counts as the first interrupt as well, so that the program knows one came.
    int none = 0;
    g_received.compare_exchange_strong(none, sig);
    if (HoldUrgent(sig)) {
      errno = saved;
      return;
    }
    ReleasePortAndEnd(sig);
  }
  int expected = 0;
  if (g_received.compare_exchange_strong(expected, sig)) {
    const unsigned char byte = static_cast<unsigned char>(sig);
    while (write(g_pipe[1], &byte, 1) < 0 && errno == EINTR) {
    }
    errno = saved;
    return;
  }
  // A terminal that closes often hangs up twice (the kernel and the shell
  // both send SIGHUP): only a second request of the user's ends at once.
  if (sig == SIGHUP) {
    errno = saved;
    return;
  }
  // A second interrupt: the clean-up is taking too long for the user.
  if (HoldUrgent(sig)) {
    errno = saved;
    return;
  }
  ReleasePortAndEnd(sig);
}

void Watch() {
  bool routine_called = false;
  for (;;) {
    unsigned char byte = 0;
    const ssize_t r = read(g_pipe[0], &byte, 1);
    if (r < 0 && errno == EINTR) continue;
    if (r != 1) return;  // the pipe failed: no routine can be called
    if (!routine_called) {
      routine_called = true;
      g_routine();
    }
    if (byte & kUrgentBit) {
      if (InterruptRoutine urgent = g_urgent_routine.load()) urgent();
      // The program ends by InterruptExit; one that cannot is ended here.
      std::this_thread::sleep_for(std::chrono::seconds(kUrgentLimitSeconds));
      ReleasePortAndEnd(g_urgent.load());
    }
  }
}

}  // namespace

void ConsoleGuardStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one; read-write so that it serves
    // as input (at its end at once) and as output (that goes nowhere).
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

void ConsoleSurviveBrokenOutputs() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

bool ConsoleCanRedraw(ConsoleStream stream) {
  if (isatty(int(stream)) != 1) return false;
  const char* term = std::getenv("TERM");
  return term && *term && std::strcmp(term, "dumb") != 0;
}

bool ConsoleCanColour(ConsoleStream stream) {
  const char* no_colour = std::getenv("NO_COLOR");
  return ConsoleCanRedraw(stream) && !(no_colour && *no_colour);
}

bool ConsoleStreamsShareTerminal() {
  if (isatty(1) != 1 || isatty(2) != 1) return false;
  struct stat out {}, err {};
  if (fstat(1, &out) != 0 || fstat(2, &err) != 0) return false;
  return out.st_rdev == err.st_rdev;
}

int ConsoleColumns(ConsoleStream stream) {
  winsize size{};
  if (ioctl(int(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

int ConsoleRows(ConsoleStream stream) {
  winsize size{};
  if (ioctl(int(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_row;
}

int ConsoleWrite(ConsoleStream stream, const void* data, std::size_t n) {
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t r = write(int(stream), p, n);
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += r;
    n -= std::size_t(r);
  }
  return 0;
}

int ConsoleReadByte(int* byte) {
  if (!byte) return EINVAL;
  unsigned char c = 0;
  for (;;) {
    const ssize_t r = read(0, &c, 1);
    if (r == 1) {
      *byte = c;
      return 0;
    }
    if (r == 0) {
      *byte = -1;
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

int InterruptWatch(InterruptRoutine routine) {
  if (!routine) return EINVAL;
  if (g_routine) return EBUSY;  // one watcher per process
  if (pipe2(g_pipe, O_CLOEXEC) != 0) return errno;
  g_routine = routine;
  try {
    std::thread(Watch).detach();
  } catch (...) {
    close(g_pipe[0]);
    close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
    g_routine = nullptr;
    return EAGAIN;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : kHandledSignals) sigaddset(&action.sa_mask, sig);
  action.sa_flags = SA_RESTART;
  for (int sig : kHandledSignals) {
    // A signal that the caller set to be ignored stays ignored: nohup's
    // SIGHUP, or SIGINT of a command that a script started in the
    // background.
    struct sigaction inherited {};
    if (sigaction(sig, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
    if (sigaction(sig, &action, nullptr) != 0) return errno;
  }
  return 0;
}

int InterruptHoldUrgent(InterruptRoutine routine) {
  if (!routine || !g_routine) return EINVAL;
  g_urgent_routine.store(routine);
  g_hold_urgent.store(true);
  return 0;
}

int InterruptUrgentReceived() { return g_urgent.load(); }

bool InterruptLeavesLittleTime() { return false; }

void ConsoleDiscardInput() {
  if (isatty(0) == 1) tcflush(0, TCIFLUSH);
}

void InterruptGuardPort(SerialPort* port) {
  g_guard_fd.store(port ? SerialDescriptor(port) : -1);
}

bool InterruptReceived() { return g_received.load() != 0; }

int InterruptKind() { return g_received.load(); }

int InterruptUrgentKind(int kind) { return kind == SIGHUP ? SIGTERM : kind; }

void InterruptExit() {
  const int urgent = g_urgent.load();
  const int sig = urgent != 0 ? urgent : g_received.load();
  if (sig != 0) EndBySignal(sig);
}

}  // namespace platform
