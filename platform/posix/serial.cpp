// Serial ports on POSIX terminals.
//
// One non-blocking descriptor per port, shared by a waiting reader and a
// writer. The reader waits in poll() on the port and on a wake-up eventfd;
// clearing the event mask signals the eventfd, so a wait in progress ends at
// once and every later wait ends at once too, until a non-zero mask drains
// it again. The writer loops write -> EAGAIN -> poll(POLLOUT) on the same
// descriptor, never touching O_NONBLOCK (it belongs to the open file
// description and toggling it would cut the reader's side short).
#include "platform/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "platform/common/port_name.h"
#include "platform/posix/serial_descriptor.h"

namespace platform {

struct SerialPort {
  int fd = -1;
  int wake_fd = -1;                   // eventfd: readable while the mask is 0
  std::atomic<std::uint32_t> mask{0};
  std::mutex mask_mu;                 // keeps the mask and the eventfd in step
  // SerialCancelWrites: the flag, and an eventfd that ends a writer's poll.
  // Made with the record, so that every port has one (-1 when the system
  // refused it: a cancel is then seen at the writer's next wake-up).
  std::atomic<bool> cancelled{false};
  int cancel_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ~SerialPort() {
    if (cancel_fd >= 0) close(cancel_fd);
  }
};

namespace {

struct SpeedEntry {
  std::uint32_t baud;
  speed_t code;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool BaudToCode(std::uint32_t baud, speed_t* code) {
  for (const auto& e : kSpeeds) {
    if (e.baud == baud) {
      *code = e.code;
      return true;
    }
  }
  return false;
}

std::uint32_t CodeToBaud(speed_t code) {
  for (const auto& e : kSpeeds)
    if (e.code == code) return e.baud;
  return 0;
}

// "COM<n>" -> $COM<n> when set and not empty, else /dev/ttyS<n-1>; any other
// name stands as it is.
std::string DevicePath(const char* name) {
  if (!IsNumberedPortName(name)) return name;
  const char* mapped = std::getenv(name);
  if (mapped && *mapped) return mapped;
  const long n = std::strtol(name + 3, nullptr, 10);
  return "/dev/ttyS" + std::to_string(n - 1);
}

// Raw mode: no input or output processing, no echo, no signals, receiver on,
// modem status lines ignored, reads that return at once.
void MakeRaw(termios* t) {
  t->c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                          IXOFF | IXANY | INPCK);
  t->c_oflag &= ~tcflag_t(OPOST);
  t->c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t->c_cflag |= tcflag_t(CLOCAL | CREAD);
  t->c_cc[VMIN] = 0;
  t->c_cc[VTIME] = 0;
}

int GetAttr(int fd, termios* t) {
  while (tcgetattr(fd, t) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

int SetAttr(int fd, const termios& t) {
  while (tcsetattr(fd, TCSANOW, &t) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Drains the wake-up counter (non-blocking).
void DrainWake(int wake_fd) {
  std::uint64_t v;
  while (read(wake_fd, &v, sizeof v) < 0 && errno == EINTR) {
  }
}

void SignalWake(int wake_fd) {
  const std::uint64_t one = 1;
  while (write(wake_fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}


}  // namespace

int SerialOpen(const char* name, SerialPort** port) {
  if (!name || !port) return EINVAL;
  if (IsUnmappedPortName(name)) return ENOENT;
  const std::string path = DevicePath(name);
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  // Linux raises DTR and RTS on every open of a real port; a unit that
  // wires RTS to its reset or boot pin sees each moment it stands. Drop it
  // before anything else, locking and configuring included (those take
  // milliseconds on a UART). Devices without modem lines refuse this.
  const int rts = TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &rts);
  auto fail = [fd](int err) {
    close(fd);
    return err;
  };
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
  termios t{};
  if (int err = GetAttr(fd, &t)) return fail(err);  // not a terminal
  if (ioctl(fd, TIOCEXCL) != 0) return fail(errno);
  auto unexcl_fail = [fd](int err) {
    ioctl(fd, TIOCNXCL);
    close(fd);
    return err;
  };
  MakeRaw(&t);
  if (int err = SetAttr(fd, t)) return unexcl_fail(err);
  const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) return unexcl_fail(errno);
  auto* p = new (std::nothrow) SerialPort;
  if (!p) {
    close(wake);
    return unexcl_fail(ENOMEM);
  }
  p->fd = fd;
  p->wake_fd = wake;
  *port = p;
  return 0;
}

void SerialClose(SerialPort* port) {
  if (!port) return;
  // On a pseudo-terminal the exclusive flag outlives the descriptor.
  ioctl(port->fd, TIOCNXCL);
  close(port->fd);
  close(port->wake_fd);
  delete port;
}

int SerialDescriptor(SerialPort* port) { return port ? port->fd : -1; }

int SerialPurge(SerialPort* port, unsigned which) {
  if (!port) return EBADF;
  int queue;
  if ((which & kPurgeRx) && (which & kPurgeTx))
    queue = TCIOFLUSH;
  else if (which & kPurgeRx)
    queue = TCIFLUSH;
  else if (which & kPurgeTx)
    queue = TCOFLUSH;
  else
    return 0;
  return tcflush(port->fd, queue) == 0 ? 0 : errno;
}

int SerialGetSettings(SerialPort* port, LineSettings* settings) {
  if (!port || !settings) return EINVAL;
  termios t{};
  if (int err = GetAttr(port->fd, &t)) return err;
  LineSettings s;
  s.baud = CodeToBaud(cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5: s.data_bits = 5; break;
    case CS6: s.data_bits = 6; break;
    case CS7: s.data_bits = 7; break;
    default: s.data_bits = 8; break;
  }
  s.parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 'O' : 'E') : 'N';
  s.stop_bits = (t.c_cflag & CSTOPB) ? 2 : 1;
  s.rts_cts = (t.c_cflag & CRTSCTS) != 0;
  s.xon_xoff = (t.c_iflag & (IXON | IXOFF)) != 0;
  *settings = s;
  return 0;
}

int SerialSetSettings(SerialPort* port, const LineSettings& s) {
  if (!port) return EINVAL;
  speed_t code;
  if (!BaudToCode(s.baud, &code)) return EINVAL;
  if (s.data_bits < 5 || s.data_bits > 8) return EINVAL;
  if (s.parity != 'N' && s.parity != 'E' && s.parity != 'O') return EINVAL;
  if (s.stop_bits != 1 && s.stop_bits != 2) return EINVAL;
  termios t{};
  if (int err = GetAttr(port->fd, &t)) return err;
  MakeRaw(&t);
  t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[s.data_bits - 5];
  if (s.parity != 'N') t.c_cflag |= PARENB;
  if (s.parity == 'O') t.c_cflag |= PARODD;
  if (s.stop_bits == 2) t.c_cflag |= CSTOPB;
  if (s.rts_cts) t.c_cflag |= CRTSCTS;
  if (s.xon_xoff) t.c_iflag |= IXON | IXOFF;
  if (cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0) return errno;
  if (int err = SetAttr(port->fd, t)) return err;
  // tcsetattr succeeds when any of the changes took; an adapter that
  // refuses the speed or the character size must not pass for one that
  // runs at it.
  termios applied{};
  if (int err = GetAttr(port->fd, &applied)) return err;
  if (cfgetospeed(&applied) != code || (applied.c_cflag & CSIZE) != (t.c_cflag & CSIZE))
    return EINVAL;
  return 0;
}

int SerialSetModemLines(SerialPort* port, bool dtr, bool rts) {
  if (!port) return EINVAL;
  const int on = (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
  const int off = (dtr ? 0 : TIOCM_DTR) | (rts ? 0 : TIOCM_RTS);
  for (const auto& [request, bits] : {std::pair<unsigned long, int>{TIOCMBIS, on},
                                      std::pair<unsigned long, int>{TIOCMBIC, off}}) {
    if (bits == 0) continue;
    if (ioctl(port->fd, request, &bits) != 0) {
      // Devices without modem-control lines refuse the request.
      if (errno == ENOTTY || errno == EINVAL) return 0;
      return errno;
    }
  }
  return 0;
}

int SerialSetEventMask(SerialPort* port, std::uint32_t mask) {
  if (!port) return EBADF;
  std::lock_guard<std::mutex> lock(port->mask_mu);
  port->mask.store(mask);
  if (mask == 0)
    SignalWake(port->wake_fd);
  else
    DrainWake(port->wake_fd);
  return 0;
}

int SerialWaitEvent(SerialPort* port, std::uint32_t* events) {
  if (!port || !events) return EINVAL;
  *events = 0;
  for (;;) {
    const std::uint32_t mask = port->mask.load();
    if (mask == 0) return 0;
    pollfd fds[2] = {{port->fd, short((mask & kEventRxChar) ? POLLIN : 0), 0},
                     {port->wake_fd, POLLIN, 0}};
    // A bounded poll re-reads the mask now and then; a wake-up ends it at once.
    const int n = poll(fds, 2, 1000);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (fds[1].revents & POLLIN) {
      if (port->mask.load() == 0) return 0;
      continue;  // a stale wake-up that a later non-zero mask overtook
    }
    if (fds[0].revents & POLLNVAL) return EBADF;
    if (fds[0].revents & (POLLHUP | POLLERR)) return EIO;
    if (fds[0].revents & POLLIN) {
      *events = kEventRxChar;
      return 0;
    }
  }
}

int SerialQueuedInput(SerialPort* port, std::uint32_t* count) {
  if (!port || !count) return EINVAL;
  int n = 0;
  if (ioctl(port->fd, FIONREAD, &n) != 0) return errno;
  *count = n > 0 ? std::uint32_t(n) : 0;
  return 0;
}

int SerialRead(SerialPort* port, void* buffer, std::size_t n, std::size_t* got) {
  if (!port || !got) return EINVAL;
  *got = 0;
  if (n == 0) return 0;
  for (;;) {
    const ssize_t r = read(port->fd, buffer, n);
    if (r > 0) {
      *got = std::size_t(r);
      return 0;
    }
    if (r == 0) {
      // A raw terminal with VMIN = VTIME = 0 reads 0 bytes both on a quiet
      // line and after a hang-up; only the poll status tells them apart.
      pollfd p{port->fd, POLLIN, 0};
      if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return EIO;
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return 0;
    return errno;
  }
}

namespace {

// Waits until the device has sent what it holds. tcdrain alone would wait
// for ever on a device that stops sending without going away (a stuck
// adapter), so the output queue is watched first, with the same
// no-progress limit as the writes; a hang-up ends the wait at once.
int Drain(SerialPort* port) {
  using Clock = std::chrono::steady_clock;
  const int fd = port->fd;
  int last = -1;
  auto last_progress = Clock::now();
  for (;;) {
    if (port->cancelled.load()) return ECANCELED;
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) break;
    if (queued != last) {
      last = queued;
      last_progress = Clock::now();
    } else if (Clock::now() - last_progress >= std::chrono::milliseconds(kWriteStallMs)) {
      return ETIMEDOUT;
    }
    // Sleeps 2 ms, or less when the device hangs up meanwhile.
    pollfd pfd[2] = {{fd, 0, 0}, {port->cancel_fd, POLLIN, 0}};
    if (poll(pfd, 2, 2) > 0 && (pfd[0].revents & (POLLHUP | POLLERR | POLLNVAL))) return EIO;
  }
  while (tcdrain(fd) != 0) {
    if (errno == EINTR) continue;
    return errno;
  }
  return 0;
}

// Discards the output queue and returns how many of the done bytes left
// the port: done less what was still queued.
std::size_t DiscardQueued(int fd, std::size_t done) {
  int queued = 0;
  if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued < 0) queued = 0;
  tcflush(fd, TCOFLUSH);
  return done - (std::size_t(queued) < done ? std::size_t(queued) : done);
}

}  // namespace

int SerialWrite(SerialPort* port, const void* data, std::size_t n, std::size_t* written,
                WriteProgress progress, void* context) {
  std::size_t done = 0;
  if (written) *written = 0;
  if (!port) return EBADF;
  const auto* p = static_cast<const unsigned char*>(data);
  using Clock = std::chrono::steady_clock;
  auto last_progress = Clock::now();
  int err = 0;
  while (done < n) {
    if (port->cancelled.load()) {
      err = ECANCELED;
      break;
    }
    const ssize_t r = write(port->fd, p + done, n - done);
    if (r > 0) {
      done += std::size_t(r);
      last_progress = Clock::now();
      if (progress) progress(done, context);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN) {
      err = errno;
      break;
    }
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                            last_progress);
    if (idle.count() >= kWriteStallMs) {
      err = ETIMEDOUT;
      break;
    }
    pollfd fds[2] = {{port->fd, POLLOUT, 0}, {port->cancel_fd, POLLIN, 0}};
    pollfd& pfd = fds[0];
    const int left = int(kWriteStallMs - idle.count());
    const int pr = poll(fds, 2, left < 1000 ? left : 1000);
    if (pr < 0 && errno != EINTR) {
      err = errno;
      break;
    }
    if (fds[1].revents & POLLIN) continue;  // cancelled: seen at the top
    if (pr > 0 && (pfd.revents & POLLNVAL)) {
      err = EBADF;
      break;
    }
    if (pr > 0 && (pfd.revents & (POLLHUP | POLLERR)) && !(pfd.revents & POLLOUT)) {
      // Let the next write report the device's own error; if it still
      // takes bytes the hang-up was not on our side.
      const ssize_t probe = write(port->fd, p + done, n - done);
      if (probe > 0) {
        done += std::size_t(probe);
        last_progress = Clock::now();
        if (progress) progress(done, context);
        continue;
      }
      err = (probe < 0 && errno != EAGAIN && errno != EINTR) ? errno : EIO;
      break;
    }
  }
  if (err == 0) err = Drain(port);
  // What the device still holds of a cancelled write goes too, and only
  // what really left counts as written. (A pseudo-terminal reports nothing
  // queued, so there the count stays what the other side was handed.)
  if (err == ECANCELED) done = DiscardQueued(port->fd, done);
  if (written) *written = done;
  return err;
}

void SerialCancelWrites(SerialPort* port) {
  if (!port) return;
  port->cancelled.store(true);
  // Stays readable: every later wait of a writer ends at once as well.
  if (port->cancel_fd >= 0) SignalWake(port->cancel_fd);
}

}  // namespace platform
