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

// Answers every message with the same kind and wparam + 1 until MSG_DESTROY.
void EchoRoutine(void* arg) {
  auto* echo = static_cast<Echo*>(arg);
  Message m;
  while (platform::GetMessage(&m) == 0 && m.kind != platform::MSG_DESTROY)
    platform::PostMessage(echo->reply_to, m.kind, m.wparam + 1, m.lparam);
}

TEST(Queue, PostedMessagesArriveInOrderAcrossThreads) {
  Echo echo{platform::CurrentThreadId()};
  platform::Thread* t = nullptr;
  platform::ThreadId id = 0;
  ASSERT_EQ(platform::CreateThread(EchoRoutine, &echo, true, &t, &id), 0);
  ASSERT_NE(id, 0u);
  // The queue accepts posts before the thread runs.
  for (std::uint32_t i = 0; i < 100; ++i) ASSERT_EQ(platform::PostMessage(id, 3000, i * 10, i), 0);
  ASSERT_EQ(platform::ResumeThread(t), 0);
  for (std::uint32_t i = 0; i < 100; ++i) {
    Message m;
    ASSERT_EQ(platform::GetMessage(&m), 0);
    EXPECT_EQ(m.kind, 3000u);
    EXPECT_EQ(m.wparam, i * 10 + 1);
    EXPECT_EQ(m.lparam, i);
  }
  ASSERT_EQ(platform::PostMessage(id, platform::MSG_DESTROY, 0, 0), 0);
  ASSERT_EQ(platform::WaitThread(t, 10000), 0);
  platform::ReleaseThread(t);
  // The ended thread's queue is gone.
  EXPECT_EQ(platform::PostMessage(id, 3000, 0, 0), ESRCH);
  EXPECT_EQ(platform::PostMessage(0xFFFFFFF0u, 3000, 0, 0), ESRCH);
}

TEST(Queue, WaitThreadTimesOutOnARunningThread) {
  Echo echo{platform::CurrentThreadId()};
  platform::Thread* t = nullptr;
  platform::ThreadId id = 0;
  ASSERT_EQ(platform::CreateThread(EchoRoutine, &echo, false, &t, &id), 0);
  EXPECT_EQ(platform::WaitThread(t, 20), ETIMEDOUT);
  platform::PostMessage(id, platform::MSG_DESTROY, 0, 0);
  EXPECT_EQ(platform::WaitThread(t, platform::kWaitForever), 0);
  platform::ReleaseThread(t);
}

TEST(Timer, RepeatsUntilKilledAndCarriesItsId) {
  const std::uint32_t start = platform::MilliClock();
  const std::uint32_t id = platform::SetTimer(20);
  ASSERT_NE(id, 0u);
  for (int i = 0; i < 3; ++i) {
    Message m;
    ASSERT_EQ(platform::GetMessage(&m), 0);
    EXPECT_EQ(m.kind, platform::MSG_TIMER);
    EXPECT_EQ(m.wparam, id);
  }
  // Three expiries of a 20 ms timer cannot come sooner than 60 ms.
  EXPECT_GE(std::uint32_t(platform::MilliClock() - start), 59u);
  EXPECT_EQ(platform::KillTimer(id), 0);
  EXPECT_EQ(platform::KillTimer(id), ENOENT);
  // Nothing more arrives from it: a posted message is the next one.
  const platform::ThreadId self = platform::CurrentThreadId();
  platform::PostMessage(self, 4200, 0, 0);
  Message m;
  ASSERT_EQ(platform::GetMessage(&m), 0);
  EXPECT_EQ(m.kind, 4200u);
}

TEST(Timer, PostedMessagesComeBeforeADueTimerAndKillDropsTheExpiry) {
  const platform::ThreadId self = platform::CurrentThreadId();
  const std::uint32_t a = platform::SetTimer(10);
  const std::uint32_t b = platform::SetTimer(100000);
  platform::SleepMs(30);  // a is due
  ASSERT_EQ(platform::PostMessage(self, 4000, 1, 0), 0);
  Message m;
  ASSERT_EQ(platform::GetMessage(&m), 0);
  EXPECT_EQ(m.kind, 4000u);
  ASSERT_EQ(platform::KillTimer(a), 0);  // its due expiry is dropped
  const std::uint32_t c = platform::SetTimer(40);
  ASSERT_EQ(platform::GetMessage(&m), 0);
  EXPECT_EQ(m.kind, platform::MSG_TIMER);
  EXPECT_EQ(m.wparam, c);
  EXPECT_EQ(platform::KillTimer(b), 0);
  EXPECT_EQ(platform::KillTimer(c), 0);
}

TEST(Timer, ABlockedGetWakesForAPostFromAnotherThread) {
  const platform::ThreadId self = platform::CurrentThreadId();
  std::atomic<bool> posted{false};
  platform::Thread* t = nullptr;
  struct Arg {
    platform::ThreadId to;
    std::atomic<bool>* posted;
  } arg{self, &posted};
  ASSERT_EQ(platform::CreateThread(
                [](void* p) {
                  auto* a = static_cast<Arg*>(p);
                  platform::SleepMs(30);
                  a->posted->store(true);
                  platform::PostMessage(a->to, 4100, 7, 0);
                },
                &arg, false, &t, nullptr),
            0);
  Message m;
  ASSERT_EQ(platform::GetMessage(&m), 0);
  EXPECT_TRUE(posted.load());
  EXPECT_EQ(m.kind, 4100u);
  EXPECT_EQ(m.wparam, 7u);
  platform::WaitThread(t, platform::kWaitForever);
  platform::ReleaseThread(t);
}

TEST(Timer, AZeroPeriodDoesNotSpin) {
  const std::uint32_t id = platform::SetTimer(0);
  ASSERT_NE(id, 0u);
  const std::uint32_t start = platform::MilliClock();
  for (int i = 0; i < 3; ++i) {
    Message m;
    ASSERT_EQ(platform::GetMessage(&m), 0);
    EXPECT_EQ(m.wparam, id);
  }
  EXPECT_GE(std::uint32_t(platform::MilliClock() - start), 29u);
  EXPECT_EQ(platform::KillTimer(id), 0);
}

TEST(Queue, AThreadReleasedBeforeItRanNeverRunsItsRoutine) {
  static std::atomic<bool> ran{false};
  platform::Thread* t = nullptr;
  platform::ThreadId id = 0;
  ASSERT_EQ(platform::CreateThread([](void*) { ran = true; }, nullptr, true, &t, &id), 0);
  platform::ReleaseThread(t);
  // Its queue goes with it, once the let-go thread has ended.
  for (int i = 0; i < 200 && platform::PostMessage(id, 3000, 0, 0) == 0; ++i)
    platform::SleepMs(5);
  EXPECT_EQ(platform::PostMessage(id, 3000, 0, 0), ESRCH);
  EXPECT_FALSE(ran.load());
}

TEST(Clock, MilliClockAdvancesAndLocalTimeIsPlausible) {
  const std::uint32_t a = platform::MilliClock();
  platform::SleepMs(15);
  EXPECT_GE(std::uint32_t(platform::MilliClock() - a), 15u);
  platform::LocalTime now;
  platform::GetLocalTime(&now);
  EXPECT_GE(now.year, 2020);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_LE(now.hour, 23);
}

}  // namespace
