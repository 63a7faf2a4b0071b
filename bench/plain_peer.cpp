#include "bench/plain_peer.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <thread>

#include "tests/support/pty.h"
#include "tools/unitsim/pty_line.h"

namespace bench {
namespace {

constexpr int kQuietLimitMs = 30000;

struct Reader {
  int fd = -1;
  const std::vector<std::uint8_t>* expected = nullptr;
  std::int64_t first_us = 0;
  std::int64_t last_us = 0;
  int result = ETIMEDOUT;
  std::atomic<bool> finished{false};
};

void ReadBytes(Reader* r) {
  std::vector<std::uint8_t> buf(65536);
  std::size_t got = 0;
  const std::size_t total = r->expected->size();
  while (got < total) {
    pollfd p{r->fd, POLLIN, 0};
    if (poll(&p, 1, kQuietLimitMs) <= 0) return;  // stalled: ETIMEDOUT
    const ssize_t n = read(r->fd, buf.data(), buf.size());
    const std::int64_t now = MonotonicMicros();
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      r->result = EIO;
      return;
    }
    if (got == 0) r->first_us = now;
    if (got + std::size_t(n) > total ||
        std::memcmp(buf.data(), r->expected->data() + got, std::size_t(n)) != 0) {
      r->result = EIO;
      return;
    }
    got += std::size_t(n);
    r->last_us = now;
  }
  r->result = 0;
}

void ReadAll(Reader* r) {
  ReadBytes(r);
  r->finished.store(true);
}

}  // namespace

int PlainPeerTransfer(const std::vector<std::uint8_t>& bytes, double* first_to_last_s) {
  // The simulated unit's line: raw on both sides, neither blocking.
  std::unique_ptr<testsupport::PtyPair> pty;
  try {
    pty = std::make_unique<testsupport::PtyPair>();
  } catch (const std::exception&) {
    return EIO;
  }
  const int master = pty->master();
  const int slave = pty->slave();
  termios t{};
  tcgetattr(slave, &t);
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  tcsetattr(slave, TCSANOW, &t);

  Reader reader;
  reader.fd = master;
  reader.expected = &bytes;
  std::thread th(ReadAll, &reader);
  // The writer: write until all is out, waiting for room whenever the line
  // is full; it gives up only when the reader has stopped.
  std::size_t done = 0;
  while (done < bytes.size() && !reader.finished.load()) {
    const ssize_t n = write(slave, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += std::size_t(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{slave, POLLOUT, 0};
      poll(&p, 1, 1000);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  th.join();
  if (done < bytes.size() && reader.result == 0) return EIO;
  if (reader.result != 0) return reader.result;
  *first_to_last_s = double(reader.last_us - reader.first_us) / 1e6;
  return 0;
}

}  // namespace bench
