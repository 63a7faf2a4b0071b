// unitsim: a simulated telephone unit on a pseudo-terminal (or on a tty
// device given with --device), for tests and demonstrations of the
// downloader and the command terminal.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "project_version.h"
#include "tools/unitsim/pty_line.h"
#include "tools/unitsim/sim_options.h"
#include "tools/unitsim/unit_engine.h"
#include "tools/unitsim/wire_text.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

constexpr int kIdleTickMs = 100;            // longest sleep of the loop
constexpr std::int64_t kExclusiveProbeUs = 250000;
constexpr int kWriteLimitMs = 1000;         // answers nobody reads are dropped
constexpr std::int64_t kPaceBurstUs = 10000;
// A unit that hangs up after an answer lets the program read it first, for
// this long at most. The settle time covers the kernel's hand-over of the
// answer to the program's side, which a busy machine can delay: until then
// the program's queue reads empty although the answer has not reached it.
constexpr std::int64_t kHangUpGraceUs = 5000000;
constexpr std::int64_t kHangUpSettleUs = 300000;

struct Driver {
  SimOptions options;
  PtyLine line;
  UnitEngine unit;
  std::FILE* transcript = nullptr;
  std::uint32_t last_baud = 0;
  long bytes_in = 0;
  long bytes_out = 0;
  long dropped_out = 0;
  double pace_free_us = 0;  // when the paced line is free for the next byte
  bool link_made = false;
  // A device that hung up is opened again, one try a tick (reopen_at); the
  // loss and the reopening are noted once each until bytes come again.
  bool device_lost = false;
  bool device_loss_noted = false;
  bool reopen_noted = false;
  std::int64_t reopen_at = 0;
  std::int64_t hang_up_from = 0;  // an answer before a hang-up went out then
};

void Write(Driver* d, std::int64_t t, const std::string& text) {
  if (!d->transcript) return;
  std::fprintf(d->transcript, "%lld %s\n", static_cast<long long>(t), text.c_str());
  std::fflush(d->transcript);
}

void FlushRecords(Driver* d) {
  for (const Record& r : d->unit.records) Write(d, r.t_us, r.text);
  d->unit.records.clear();
}

void ObserveSpeed(Driver* d, std::int64_t now) {
  if (!d->line.reports_speed) return;
  const std::uint32_t baud = LineBaud(d->line);
  if (baud == d->last_baud) return;
  d->last_baud = baud;
  Write(d, now, "speed " + std::to_string(baud));
}

void StoreImage(Driver* d, std::int64_t now) {
  d->unit.store_pending = false;
  if (d->options.store.empty()) return;
  const std::string part = d->options.store + ".part";
  std::FILE* f = std::fopen(part.c_str(), "wb");
  bool ok = f != nullptr;
  if (f) {
    const auto& img = d->unit.image;
    ok = std::fwrite(img.data(), 1, img.size(), f) == img.size();
    ok = std::fclose(f) == 0 && ok;
  }
  ok = ok && std::rename(part.c_str(), d->options.store.c_str()) == 0;
  Write(d, now, (ok ? "stored " : "store failed ") + d->options.store);
}

void SendDue(Driver* d, std::int64_t now) {
  auto& box = d->unit.outbox;
  while (!box.empty() && box.front().due_us <= now) {
    const std::string bytes = std::move(box.front().bytes);
    const bool front_hangs_up = box.front().hang_up_after;
    box.pop_front();
    std::size_t n = 0;
    if (d->line.master >= 0) n = WriteBounded(d->line.master, bytes, kWriteLimitMs);
    d->bytes_out += long(n);
    if (n < bytes.size()) {
      d->dropped_out += long(bytes.size() - n);
      Write(d, MonotonicMicros(), "tx dropped " + std::to_string(bytes.size() - n) + " bytes");
    }
    Write(d, MonotonicMicros(), "tx " + EscapeBytes(bytes.substr(0, n)));
    if (front_hangs_up) {
      d->hang_up_from = MonotonicMicros();
      box.clear();
      return;
    }
  }
}

void HangUp(Driver* d, std::int64_t now) {
  d->unit.outbox.clear();
  ClosePtyLine(&d->line);
  Write(d, now, "line closed");
}

