// What the Windows serial backend makes of one write while it is under way:
// how much to report as taken, when the line is stalled, and when the drain
// that follows is done. Worked out from what the backend observes (the time
// since WriteFile, the bytes asked, the line's speed, the driver's queued
// count, whether the request completed) and nothing else, without any
// Windows type, so that every decision can be checked on any machine
// against models of drivers.
//
// Why the count alone decides nothing: COMSTAT.cbOutQue is documented as the
// user data still to be sent for all writes, but not how often a driver
// updates it while one large request is pending. USB serial drivers keep it
// themselves. Some report the whole request until it completes, some move
// it per USB transfer, some count only their own ring buffer (so the request
// seems all but sent at once), and Wine reads 0 throughout. The one figure
// no driver can bend is the line itself: with flow control off it carries at
// most its speed, so
//  - what is reported as taken never runs ahead of what the line could have
//    carried since the write began, and a count that has never moved is not
//    believed at all (the line's clock stands in for it);
//  - the write is called stalled only once the line could have carried the
//    whole request plus kWriteStallMs and the count has reached no new low
//    for kWriteStallMs (flow control, when on, may hold a good line);
//  - the drain after completion lasts until the driver holds nothing and
//    the line has had the time to carry the whole write, and at most the
//    line time of what was still queued when the request completed, plus a
//    margin.
#pragma once

#include <cstdint>

#include "platform/serial.h"

namespace platform::win32 {

// What the drain allows beyond the queued bytes' own time on the line: USB
// transfers, the driver's latency timer, scheduling.
constexpr std::uint64_t kDrainMarginMs = 500;
// How often the count is read while the request is pending.
constexpr std::uint32_t kWritePollMs = 100;

// One look at the port.
struct WriteObservation {
  std::uint64_t ms = 0;      // since WriteFile was called
  bool completed = false;    // the request has completed: the driver took every byte
  bool have_count = false;   // ClearCommError answered
  std::uint32_t queued = 0;  // its COMSTAT.cbOutQue
};

enum class WriteState { kPending, kDraining, kStalled, kDone };

struct WriteDecision {
  WriteState state = WriteState::kPending;
  std::uint64_t taken = 0;    // report this much as taken (never less than before)
  std::uint32_t wait_ms = 0;  // look again after this long at most
};

class WriteWatch {
 public:
  WriteWatch(std::uint64_t asked, const LineSettings& line);

  // Feeds one look; observations come in time order. Once it has answered
  // kStalled or kDone, further looks change nothing.
  WriteDecision Observe(const WriteObservation& o);

  // What left the port of a write that was cut short (cancelled, stalled or
  // failed) at the moment of `at`: what the line could have carried by
  // then, less what a believable count says was still queued, and no more
  // than the request reported it transferred when it completed
  // (request_done, request_bytes).
  std::uint64_t SentWhenCut(const WriteObservation& at, bool request_done,
                            std::uint64_t request_bytes) const;

  // Bytes the line can carry in ms milliseconds.
  std::uint64_t LineBytes(std::uint64_t ms) const;
  // The line time of the whole request plus kWriteStallMs: no stall before.
  std::uint64_t StallNotBeforeMs() const;
  // Whether the count has moved since the first reading, and so is believed.
  bool CountBelieved() const { return moved_; }

 private:
  std::uint64_t asked_;
  LineSettings line_;
  WriteState state_ = WriteState::kPending;
  std::uint64_t taken_ = 0;
  bool have_first_ = false;
  std::uint32_t first_ = 0;
  bool moved_ = false;
  std::uint32_t lowest_ = 0;
  std::uint64_t lowest_ms_ = 0;  // when the count last reached a new low
  std::uint64_t drain_until_ms_ = 0;

  void Take(std::uint64_t count);
  void Count(const WriteObservation& o);
};

}  // namespace platform::win32
