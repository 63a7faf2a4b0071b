// Threads, queues and timers: ordering, expiry and repetition, kill, and
// posts across threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <vector>

#include "platform/clock.h"
#include "platform/thread.h"

namespace {

using platform::Message;

struct Echo {
  platform::ThreadId reply_to = 0;
};

// Answers every message with the same kind and wparam + 1 until kMsgDestroy.
void EchoRoutine(void* arg) {
  auto* echo = static_cast<Echo*>(arg);
  Message m;
  while (platform::QueueGet(&m) == 0 && m.kind != platform::kMsgDestroy)
    platform::QueuePost(echo->reply_to, m.kind, m.wparam + 1, m.lparam);
}

TEST(Queue, PostedMessagesArriveInOrderAcrossThreads) {
  Echo echo{platform::ThreadCurrentId()};
  platform::Thread* t = nullptr;
  platform::ThreadId id = 0;
  ASSERT_EQ(platform::ThreadCreate(EchoRoutine, &echo, true, &t, &id), 0);
  ASSERT_NE(id, 0u);
  // The queue accepts posts before the thread runs.
  for (std::uint32_t i = 0; i < 100; ++i) ASSERT_EQ(platform::QueuePost(id, 3000, i * 10, i), 0);
  ASSERT_EQ(platform::ThreadResume(t), 0);
  for (std::uint32_t i = 0; i < 100; ++i) {
    Message m;
    ASSERT_EQ(platform::QueueGet(&m), 0);
    EXPECT_EQ(m.kind, 3000u);
    EXPECT_EQ(m.wparam, i * 10 + 1);
    EXPECT_EQ(m.lparam, i);
  }
  ASSERT_EQ(platform::QueuePost(id, platform::kMsgDestroy, 0, 0), 0);
  ASSERT_EQ(platform::ThreadWait(t, 10000), 0);
  platform::ThreadRelease(t);
  // The ended thread's queue is gone.
  EXPECT_TRUE(platform::ErrorIs(platform::QueuePost(id, 3000, 0, 0), platform::Failure::kNotFound));
  EXPECT_TRUE(
      platform::ErrorIs(platform::QueuePost(0xFFFFFFF0u, 3000, 0, 0), platform::Failure::kNotFound));
}

TEST(Queue, WaitThreadTimesOutOnARunningThread) {
  Echo echo{platform::ThreadCurrentId()};
  platform::Thread* t = nullptr;
  platform::ThreadId id = 0;
  ASSERT_EQ(platform::ThreadCreate(EchoRoutine, &echo, false, &t, &id), 0);
  EXPECT_TRUE(platform::ErrorIs(platform::ThreadWait(t, 20), platform::Failure::kStalled));
  platform::QueuePost(id, platform::kMsgDestroy, 0, 0);
  EXPECT_EQ(platform::ThreadWait(t, platform::kWaitForever), 0);
  platform::ThreadRelease(t);
}

TEST(Timer, RepeatsUntilKilledAndCarriesItsId) {
  const std::uint32_t start = platform::MilliClock();
  const std::uint32_t id = platform::TimerSet(20);
  ASSERT_NE(id, 0u);
  for (int i = 0; i < 3; ++i) {
    Message m;
    ASSERT_EQ(platform::QueueGet(&m), 0);
    EXPECT_EQ(m.kind, platform::kMsgTimer);
    EXPECT_EQ(m.wparam, id);
  }
  // Three expiries of a 20 ms timer cannot come sooner than 60 ms.
  EXPECT_GE(std::uint32_t(platform::MilliClock() - start), 59u);
  EXPECT_EQ(platform::TimerKill(id), 0);
  EXPECT_TRUE(platform::ErrorIs(platform::TimerKill(id), platform::Failure::kNotFound));
  // Nothing more arrives from it: a posted message is the next one.
  const platform::ThreadId self = platform::ThreadCurrentId();
  platform::QueuePost(self, 4200, 0, 0);
  Message m;
  ASSERT_EQ(platform::QueueGet(&m), 0);
  EXPECT_EQ(m.kind, 4200u);
}

TEST(Timer, PostedMessagesComeBeforeADueTimerAndKillDropsTheExpiry) {
  const platform::ThreadId self = platform::ThreadCurrentId();
  const std::uint32_t a = platform::TimerSet(10);
  const std::uint32_t b = platform::TimerSet(100000);
  platform::SleepMs(30);  // a is due
  ASSERT_EQ(platform::QueuePost(self, 4000, 1, 0), 0);
  Message m;
  ASSERT_EQ(platform::QueueGet(&m), 0);
  EXPECT_EQ(m.kind, 4000u);
  ASSERT_EQ(platform::TimerKill(a), 0);  // its due expiry is dropped
  const std::uint32_t c = platform::TimerSet(40);
  ASSERT_EQ(platform::QueueGet(&m), 0);
  EXPECT_EQ(m.kind, platform::kMsgTimer);
  EXPECT_EQ(m.wparam, c);
  EXPECT_EQ(platform::TimerKill(b), 0);
  EXPECT_EQ(platform::TimerKill(c), 0);
}

TEST(Timer, ABlockedGetWakesForAPostFromAnotherThread) {
  const platform::ThreadId self = platform::ThreadCurrentId();
  std::atomic<bool> posted{false};
  platform::Thread* t = nullptr;
  struct Arg {
    platform::ThreadId to;
    std::atomic<bool>* posted;
  } arg{self, &posted};
  ASSERT_EQ(platform::ThreadCreate(
                [](void* p) {
                  auto* a = static_cast<Arg*>(p);
                  platform::SleepMs(30);
                  a->posted->store(true);
                  platform::QueuePost(a->to, 4100, 7, 0);
                },
                &arg, false, &t, nullptr),
            0);
  Message m;
  ASSERT_EQ(platform::QueueGet(&m), 0);
  EXPECT_TRUE(posted.load());
  EXPECT_EQ(m.kind, 4100u);
  EXPECT_EQ(m.wparam, 7u);
  platform::ThreadWait(t, platform::kWaitForever);
  platform::ThreadRelease(t);
}

TEST(Timer, AZeroPeriodDoesNotSpin) {
  const std::uint32_t id = platform::TimerSet(0);
  ASSERT_NE(id, 0u);
  const std::uint32_t start = platform::MilliClock();
  for (int i = 0; i < 3; ++i) {
    Message m;
    ASSERT_EQ(platform::QueueGet(&m), 0);
    EXPECT_EQ(m.wparam, id);
  }
  EXPECT_GE(std::uint32_t(platform::MilliClock() - start), 29u);
  EXPECT_EQ(platform::TimerKill(id), 0);
}

TEST(Queue, AThreadReleasedBeforeItRanNeverRunsItsRoutine) {
  static std::atomic<bool> ran{false};
  platform::Thread* t = nullptr;
  platform::ThreadId id = 0;
  ASSERT_EQ(platform::ThreadCreate([](void*) { ran = true; }, nullptr, true, &t, &id), 0);
  platform::ThreadRelease(t);
  // Its queue goes with it, once the let-go thread has ended.
  for (int i = 0; i < 200 && platform::QueuePost(id, 3000, 0, 0) == 0; ++i)
    platform::SleepMs(5);
  EXPECT_TRUE(platform::ErrorIs(platform::QueuePost(id, 3000, 0, 0), platform::Failure::kNotFound));
  EXPECT_FALSE(ran.load());
}

TEST(Clock, MilliClockAdvancesAndLocalTimeIsPlausible) {
  const std::uint32_t a = platform::MilliClock();
  platform::SleepMs(15);
  EXPECT_GE(std::uint32_t(platform::MilliClock() - a), 15u);
  platform::LocalTime now;
  platform::LocalTimeNow(&now);
  EXPECT_GE(now.year, 2020);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_LE(now.hour, 23);
}

}  // namespace
