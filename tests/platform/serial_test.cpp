// The serial port layer against a pseudo-terminal: the test holds the master
// side and plays the device.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <stdlib.h>
#include <termios.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "platform/serial.h"
#include "tests/support/pty.h"

namespace {

using platform::SerialPort;
using testsupport::PtyPair;

struct OpenPort {
  SerialPort* port = nullptr;
  explicit OpenPort(const std::string& path) {
    EXPECT_EQ(platform::SerialOpen(path.c_str(), &port), 0);
  }
  ~OpenPort() { platform::SerialClose(port); }
};

// Reads everything the port holds now, after a wait said input is there.
std::string Drain(SerialPort* port) {
  std::string got;
  char buf[256];
  for (;;) {
    std::size_t n = 0;
    if (platform::SerialRead(port, buf, sizeof buf, &n) != 0 || n == 0) return got;
    got.append(buf, n);
  }
}

TEST(SerialOpen, MapsComNamesThroughTheEnvironment) {
  PtyPair pty;
  ::setenv("COM57", pty.slave_path().c_str(), 1);
  SerialPort* port = nullptr;
  ASSERT_EQ(platform::SerialOpen("COM57", &port), 0);
  platform::SerialClose(port);
  ::unsetenv("COM57");

  // Without the variable COM<n> names /dev/ttyS<n-1>; a number far beyond
  // any device fails like a missing device.
  EXPECT_NE(platform::SerialOpen("COM99999", &port), 0);
  EXPECT_EQ(platform::SerialOpen("/nonexistent/tty", &port), ENOENT);
}

TEST(SerialOpen, SecondOpenOfAHeldPortIsBusyAndCloseReleasesIt) {
  PtyPair pty;
  SerialPort* first = nullptr;
  SerialPort* second = nullptr;
  ASSERT_EQ(platform::SerialOpen(pty.slave_path().c_str(), &first), 0);
  EXPECT_EQ(platform::SerialOpen(pty.slave_path().c_str(), &second), EBUSY);
  // Held exclusively while open; the flag is cleared at close, or it would
  // outlive the descriptor on a pseudo-terminal and lock out the next
  // run of a user who is not root (root is never locked out, so look at
  // the flag itself).
  int exclusive = 0;
  ASSERT_EQ(ioctl(pty.slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  platform::SerialClose(first);
  ASSERT_EQ(ioctl(pty.slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  ASSERT_EQ(platform::SerialOpen(pty.slave_path().c_str(), &second), 0);
  platform::SerialClose(second);
}

TEST(SerialOpen, RefusesSomethingThatIsNotATerminal) {
  SerialPort* port = nullptr;
  EXPECT_EQ(platform::SerialOpen("/dev/null", &port), ENOTTY);
}

TEST(SerialSettings, AppliedSettingsReadBackOnTheOtherSide) {
  PtyPair pty;
  OpenPort p(pty.slave_path());
  platform::LineSettings s;
  s.baud = 115200;
  ASSERT_EQ(platform::SerialSetSettings(p.port, s), 0);
  EXPECT_EQ(pty.SlaveBaud(), 115200u);

  termios t{};
  ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));

  platform::LineSettings back;
  ASSERT_EQ(platform::SerialGetSettings(p.port, &back), 0);
  EXPECT_EQ(back.baud, 115200u);
  EXPECT_EQ(back.data_bits, 8);
  EXPECT_EQ(back.parity, 'N');
  EXPECT_EQ(back.stop_bits, 1);

  s.baud = 12345;
  EXPECT_EQ(platform::SerialSetSettings(p.port, s), EINVAL);
  EXPECT_EQ(pty.SlaveBaud(), 115200u);
  // A pseudo-terminal has no modem lines; that is not an error.
  EXPECT_EQ(platform::SerialSetModemLines(p.port, true, false), 0);
}

TEST(SerialWait, ReportsInputAndReadsItWithoutLoss) {
  PtyPair pty;
  OpenPort p(pty.slave_path());
  ASSERT_EQ(platform::SerialSetEventMask(p.port, platform::kEventRxChar), 0);
  pty.Send(std::string("A\r\n\x00\xff", 5));
  std::string got;
  while (got.size() < 5) {
    std::uint32_t ev = 0;
    ASSERT_EQ(platform::SerialWaitEvent(p.port, &ev), 0);
    ASSERT_EQ(ev, platform::kEventRxChar);
    got += Drain(p.port);
  }
  EXPECT_EQ(got, std::string("A\r\n\x00\xff", 5));  // raw: nothing translated
}

TEST(SerialWait, ClearingTheMaskEndsAWaitAndStaysEffective) {
  PtyPair pty;
  OpenPort p(pty.slave_path());
  ASSERT_EQ(platform::SerialSetEventMask(p.port, platform::kEventRxChar), 0);
  std::atomic<int> result{-1};
  std::atomic<std::uint32_t> events{99};
  std::thread waiter([&] {
    std::uint32_t ev = 99;
    result = platform::SerialWaitEvent(p.port, &ev);
    events = ev;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(platform::SerialSetEventMask(p.port, 0), 0);
  waiter.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(events.load(), 0u);

  // Still cleared: the next wait ends at once, even with input waiting.
  pty.Send("X");
  std::uint32_t ev = 99;
  EXPECT_EQ(platform::SerialWaitEvent(p.port, &ev), 0);
  EXPECT_EQ(ev, 0u);
  // A non-zero mask withdraws the wake-up.
  ASSERT_EQ(platform::SerialSetEventMask(p.port, platform::kEventRxChar), 0);
  EXPECT_EQ(platform::SerialWaitEvent(p.port, &ev), 0);
  EXPECT_EQ(ev, platform::kEventRxChar);
}

TEST(SerialRead, AQuietLineReadsNothingAndIsNotTakenForAHangUp) {
  PtyPair pty;
  OpenPort p(pty.slave_path());
  char c = 0;
  std::size_t got = 1;
  EXPECT_EQ(platform::SerialRead(p.port, &c, 1, &got), 0);
  EXPECT_EQ(got, 0u);
  pty.Send("Z");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(platform::SerialRead(p.port, &c, 1, &got), 0);
  EXPECT_EQ(got, 1u);
  EXPECT_EQ(c, 'Z');
}

TEST(SerialWait, HangUpEndsTheWaitWithAnErrorEveryTime) {
  PtyPair pty;
  OpenPort p(pty.slave_path());
  ASSERT_EQ(platform::SerialSetEventMask(p.port, platform::kEventRxChar), 0);
  std::atomic<int> result{-1};
  std::thread waiter([&] {
    std::uint32_t ev = 0;
    result = platform::SerialWaitEvent(p.port, &ev);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  pty.HangUp();
  waiter.join();
  EXPECT_NE(result.load(), 0);
  std::uint32_t ev = 0;
  EXPECT_NE(platform::SerialWaitEvent(p.port, &ev), 0);  // no readiness loop
  char c;
  std::size_t got = 0;
  EXPECT_NE(platform::SerialRead(p.port, &c, 1, &got), 0);
  std::size_t written = 0;
  EXPECT_NE(platform::SerialWrite(p.port, "VPL\r", 4, &written), 0);
}

TEST(SerialWrite, LargeWriteArrivesIntactWhileAnotherThreadWaits) {
  PtyPair pty;
  OpenPort p(pty.slave_path());
  ASSERT_EQ(platform::SerialSetEventMask(p.port, platform::kEventRxChar), 0);
  std::atomic<int> wait_result{-1};
  std::thread waiter([&] {
    std::uint32_t ev = 0;
    wait_result = platform::SerialWaitEvent(p.port, &ev);
  });

  std::string data(300000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = char((i * 7 + i / 251) & 0xFF);
  std::string received;
  std::thread reader([&] { received = pty.Receive(data.size(), 60000); });
  std::size_t written = 0;
  EXPECT_EQ(platform::SerialWrite(p.port, data.data(), data.size(), &written), 0);
  EXPECT_EQ(written, data.size());
  reader.join();
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);

  platform::SerialSetEventMask(p.port, 0);
  waiter.join();
  EXPECT_EQ(wait_result.load(), 0);
}

TEST(SerialWrite, PeerGoneDuringAWriteFails) {
  PtyPair pty;
  OpenPort p(pty.slave_path());
  std::string data(1 << 20, 'x');  // far more than the pty buffers
  std::thread closer([&] {
    pty.Receive(1000, 5000);
    pty.HangUp();
  });
  std::size_t written = 0;
  const int rc = platform::SerialWrite(p.port, data.data(), data.size(), &written);
  closer.join();
  EXPECT_NE(rc, 0);
  EXPECT_LT(written, data.size());
}

}  // namespace
