// Child processes on POSIX: posix_spawn with the child in a process group
// of its own, its standard input /dev/null and its output and error each a
// pipe. Every pipe is created close-on-exec, so a child started by another
// thread at the same moment inherits none of them: a pipe ends when its own
// child does. Any other descriptor above standard error is closed in the
// child as well (glibc 2.34 and later), whatever its flags.
//
// The end of a child is awaited through a pidfd (Linux 5.3 and later) in
// poll, so a wait with a limit sleeps in the kernel; where the kernel has
// none, the wait looks every few milliseconds. A child is reaped only under
// its lock, and an interrupt is sent only under that lock to a child not yet
// reaped, so a signal never reaches a process that took over a reaped
// child's number.
#include "platform/process.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "platform/posix/child_signals.h"
#include "platform/thread.h"

extern char** environ;

namespace platform {

struct ChildProcess {
  pid_t pid = -1;
  int out_fd = -1;  // read ends of the child's standard output and error
  int err_fd = -1;
  int pidfd = -1;  // -1 where the kernel has none
  std::mutex mu;
  bool reaped = false;
  ChildEnd end;
};

namespace {

// The fallback wait's step when no pidfd is at hand.
constexpr std::uint32_t kPollStepMs = 10;

// The pidfds of the children not yet released, for a signal handler that
// must pass an end-at-once on (SignalChildrenNow). A pidfd names its own
// process for good, never one that took over a reaped child's number; a
// slot's number read just before the slot was cleared and the descriptor
// closed names nothing, or another of these children, or a descriptor that
// is no pidfd, which refuses the signal.
constexpr int kChildSlots = 256;
std::atomic<int> g_child_pidfds[kChildSlots];
static_assert(std::atomic<int>::is_always_lock_free, "read inside a signal handler");

void Register(int pidfd) {
  if (pidfd < 0) return;
  for (auto& slot : g_child_pidfds) {
    int expected = 0;
    // Slots hold pidfd + 1, so that 0 means free and needs no initialiser.
    if (slot.compare_exchange_strong(expected, pidfd + 1)) return;
  }
}

void Unregister(int pidfd) {
  if (pidfd < 0) return;
  for (auto& slot : g_child_pidfds) {
    int expected = pidfd + 1;
    if (slot.compare_exchange_strong(expected, 0)) return;
  }
}

int OpenPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  const long fd = syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    // The kernel makes it close-on-exec.
    return static_cast<int>(fd);
  }
#else
  (void)pid;
#endif
  return -1;
}

int SendSignal(const ChildProcess* child, int sig) {
#ifdef SYS_pidfd_send_signal
  if (child->pidfd >= 0) {
    if (syscall(SYS_pidfd_send_signal, child->pidfd, sig, nullptr, 0) == 0) return 0;
    return errno == ESRCH ? 0 : errno;
  }
#endif
  if (kill(child->pid, sig) == 0) return 0;
  return errno == ESRCH ? 0 : errno;
}

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// Whether an environment entry sets the variable that entry names.
bool SameName(const char* entry, const std::string& addition) {
  const std::size_t eq = addition.find('=');
  return std::strncmp(entry, addition.c_str(), eq) == 0 && entry[eq] == '=';
}

// This process's environment with the additions, each replacing an entry of
// the same name. The strings stay owned by their sources.
int BuildEnvironment(const std::vector<std::string>& additions, std::vector<char*>* envp) {
  for (const std::string& a : additions)
    if (a.find('=') == std::string::npos || a.front() == '=') return EINVAL;
  for (char** e = environ; e && *e; ++e) {
    bool replaced = false;
    for (const std::string& a : additions) replaced = replaced || SameName(*e, a);
    if (!replaced) envp->push_back(*e);
  }
  for (const std::string& a : additions) envp->push_back(const_cast<char*>(a.c_str()));
  envp->push_back(nullptr);
  return 0;
}

// The spawn's file actions: /dev/null in, the pipes out, the working folder.
int SetFileActions(posix_spawn_file_actions_t* actions, int out_fd, int err_fd,
                   const std::string& cwd) {
  if (int err = posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0)) return err;
  if (int err = posix_spawn_file_actions_adddup2(actions, out_fd, 1)) return err;
  if (int err = posix_spawn_file_actions_adddup2(actions, err_fd, 2)) return err;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Descriptors that this process got without close-on-exec (from whoever
  // started it) stay here too.
  if (int err = posix_spawn_file_actions_addclosefrom_np(actions, 3)) return err;
#endif
  if (!cwd.empty()) return posix_spawn_file_actions_addchdir_np(actions, cwd.c_str());
  return 0;
}

