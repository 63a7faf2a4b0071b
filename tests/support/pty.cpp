#include "tests/support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace testsupport {
namespace {

void MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
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

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
    throw std::runtime_error("posix_openpt failed");
  const char* name = ptsname(master_);
  if (!name) throw std::runtime_error("ptsname failed");
  path_ = name;
  slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave_ < 0) throw std::runtime_error("open slave failed");
  MakeRaw(slave_);
  MakeRaw(master_);
}

PtyPair::~PtyPair() {
  if (slave_ >= 0) {
    ioctl(slave_, TIOCNXCL);
    close(slave_);
  }
  if (master_ >= 0) close(master_);
}

void PtyPair::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return;
    pollfd p{master_, POLLOUT, 0};
    poll(&p, 1, 100);
  }
}

std::string PtyPair::Receive(std::size_t count, int timeout_ms) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[65536];
  while (got.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, int(left)) <= 0) continue;
    if (!(p.revents & POLLIN)) {
      // No reader-side data; a hang-up of the slave alone is normal for a
      // pty whose program closed it while we hold our own slave descriptor.
      continue;
    }
    const ssize_t n = read(master_, buf, std::min(sizeof buf, count - got.size()));
    if (n > 0) got.append(buf, size_t(n));
  }
  return got;
}

std::string PtyPair::ReceiveUntil(const std::string& text, int timeout_ms) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[4096];
  while (got.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, int(left)) <= 0) continue;
    if (!(p.revents & POLLIN)) continue;
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n > 0) got.append(buf, size_t(n));
  }
  return got;
}

std::uint32_t PtyPair::SlaveBaud() const {
  termios t{};
  if (tcgetattr(slave_, &t) != 0) return 0;
  return SpeedToBaud(cfgetospeed(&t));
}

void PtyPair::ClearExclusive() { ioctl(slave_, TIOCNXCL); }

void PtyPair::HangUp() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

}  // namespace testsupport
