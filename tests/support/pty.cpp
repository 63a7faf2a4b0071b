#include "tests/support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

#include "tools/unitsim/pty_line.h"

namespace testsupport {

constexpr int kLineWaitMs = 5000;  // generous bound: only a hang runs into it

bool WriteAllBytes(int fd, const std::string& bytes, int wait_ms) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += std::size_t(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, wait_ms) <= 0) return false;
    if (p.revents & (POLLHUP | POLLERR)) return false;
  }
  return true;
}

std::string ReadUntilText(int fd, std::string* pending, const std::string& text, int timeout_ms,
                          bool stop_on_hangup) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[4096];
  while (pending->find(text) == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, int(std::min<long long>(left, 50))) <= 0) continue;
    const ssize_t n = (p.revents & POLLIN) ? read(fd, buf, sizeof buf) : 0;
    if (n > 0) {
      pending->append(buf, std::size_t(n));
    } else if (stop_on_hangup && (p.revents & POLLHUP)) {
      break;
    }
  }
  const auto at = pending->find(text);
  const std::size_t cut = at == std::string::npos ? pending->size() : at + text.size();
  std::string out = pending->substr(0, cut);
  pending->erase(0, cut);
  return out;
}

LineClient::LineClient(const std::string& path) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return;
  termios t{};
  tcgetattr(fd_, &t);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetspeed(&t, B19200);
  tcsetattr(fd_, TCSANOW, &t);
}

void LineClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void LineClient::SetBaud(speed_t speed) {
  termios t{};
  tcgetattr(fd_, &t);
  cfsetspeed(&t, speed);
  tcsetattr(fd_, TCSANOW, &t);
}

bool LineClient::Send(const std::string& bytes) { return WriteAllBytes(fd_, bytes, kLineWaitMs); }

bool LineClient::Send(const std::vector<std::uint8_t>& bytes) {
  return Send(std::string(bytes.begin(), bytes.end()));
}

std::string LineClient::ReadUntil(const std::string& text) {
  return ReadUntilText(fd_, &got_, text, kLineWaitMs, true);
}

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

void PtyPair::Send(const std::string& bytes) { WriteAllBytes(master_, bytes, 5000); }

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
  std::string pending;
  std::string got = ReadUntilText(master_, &pending, text, timeout_ms, false);
  return got + pending;
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

std::string PortIsFree(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return "cannot open " + path;
  std::string wrong;
  int exclusive = 0;
  if (ioctl(fd, TIOCGEXCL, &exclusive) != 0 || exclusive != 0) wrong = "exclusive flag set";
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) wrong += " flock held";
  close(fd);
  return wrong;
}

}  // namespace testsupport
