#include "tests/support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

#include "tools/unitsim/pty_line.h"

namespace testsupport {

PtyPair::PtyPair() {
  PtyLine line;
  if (const int err = OpenPtyLine(&line))
    throw std::runtime_error(std::string("pty: ") + std::strerror(err));
  master_ = line.master;
  slave_ = line.slave;
  path_ = line.path;
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
  PtyLine line;
  line.slave = slave_;
  return LineBaud(line);
}

void PtyPair::ClearExclusive() { ioctl(slave_, TIOCNXCL); }

void PtyPair::HangUp() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

}  // namespace testsupport