// A group of its own; no blocked signals; the signals that this process
// ignores for its own outputs back to their default. An interrupt that this
// process was started with set to be ignored stays ignored in the child.
int SetAttributes(posix_spawnattr_t* attr) {
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  if (int err = posix_spawnattr_setpgroup(attr, 0)) return err;
  if (int err = posix_spawnattr_setsigmask(attr, &none)) return err;
  if (int err = posix_spawnattr_setsigdefault(attr, &defaults)) return err;
  return posix_spawnattr_setflags(
      attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

int Spawn(const ChildCommand& cmd, int out_fd, int err_fd, pid_t* pid) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(cmd.program.c_str()));
  for (const std::string& a : cmd.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  if (int err = BuildEnvironment(cmd.env, &envp)) return err;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (int err = posix_spawn_file_actions_init(&actions)) return err;
  int err = posix_spawnattr_init(&attr);
  if (err == 0) {
    err = SetFileActions(&actions, out_fd, err_fd, cmd.cwd);
    if (err == 0) err = SetAttributes(&attr);
    if (err == 0)
      err = posix_spawn(pid, cmd.program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
  }
  posix_spawn_file_actions_destroy(&actions);
  return err;
}

// Reaps the child if it has ended; under child->mu. True when reaped.
bool ReapLocked(ChildProcess* child, int* err) {
  *err = 0;
  if (child->reaped) return true;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(child->pid, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  child->reaped = true;
  if (r < 0) {
    *err = errno;  // reaped elsewhere (SIGCHLD ignored): how it ended is unknown
    return true;
  }
  if (WIFEXITED(status)) {
    child->end.exited = true;
    child->end.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    child->end.signal = WTERMSIG(status);
  }
  return true;
}

// Waits at most ms (kWaitForever: no limit) for the pidfd to say the child
// has ended. True when it did.
bool PollPidfd(int pidfd, std::uint32_t ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int wait_ms = -1;
    if (ms != kWaitForever) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      wait_ms = left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    pollfd p{pidfd, POLLIN, 0};
    const int r = poll(&p, 1, wait_ms);
    if (r > 0) return true;
    if (r == 0 && wait_ms != -1) return false;
    if (r < 0 && errno != EINTR) {
      // Not expected of a pidfd: let waitpid tell, at a bounded pace.
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
      return true;
    }
  }
}

}  // namespace

int ChildStart(const ChildCommand& cmd, ChildProcess** child) {
  if (!child || cmd.program.empty()) return EINVAL;
  *child = nullptr;
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0) return errno;
  if (pipe2(err, O_CLOEXEC) != 0) {
    const int e = errno;
    CloseFd(&out[0]);
    CloseFd(&out[1]);
    return e;
  }
  auto* c = new (std::nothrow) ChildProcess;
  int e = c ? Spawn(cmd, out[1], err[1], &c->pid) : ENOMEM;
  CloseFd(&out[1]);
  CloseFd(&err[1]);
  if (e != 0) {
    CloseFd(&out[0]);
    CloseFd(&err[0]);
    delete c;
    return e;
  }
  c->out_fd = out[0];
  c->err_fd = err[0];
  c->pidfd = OpenPidfd(c->pid);
  Register(c->pidfd);
  *child = c;
  return 0;
}

int ChildRead(ChildProcess* child, int stream, void* buffer, std::size_t n, std::size_t* got) {
  if (!child || !buffer || !got || (stream != 1 && stream != 2)) return EINVAL;
  *got = 0;
  const int fd = stream == 1 ? child->out_fd : child->err_fd;
  for (;;) {
    const ssize_t r = read(fd, buffer, n);
    if (r >= 0) {
      *got = static_cast<std::size_t>(r);
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

int ChildWait(ChildProcess* child, std::uint32_t timeout_ms, ChildEnd* end) {
  if (!child || !end) return EINVAL;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(child->mu);
      int err = 0;
      if (ReapLocked(child, &err)) {
        *end = child->end;
        return err;
      }
    }
    std::uint32_t left = kWaitForever;
    if (timeout_ms != kWaitForever) {
      const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
      if (spent >= timeout_ms) return ErrorCode(Failure::kStalled);
      left = timeout_ms - static_cast<std::uint32_t>(spent);
    }
    if (child->pidfd >= 0) {
      if (!PollPidfd(child->pidfd, left)) return ErrorCode(Failure::kStalled);
    } else {
      std::this_thread::sleep_for(
          std::chrono::milliseconds(left < kPollStepMs ? left : kPollStepMs));
    }
  }
}

int ChildInterrupt(ChildProcess* child, int kind) {
  if (!child || kind <= 0) return EINVAL;
  std::lock_guard<std::mutex> lock(child->mu);
  if (child->reaped) return 0;
  return SendSignal(child, kind);
}

int ChildEndNow(ChildProcess* child, int kind) { return ChildInterrupt(child, kind); }

int ChildKill(ChildProcess* child) { return ChildInterrupt(child, SIGKILL); }

int ChildResume(ChildProcess* child) { return child ? 0 : EINVAL; }

bool ChildEndedByInterrupt(const ChildEnd& end, int kind) {
  if (end.exited || end.signal == 0 || kind <= 0) return false;
  // After a hang-up the second request is a request to terminate.
  return end.signal == kind || (kind == SIGHUP && end.signal == SIGTERM);
}

void ChildRelease(ChildProcess* child) {
  if (!child) return;
  CloseFd(&child->out_fd);
  CloseFd(&child->err_fd);
  Unregister(child->pidfd);
  CloseFd(&child->pidfd);
  delete child;
}

void SignalChildrenNow(int sig) {
#ifdef SYS_pidfd_send_signal
  for (auto& slot : g_child_pidfds) {
    const int fd = slot.load() - 1;
    if (fd >= 0) syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0);
  }
#else
  (void)sig;
#endif
}

std::string ProgramFolder() {
  std::vector<char> path(256);
  for (;;) {
    const ssize_t r = readlink("/proc/self/exe", path.data(), path.size());
    if (r < 0) return "";
    if (static_cast<std::size_t>(r) < path.size()) {
      const std::string exe(path.data(), static_cast<std::size_t>(r));
      const std::size_t slash = exe.rfind('/');
      if (slash == std::string::npos) return "";
      return slash == 0 ? "/" : exe.substr(0, slash);
    }
    if (path.size() >= 65536) return "";
    path.resize(path.size() * 2);
  }
}

std::string ProgramFileName(const std::string& name) { return name; }

bool ChildPortFromEnvironment() { return true; }

}  // namespace platform