// The hang-up after an answer: once the program has read the answer (or
// after a grace time), so the answer is not flushed away by the hang-up.
void HangUpWhenRead(Driver* d, std::int64_t now) {
  if (d->hang_up_from == 0 || now - d->hang_up_from < kHangUpSettleUs) return;
  if (PendingForProgram(d->line) > 0 && now - d->hang_up_from < kHangUpGraceUs) return;
  d->hang_up_from = 0;
  HangUp(d, now);
}

// The speed at which the paced line lets bytes through: the one the
// program set; where that cannot be seen, the one the unit expects now.
std::uint32_t PaceBaud(const Driver* d) {
  if (d->last_baud) return d->last_baud;
  if (!d->line.reports_speed) return d->unit.phase == UnitPhase::kImage ? kImageBaud : kCommandBaud;
  return 38400;
}

// Bytes the paced line lets through now; sets *wait_ms when none.
std::size_t PaceAllowance(Driver* d, std::int64_t now, int* wait_ms) {
  const std::uint32_t baud = PaceBaud(d);
  const double byte_us = 1e6 * 10.0 / double(baud);  // 8N1: ten bits a byte
  if (d->pace_free_us < double(now - kPaceBurstUs)) d->pace_free_us = double(now - kPaceBurstUs);
  const double allowed = (double(now) - d->pace_free_us) / byte_us;
  if (allowed >= 1) return std::size_t(allowed);
  *wait_ms = std::max(1, int((d->pace_free_us + byte_us - double(now)) / 1000) + 1);
  return 0;
}

void ReadLine(Driver* d, std::size_t limit) {
  std::uint8_t buf[65536];
  const ssize_t n = read(d->line.master, buf, std::min(limit, sizeof buf));
  if (n <= 0) return;
  const std::int64_t now = MonotonicMicros();
  ObserveSpeed(d, now);
  d->bytes_in += long(n);
  d->device_loss_noted = false;
  if (d->options.pace) d->pace_free_us += double(n) * 1e6 * 10.0 / double(PaceBaud(d));
  FeedUnit(&d->unit, buf, std::size_t(n), now, d->last_baud);
}

// A device that hung up (a USB gadget whose host went away) is closed and
// opened again, so the unit serves the next connection; while it cannot be
// opened the unit tries once a tick.
void LoseDevice(Driver* d, std::int64_t now) {
  ClosePtyLine(&d->line);
  d->device_lost = true;
  d->reopen_at = now + std::int64_t(kIdleTickMs) * 1000;
  if (!d->device_loss_noted) {
    d->device_loss_noted = true;
    d->reopen_noted = false;
    Write(d, now, "line hung up");
  }
  LineLost(&d->unit, now);
  FlushRecords(d);
}

void ReopenDevice(Driver* d, std::int64_t now) {
  if (now < d->reopen_at) return;
  d->reopen_at = now + std::int64_t(kIdleTickMs) * 1000;
  if (OpenDeviceLine(&d->line, d->options.device) != 0) return;
  d->device_lost = false;
  if (d->reopen_noted) return;
  d->reopen_noted = true;
  Write(d, now, "line opened again");
}

void Serve(Driver* d) {
  std::int64_t next_probe = 0;
  bool hangup_noted = false;
  while (!g_stop) {
    std::int64_t now = MonotonicMicros();
    int timeout = kIdleTickMs;
    if (!d->unit.outbox.empty())
      timeout = int(std::clamp<std::int64_t>((d->unit.outbox.front().due_us - now) / 1000 + 1, 0,
                                             kIdleTickMs));
    std::size_t limit = 65536;
    if (d->hang_up_from != 0) timeout = std::min(timeout, 5);
    bool want_read =
        d->line.master >= 0 && d->unit.phase != UnitPhase::kGone && !d->unit.stalled;
    if (want_read && d->options.pace) {
      int wait = 0;
      limit = PaceAllowance(d, now, &wait);
      if (limit == 0) {
        want_read = false;
        timeout = std::min(timeout, wait);
      }
    }
    // A device is watched for a hang-up even while the unit reads nothing.
    const bool watch = want_read || (d->line.master >= 0 && !d->line.reports_speed);
    pollfd p{d->line.master, short(want_read ? POLLIN : 0), 0};
    const int r = watch ? poll(&p, 1, timeout) : poll(nullptr, 0, timeout);
    if (r < 0 && errno != EINTR) break;
    if (!d->line.reports_speed && r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      // A hung-up tty also reports POLLIN, and reads 0 bytes for ever.
      LoseDevice(d, MonotonicMicros());
    } else if (r > 0 && (p.revents & POLLIN)) {
      ReadLine(d, limit);
    } else if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      // Not expected while the unit holds its own slave descriptor; never
      // let a persistent hang-up turn this loop into a spin.
      if (!hangup_noted) Write(d, MonotonicMicros(), "line reports hang-up");
      hangup_noted = true;
      poll(nullptr, 0, kIdleTickMs);
    }
    now = MonotonicMicros();
    if (d->device_lost && d->line.master < 0) ReopenDevice(d, now);
    TickUnit(&d->unit, now);
    FlushRecords(d);
    if (d->unit.store_pending) StoreImage(d, now);
    if (d->unit.vanish) {
      d->unit.vanish = false;
      HangUp(d, now);
    }
    SendDue(d, now);
    HangUpWhenRead(d, now);
    if (d->line.master >= 0 && now >= next_probe) {
      next_probe = now + kExclusiveProbeUs;
      ObserveSpeed(d, now);
      if (ClearStaleExclusive(d->line)) Write(d, now, "cleared a stale exclusive flag");
    }
  }
}

