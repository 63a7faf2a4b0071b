#include "tools/unitsim/pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {

void MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);
}

std::uint32_t SpeedToBaud(speed_t s) {
  switch (s) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
  }
}

}  // namespace

int OpenPtyLine(PtyLine* line) {
  line->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (line->master < 0) return errno;
  if (grantpt(line->master) != 0 || unlockpt(line->master) != 0) {
    const int e = errno;
    ClosePtyLine(line);
    return e;
  }
  char name[128];
  if (ptsname_r(line->master, name, sizeof name) != 0) {
    const int e = errno;
    ClosePtyLine(line);
    return e;
  }
  line->path = name;
  line->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (line->slave < 0) {
    const int e = errno;
    ClosePtyLine(line);
    return e;
  }
  // The termios of a pseudo-terminal belong to its slave side.
  MakeRaw(line->slave);
  return 0;
}

int OpenDeviceLine(PtyLine* line, const std::string& path) {
  *line = PtyLine{};
  line->path = path;
  line->reports_speed = false;
  line->master = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (line->master < 0) return errno;
  if (!isatty(line->master)) {
    ClosePtyLine(line);
    return ENOTTY;
  }
  MakeRaw(line->master);
  return 0;
}

void ClosePtyLine(PtyLine* line) {
  if (line->slave >= 0) {
    ioctl(line->slave, TIOCNXCL);
    close(line->slave);
  }
  if (line->master >= 0) close(line->master);
  line->slave = line->master = -1;
}

std::uint32_t LineBaud(const PtyLine& line) {
  termios t{};
  if (line.slave < 0 || tcgetattr(line.slave, &t) != 0) return 0;
  return SpeedToBaud(cfgetospeed(&t));
}

bool ClearStaleExclusive(const PtyLine& line) {
  if (line.slave < 0) return false;
  int exclusive = 0;
  if (ioctl(line.slave, TIOCGEXCL, &exclusive) != 0 || !exclusive) return false;
  // A program that holds the port also holds its advisory lock; only when
  // the lock is free is the flag a leftover.
  if (flock(line.slave, LOCK_EX | LOCK_NB) != 0) return false;
  ioctl(line.slave, TIOCNXCL);
  flock(line.slave, LOCK_UN);
  return true;
}

long PendingForProgram(const PtyLine& line) {
  int n = 0;
  if (line.slave < 0 || ioctl(line.slave, FIONREAD, &n) != 0) return -1;
  return n;
}

std::size_t WriteBounded(int fd, const std::string& bytes, int limit_ms) {
  std::size_t done = 0;
  const std::int64_t deadline = MonotonicMicros() + std::int64_t(limit_ms) * 1000;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += std::size_t(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    const std::int64_t left_us = deadline - MonotonicMicros();
    if (left_us <= 0) break;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, int(left_us / 1000) + 1) > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
      break;
  }
  return done;
}

std::int64_t MonotonicMicros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
