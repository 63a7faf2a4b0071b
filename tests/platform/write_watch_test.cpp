// The Windows backend's decisions about one write, against models of what
// serial drivers report in COMSTAT.cbOutQue while a 946704-byte image (a
// 16 Mbit unit's) goes out at 115200 baud, 82 s on the line. The watch sees
// only the count, the time and whether the request completed.
#include "platform/win32/write_watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/win32/comm_config.h"

namespace {

using platform::win32::kWritePollMs;
using platform::win32::LineTimeMs;
using platform::win32::WriteDecision;
using platform::win32::WriteState;
using platform::win32::WriteWatch;

constexpr std::uint64_t kAsked = 946704;

platform::LineSettings Line115200() {
  platform::LineSettings s;
  s.baud = 115200;
  return s;
}

// One driver model: the driver completes the request once it holds no more
// than `buffer`; the line stops after `line_cap` bytes; `count` is what it
// reports with `left` bytes not yet on the line.
struct Driver {
  const char* name;
  std::uint64_t buffer;
  std::uint64_t line_cap;
  std::function<std::uint32_t(std::uint64_t left, bool completed)> count;
};

// Follows each model at the watch's own pace of looks, as the backend does.
// Only the line that stops is called stalled, at the first look at or past
// its line time plus 30 s; every other write is done once the line has
// carried it, and what is shown never runs ahead of the line. A cut at
// 20 s (Ctrl+C) counts what the line carried, within one 4 KB step: never
// the ring-buffer driver's "all but 4 KB".
TEST(WriteWatch, OnlyAStoppedLineIsStalledAndProgressNeverRunsAheadOfTheLine) {
  const auto whole = [](std::uint64_t left, bool) { return std::uint32_t(left); };
  const Driver drivers[] = {
      {"a count that falls smoothly", 16, kAsked, whole},
      {"the whole request until completion", 4096, kAsked,
       [](std::uint64_t left, bool done) { return std::uint32_t(done ? left : kAsked); }},
      {"4 KB steps", 4096, kAsked,
       [](std::uint64_t left, bool) {
         return std::uint32_t(std::min<std::uint64_t>((left + 4095) / 4096 * 4096, kAsked));
       }},
      {"0 throughout (Wine)", 4096, kAsked, [](std::uint64_t, bool) { return 0u; }},
      {"its ring buffer only", 4096, kAsked,
       [](std::uint64_t left, bool) { return std::uint32_t(std::min<std::uint64_t>(left, 4096)); }},
      {"a line that stops at half", 16, kAsked / 2, whole},
  };
  const std::uint64_t line_ms = LineTimeMs(kAsked, Line115200());
  for (const Driver& d : drivers) {
    SCOPED_TRACE(d.name);
    WriteWatch watch(kAsked, Line115200());
    WriteDecision dec;
    std::uint64_t ms = kWritePollMs, shown = 0;
    for (; ms < 300000; ms += dec.wait_ms) {
      const std::uint64_t sent = std::min<std::uint64_t>(ms * 11520 / 1000, d.line_cap);
      const bool completed = kAsked - sent <= d.buffer;
      const std::uint32_t queued = d.count(kAsked - sent, completed);
      dec = watch.Observe({ms, completed, true, queued});
      ASSERT_GE(dec.taken, shown) << ms;
      ASSERT_LE(dec.taken, watch.LineBytes(ms)) << "ahead of the line at " << ms;
      shown = dec.taken;
      if (ms == 20000) {
        const std::uint64_t cut = watch.SentWhenCut({ms, false, true, queued}, false, 0);
        EXPECT_LE(cut, sent + 4095);
        EXPECT_GE(cut + 4096, sent);
      }
      if (dec.state == WriteState::kStalled || dec.state == WriteState::kDone) break;
      ASSERT_GT(dec.wait_ms, 0u);
    }
    const bool stops = d.line_cap < kAsked;
    EXPECT_EQ(int(dec.state), int(stops ? WriteState::kStalled : WriteState::kDone));
    EXPECT_EQ(dec.taken, d.line_cap);
    if (stops) {
      EXPECT_GE(ms, line_ms + 30000);
      EXPECT_LT(ms, line_ms + 30000 + kWritePollMs);
    } else {
      EXPECT_LE(ms, line_ms + platform::win32::kDrainMarginMs);
    }
  }
}

// A count that never returns to 0 (stuck at 4096 once the request completed
// 1 s in, a driver with a large buffer) drains no longer than those 4096
// bytes' line time; a count that cannot be read ends it at once.
TEST(WriteWatch, TheDrainIsBoundedByWhatWasQueuedAtCompletion) {
  const platform::LineSettings line = Line115200();
  WriteWatch watch(kAsked, line);
  watch.Observe({100, false, true, std::uint32_t(kAsked)});
  WriteDecision d = watch.Observe({1000, true, true, 4096});
  std::uint64_t ms = 1000;
  while (d.state == WriteState::kDraining) {
    ms += d.wait_ms;
    d = watch.Observe({ms, true, true, 4096});
  }
  EXPECT_EQ(d.state, WriteState::kDone);
  EXPECT_EQ(d.taken, kAsked);
  const std::uint64_t bound = 1000 + LineTimeMs(4096, line) + platform::win32::kDrainMarginMs;
  EXPECT_GE(ms, bound);
  EXPECT_LT(ms, bound + kWritePollMs);
  EXPECT_EQ(WriteWatch(kAsked, line).Observe({82200, true, false, 0}).state, WriteState::kDone);
  // A cancel during the drain: what the driver still held was discarded;
  // with no count, the bytes the request reported bound it.
  WriteWatch cut(kAsked, line);
  cut.Observe({82000, true, true, 4000});
  EXPECT_EQ(cut.SentWhenCut({82100, false, true, 3000}, true, kAsked), kAsked - 3000);
  EXPECT_EQ(cut.SentWhenCut({82100, false, false, 0}, true, 1000), 1000u);
}

// With flow control on a good line may be held: past the line time a count
// that still reaches new lows is not stalled; 30 s after its last one it is.
TEST(WriteWatch, ACountThatStillFallsPastTheLineTimeHoldsOffTheStall) {
  WriteWatch watch(kAsked, Line115200());
  std::uint32_t queued = std::uint32_t(kAsked);
  std::uint64_t ms = 100;
  for (; ms < watch.StallNotBeforeMs() + 20000; ms += 100) {
    queued -= 300;
    ASSERT_EQ(watch.Observe({ms, false, true, queued}).state, WriteState::kPending) << ms;
  }
  for (const std::uint64_t last_low = ms - 100; ms < last_low + 30000; ms += 100)
    ASSERT_EQ(watch.Observe({ms, false, true, queued}).state, WriteState::kPending) << ms;
  EXPECT_EQ(watch.Observe({ms, false, true, queued}).state, WriteState::kStalled);
}

}  // namespace
