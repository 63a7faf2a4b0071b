#include "bench/plain_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <cstring>
#include <thread>

#include "bench/bench_process.h"

namespace bench {
namespace {

constexpr int kQuietLimitMs = 30000;

struct Reader {
  int fd = -1;
  const std::vector<std::uint8_t>* expected = nullptr;
  std::int64_t first_ns = 0;
  std::int64_t last_ns = 0;
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
    const std::int64_t now = NowNs();
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      r->result = EIO;
      return;
    }
    if (got == 0) r->first_ns = now;
    if (got + std::size_t(n) > total ||
        std::memcmp(buf.data(), r->expected->data() + got, std::size_t(n)) != 0) {
      r->result = EIO;
      return;
    }
    got += std::size_t(n);
    r->last_ns = now;
  }
  r->result = 0;
}

void ReadAll(Reader* r) {
  ReadBytes(r);
  r->finished.store(true);
}

}  // namespace

int PlainPeerTransfer(const std::vector<std::uint8_t>& bytes, double* first_to_last_s) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return errno;
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    const int e = errno;
    close(master);
    return e;
  }
  const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave < 0) {
    const int e = errno;
    close(master);
    return e;
  }
  // Raw, as the programs set their port: bytes pass unchanged.
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
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
  close(slave);
  close(master);
  if (done < bytes.size() && reader.result == 0) return EIO;
  if (reader.result != 0) return reader.result;
  *first_to_last_s = double(reader.last_ns - reader.first_ns) / 1e9;
  return 0;
}

}  // namespace bench