void MakeLink(Driver* d) {
  struct stat st{};
  if (lstat(d->options.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
    unlink(d->options.link.c_str());
  if (symlink(d->line.path.c_str(), d->options.link.c_str()) == 0) {
    d->link_made = true;
  } else {
    std::fprintf(stderr, "unitsim: cannot create link %s: %s\n", d->options.link.c_str(),
                 std::strerror(errno));
  }
}

void RemoveLink(Driver* d) {
  if (!d->link_made) return;
  char target[256];
  const ssize_t n = readlink(d->options.link.c_str(), target, sizeof target - 1);
  if (n < 0) return;
  target[n] = '\0';
  if (d->line.path == target) unlink(d->options.link.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  static Driver d;  // large engine state, kept off the stack
  bool help = false;
  std::string error;
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("unitsim %s\n", kProjectVersionText);
    return 0;
  }
  if (ParseSimArgs(std::vector<std::string>(argv + 1, argv + argc), &d.options, &help, &error) !=
      0) {
    std::fprintf(stderr, "unitsim: %s\n%s", error.c_str(), UsageText().c_str());
    return 2;
  }
  if (help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  struct sigaction sa{};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (!d.options.transcript.empty()) {
    d.transcript = std::fopen(d.options.transcript.c_str(), "w");
    if (!d.transcript) {
      std::fprintf(stderr, "unitsim: cannot write %s: %s\n", d.options.transcript.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  if (!d.options.device.empty()) {
    if (const int e = OpenDeviceLine(&d.line, d.options.device); e != 0) {
      std::fprintf(stderr, "unitsim: cannot open %s: %s\n", d.options.device.c_str(),
                   std::strerror(e));
      return 1;
    }
  } else if (const int e = OpenPtyLine(&d.line); e != 0) {
    std::fprintf(stderr, "unitsim: cannot open a pseudo-terminal: %s\n", std::strerror(e));
    return 1;
  }
  InitUnit(&d.unit, &d.options);
  d.unit.check_speed = d.line.reports_speed;
  if (!d.options.link.empty()) MakeLink(&d);
  const std::int64_t start = MonotonicMicros();
  Write(&d, start, "start line=" + d.line.path);
  if (!d.line.reports_speed)
    Write(&d, start, "speed check off: the device cannot report the line speed");
  ObserveSpeed(&d, start);
  std::printf("%s\n", d.line.path.c_str());

  Serve(&d);

  const std::int64_t end = MonotonicMicros();
  FlushRecords(&d);
  Write(&d, end, "stop");
  RemoveLink(&d);
  ClosePtyLine(&d.line);
  if (d.transcript) std::fclose(d.transcript);
  const UnitCounters& c = d.unit.counters;
  std::printf(
      "unitsim: commands %ld, terminal %ld, garbled %ld, images ok %ld, ng %ld, abandoned %ld, "
      "bytes in %ld, out %ld\n",
      c.commands, c.terminal, c.garbled, c.images_ok, c.images_ng, c.images_abandoned, d.bytes_in,
      d.bytes_out);
  return 0;
}
