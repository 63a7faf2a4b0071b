// The platform's serial, queue and port-list services against their contract, from
// portable code only, so that the same suite runs on every backend: natively
// on Linux, and under Wine for the Windows build. The serial cases talk to
// the simulated unit on the port named by CONTRACT_PORT (the Linux build
// starts one itself; the Wine suite maps COM3 to one).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/port_list.h"
#include "platform/serial.h"
#include "platform/thread.h"

namespace {

using platform::ErrorIs;
using platform::Failure;
using platform::SerialPort;

TEST(QueueContract, PostsArriveInOrderTimersRepeatAndEndedQueuesAreGone) {
  platform::ThreadId me = platform::ThreadCurrentId();
  platform::Thread* t = nullptr;
  platform::ThreadId id = 0;
  ASSERT_EQ(platform::ThreadCreate(
                [](void* arg) {
                  // Echo until kMsgDestroy, then answer with the timer count.
                  const auto to = *static_cast<platform::ThreadId*>(arg);
                  platform::Message m;
                  while (platform::QueueGet(&m) == 0 && m.kind != platform::kMsgDestroy)
                    platform::QueuePost(to, m.kind, m.wparam + 1, m.lparam);
                },
                &me, true, &t, &id),
            0);
  for (std::uint32_t i = 0; i < 50; ++i) ASSERT_EQ(platform::QueuePost(id, 3000, i, i), 0);
  ASSERT_EQ(platform::ThreadResume(t), 0);
  for (std::uint32_t i = 0; i < 50; ++i) {
    platform::Message m;
    ASSERT_EQ(platform::QueueGet(&m), 0);
    EXPECT_EQ(m.wparam, i + 1);
  }
  const std::uint32_t timer = platform::TimerSet(20);
  ASSERT_NE(timer, 0u);
  for (int i = 0; i < 3; ++i) {
    platform::Message m;
    ASSERT_EQ(platform::QueueGet(&m), 0);
    EXPECT_EQ(m.kind, platform::kMsgTimer);
    EXPECT_EQ(m.wparam, timer);
  }
  EXPECT_EQ(platform::TimerKill(timer), 0);
  EXPECT_TRUE(ErrorIs(platform::TimerKill(timer), Failure::kNotFound));
  ASSERT_EQ(platform::QueuePost(id, platform::kMsgDestroy, 0, 0), 0);
  ASSERT_EQ(platform::ThreadWait(t, 10000), 0);
  platform::ThreadRelease(t);
  EXPECT_TRUE(ErrorIs(platform::QueuePost(id, 3000, 0, 0), Failure::kNotFound));
}

class SerialContract : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* name = std::getenv("CONTRACT_PORT");
    if (!name || !*name) GTEST_SKIP() << "CONTRACT_PORT names no port";
    ASSERT_EQ(platform::SerialOpen(name, &port_), 0);
    platform::LineSettings s;
    ASSERT_EQ(platform::SerialSetSettings(port_, s), 0);  // 19200 8N1
    ASSERT_EQ(platform::SerialSetModemLines(port_, true, false), 0);
    ASSERT_EQ(platform::SerialPurge(port_, platform::kPurgeRx | platform::kPurgeTx), 0);
  }
  void TearDown() override { platform::SerialClose(port_); }

  // Sends a command and collects the answer up to EOT (or an error).
  std::string Ask(const std::string& command) {
    std::size_t written = 0;
    EXPECT_EQ(platform::SerialWrite(port_, command.data(), command.size(), &written), 0);
    EXPECT_EQ(platform::SerialSetEventMask(port_, platform::kEventRxChar), 0);
    std::string got;
    while (got.find('\x04') == std::string::npos) {
      std::uint32_t events = 0;
      if (platform::SerialWaitEvent(port_, &events) != 0) break;
      EXPECT_EQ(events, platform::kEventRxChar);
      std::uint32_t queued = 0;
      EXPECT_EQ(platform::SerialQueuedInput(port_, &queued), 0);
      EXPECT_GT(queued, 0u);  // the byte that ended the wait counts
      char buf[64];
      std::size_t n = 0;
      if (platform::SerialRead(port_, buf, sizeof buf, &n) != 0) break;
      got.append(buf, n);
    }
    return got;
  }

  SerialPort* port_ = nullptr;
};

