// vmprobe: the guest's measuring tool for the virtual-machine tests. Reads
// the modem lines of a port without opening it, times a program's end after
// its device went away, and runs a program as an unprivileged user.
//
//   vmprobe lines DEV [PID]       "DTR=1 RTS=0": a ttyS port from
//                                 /proc/tty/driver/serial, any other device
//                                 through PID's own descriptor (pidfd_getfd)
//   vmprobe reopen DEV            opens DEV a second time, then the same
//   vmprobe gone PATH -- CMD...   runs CMD; when PATH disappears, times how
//                                 long CMD lives on and the CPU it uses then
//   vmprobe run [UID] -- CMD...   runs CMD with SIGINT at its default, as
//                                 user and group UID (no groups) when given
//
// Every result is one line "@@ key=value ...", read by the host.
#include <dirent.h>
#include <grp.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::int64_t NowMicros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void SleepMicros(long us) {
  timespec ts{us / 1000000, (us % 1000000) * 1000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// "ttyS1" for "/dev/ttyS1"; empty for any other device.
std::string UartName(const char* dev) {
  const char* base = std::strrchr(dev, '/');
  base = base ? base + 1 : dev;
  return std::strncmp(base, "ttyS", 4) == 0 ? std::string(base) : std::string();
}

// Modem lines of a UART as the serial core reports them, without opening
// the port: the line "<n>: uart:... RTS|DTR" of /proc/tty/driver/serial.
// Returns TIOCM_* bits, or -1 when the port is not listed.
int UartLines(const std::string& uart) {
  const std::string prefix = uart.substr(4) + ":";
  const int fd = open("/proc/tty/driver/serial", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char buf[4096];
  std::size_t len = 0;
  for (;;) {
    const ssize_t r = read(fd, buf + len, sizeof buf - 1 - len);
    if (r <= 0) break;
    len += std::size_t(r);
    if (len == sizeof buf - 1) break;
  }
  close(fd);
  buf[len] = '\0';
  for (char* line = buf; line && *line;) {
    char* next = std::strchr(line, '\n');
    if (next) *next++ = '\0';
    if (std::strncmp(line, prefix.c_str(), prefix.size()) == 0) {
      int bits = 0;
      // The names stand '|'-separated at the end: "RTS|CTS|DTR|DSR|CD".
      for (char* tok = std::strtok(line, " |"); tok; tok = std::strtok(nullptr, " |")) {
        if (std::strcmp(tok, "RTS") == 0) bits |= TIOCM_RTS;
        if (std::strcmp(tok, "DTR") == 0) bits |= TIOCM_DTR;
      }
      return bits;
    }
    line = next;
  }
  return -1;
}

// A copy of the descriptor through which process `pid` holds `dev`.
int BorrowDescriptor(pid_t pid, const char* dev) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (!d) return -1;
  int target = -1;
  while (dirent* e = readdir(d)) {
    char link[256];
    const std::string path = dir + "/" + e->d_name;
    const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    if (n <= 0) continue;
    link[n] = '\0';
    if (std::strcmp(link, dev) == 0) {
      target = std::atoi(e->d_name);
      break;
    }
  }
  closedir(d);
  if (target < 0) return -1;
  const int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return -1;
  const int fd = int(syscall(SYS_pidfd_getfd, pidfd, target, 0));
  close(pidfd);
  return fd;
}

int PrintLines(int bits, const char* how) {
  if (bits < 0) {
    std::printf("@@ lines=unknown via=%s\n", how);
    return 1;
  }
  std::printf("@@ DTR=%d RTS=%d via=%s\n", (bits & TIOCM_DTR) ? 1 : 0,
              (bits & TIOCM_RTS) ? 1 : 0, how);
  return 0;
}

int Lines(const char* dev, const char* pid) {
  const std::string uart = UartName(dev);
  if (!uart.empty()) return PrintLines(UartLines(uart), "proc");
  if (!pid) return PrintLines(-1, "none");
  const int fd = BorrowDescriptor(pid_t(std::atoi(pid)), dev);
  int bits = -1;
  if (fd >= 0 && ioctl(fd, TIOCMGET, &bits) != 0) bits = -1;
  // Closing the copy is not the last close: the program still holds the port.
  if (fd >= 0) close(fd);
  return PrintLines(bits, "pidfd");
}

int Reopen(const char* dev) {
  const int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::printf("@@ reopen=failed errno=%d\n", errno);
    return 1;
  }
  int bits = -1;
  const std::string uart = UartName(dev);
  if (!uart.empty())
    bits = UartLines(uart);
  else if (ioctl(fd, TIOCMGET, &bits) != 0)
    bits = -1;
  const int status = PrintLines(bits, "reopen");
  close(fd);
  return status;
}

long CpuMillis(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return -1;
  char buf[1024];
  const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = '\0';
  // Fields after the command name, which ends with the last ')'.
  const char* p = std::strrchr(buf, ')');
  if (!p) return -1;
  unsigned long utime = 0, stime = 0;
  if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                  &stime) != 2)
    return -1;
  return long((utime + stime) * 1000 / sysconf(_SC_CLK_TCK));
}

int Gone(const char* path, char** argv) {
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    execv(argv[0], argv);
    _exit(127);
  }
  std::int64_t gone_at = -1;
  long cpu_at_gone = -1;
  int status = 0;
  rusage usage{};
  // Sampled every 2 ms: a program that ends within one sample of the
  // device's loss reads as 0 ms.
  for (;;) {
    if (gone_at < 0 && access(path, F_OK) != 0) {
      gone_at = NowMicros();
      cpu_at_gone = CpuMillis(child);
    }
    const pid_t r = wait4(child, &status, WNOHANG, &usage);
    if (r == child) break;
    SleepMicros(2000);
  }
  const std::int64_t ended = NowMicros();
  // The kernel hangs the port up before it removes the device: a program
  // that ends at the hang-up can be gone before PATH is. Such an end counts
  // as 0 ms when PATH goes within 2 s.
  bool ended_first = false;
  for (int i = 0; gone_at < 0 && i < 1000; ++i) {
    if (access(path, F_OK) != 0) {
      gone_at = ended;
      ended_first = true;
    } else {
      SleepMicros(2000);
    }
  }
  const long cpu_total = long(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
                         long(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (gone_at < 0) {
    std::printf("@@ gone=never exit=%d\n", code);
    return 0;
  }
  std::printf("@@ gone=yes end_after_ms=%lld cpu_after_ms=%ld exit=%d ended_first=%d\n",
              static_cast<long long>((ended - gone_at) / 1000),
              cpu_at_gone >= 0 ? cpu_total - cpu_at_gone : 0, code, ended_first ? 1 : 0);
  return 0;
}

// Runs CMD with SIGINT and SIGQUIT at their defaults (a shell starts a
// background command with both ignored), as user and group UID when given.
int Run(const char* uid_text, char** argv) {
  signal(SIGINT, SIG_DFL);
  signal(SIGQUIT, SIG_DFL);
  if (uid_text) {
    const auto id = static_cast<uid_t>(std::atol(uid_text));
    if (setgroups(0, nullptr) != 0 || setgid(gid_t(id)) != 0 || setuid(id) != 0) {
      std::perror("vmprobe run");
      return 126;
    }
  }
  execv(argv[0], argv);
  std::perror("vmprobe run: exec");
  return 127;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "lines" && argc >= 3) return Lines(argv[2], argc > 3 ? argv[3] : nullptr);
  if (cmd == "reopen" && argc == 3) return Reopen(argv[2]);
  if (cmd == "gone" && argc >= 5 && std::strcmp(argv[3], "--") == 0)
    return Gone(argv[2], argv + 4);
  if (cmd == "run" && argc >= 4 && std::strcmp(argv[2], "--") == 0) return Run(nullptr, argv + 3);
  if (cmd == "run" && argc >= 5 && std::strcmp(argv[3], "--") == 0) return Run(argv[2], argv + 4);
  std::fprintf(stderr,
               "usage: vmprobe lines DEV [PID] | reopen DEV |"
               " gone PATH -- CMD... | run [UID] -- CMD...\n");
  return 2;
}