TEST_F(SerialContract, SettingsApplyAndReadBackAndUnknownSpeedsAreRefused) {
  platform::LineSettings s;
  s.baud = 115200;
  ASSERT_EQ(platform::SerialSetSettings(port_, s), 0);
  platform::LineSettings back;
  ASSERT_EQ(platform::SerialGetSettings(port_, &back), 0);
  EXPECT_EQ(back.baud, 115200u);
  EXPECT_EQ(back.data_bits, 8);
  EXPECT_EQ(back.parity, 'N');
  EXPECT_EQ(back.stop_bits, 1);
  EXPECT_FALSE(back.rts_cts);
  EXPECT_FALSE(back.xon_xoff);
  s.baud = 12345;
  EXPECT_TRUE(ErrorIs(platform::SerialSetSettings(port_, s), Failure::kInvalid));
  ASSERT_EQ(platform::SerialGetSettings(port_, &back), 0);
  EXPECT_EQ(back.baud, 115200u);
}

TEST_F(SerialContract, ACommandIsAnsweredByteExactWithProgressReported) {
  std::size_t last = 0;
  std::size_t written = 0;
  const std::string command = "VER 1\r";
  ASSERT_EQ(platform::SerialWrite(
                port_, command.data(), command.size(), &written,
                [](std::size_t taken, void* ctx) { *static_cast<std::size_t*>(ctx) = taken; },
                &last),
            0);
  EXPECT_EQ(written, command.size());
  EXPECT_EQ(last, command.size());
  // Nothing translated on the way in: CR LF and EOT as the unit sent them.
  EXPECT_EQ(Ask(""), "OK VER 1\r\nREADY\r\n\x04");
}

TEST_F(SerialContract, ClearingTheMaskEndsAWaitFromAnotherThreadAndStaysEffective) {
  ASSERT_EQ(platform::SerialSetEventMask(port_, platform::kEventRxChar), 0);
  std::atomic<int> result{-1};
  std::atomic<std::uint32_t> events{99};
  std::thread waiter([&] {
    std::uint32_t ev = 99;
    result = platform::SerialWaitEvent(port_, &ev);
    events = ev;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(platform::SerialSetEventMask(port_, 0), 0);
  waiter.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(events.load(), 0u);
  std::uint32_t ev = 99;
  EXPECT_EQ(platform::SerialWaitEvent(port_, &ev), 0);
  EXPECT_EQ(ev, 0u);
  // The port still works after the ended wait: nothing was lost or doubled.
  EXPECT_EQ(Ask("VER 2\r"), "OK VER 2\r\nREADY\r\n\x04");
}

TEST_F(SerialContract, CancelledWritesFailFromThenOnAndReadingGoesOn) {
  platform::SerialCancelWrites(port_);
  std::size_t written = 99;
  EXPECT_TRUE(ErrorIs(platform::SerialWrite(port_, "VER\r", 4, &written), Failure::kCancelled));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(ErrorIs(platform::SerialWrite(port_, "VER\r", 4, &written), Failure::kCancelled));
  std::uint32_t queued = 99;
  EXPECT_EQ(platform::SerialQueuedInput(port_, &queued), 0);
  EXPECT_EQ(queued, 0u);
}

TEST(SerialContractOpen, APortThatDoesNotExistFailsAsNotFound) {
  SerialPort* port = nullptr;
  const char* missing = std::getenv("CONTRACT_MISSING_PORT");
  if (!missing || !*missing) GTEST_SKIP() << "CONTRACT_MISSING_PORT names no port";
  EXPECT_TRUE(ErrorIs(platform::SerialOpen(missing, &port), Failure::kNotFound));
}

// What the list holds depends on the machine (under Wine, Wine's own COM
// ports), so only its shape is checked: it is read without failing, every
// entry has a name and a known kind, and the groups come in order.
TEST(PortListContract, ListsEveryPortNamedWithAKnownKindInGroupOrder) {
  std::vector<platform::SerialPortInfo> ports;
  ASSERT_EQ(platform::SerialPortList(&ports), 0);
  const std::vector<std::string> kinds = {"usb", "acm", "uart", "other"};
  std::size_t last = 0;
  for (const platform::SerialPortInfo& p : ports) {
    EXPECT_FALSE(p.name.empty());
    const auto kind = std::find(kinds.begin(), kinds.end(), p.kind);
    ASSERT_NE(kind, kinds.end()) << p.name << ": " << p.kind;
    const std::size_t rank = std::size_t(kind - kinds.begin());
    EXPECT_GE(rank, last) << p.name;
    last = rank;
  }
}

}  // namespace
