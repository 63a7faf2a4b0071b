// The downloader's serial link in-process: the test thread plays the main
// thread (it posts requests and takes the worker's messages from its own
// queue), the master side of a pseudo-terminal plays the unit, and the run
// log is read back from the test's working directory.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "downloader/messages.h"
#include "downloader/receiver.h"
#include "downloader/run_log.h"
#include "downloader/serial_worker.h"
#include "downloader/transmitter.h"
#include "platform/file.h"
#include "platform/serial.h"
#include "tests/support/process.h"
#include "tests/support/pty.h"

using namespace tonecast;

namespace {

using testsupport::PtyPair;
using testsupport::TempDir;

constexpr int kPort = 7;           // COM7 -> the pseudo-terminal, through the environment
constexpr std::uint32_t kHangMs = 10000;  // only to catch a hang

// Log text with every timestamp ("2006/04/25 10:00:05") replaced by "TS".
std::string Normalize(const std::string& log) {
  static constexpr char kShape[] = "dddd/dd/dd dd:dd:dd";
  constexpr std::size_t kLen = sizeof kShape - 1;
  auto stamp_at = [&](std::size_t at) {
    if (at + kLen > log.size()) return false;
    for (std::size_t i = 0; i < kLen; ++i) {
      const char c = log[at + i];
      if (kShape[i] == 'd' ? (c < '0' || c > '9') : c != kShape[i]) return false;
    }
    return true;
  };
  std::string out;
  for (std::size_t at = 0; at < log.size();) {
    if (stamp_at(at)) {
      out += "TS";
      at += kLen;
    } else {
      out += log[at++];
    }
  }
  return out;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class SerialLink : public ::testing::Test {
 protected:
  void SetUp() override {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    saved_cwd_ = cwd;
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    setenv("COM7", pty_.slave_path().c_str(), 1);
    g_thread_slots[0].id = platform::ThreadCurrentId();
  }

  void TearDown() override {
    if (g_thread_slots[1].handle) {
      StopReceiving();
      StopWorker(1);
    }
    // Leave the queue empty for the next test of this process.
    const std::uint32_t timer = platform::TimerSet(20);
    for (platform::Message m; platform::QueueGet(&m) == 0;) {
      if (m.kind == UM_LINE) delete[] reinterpret_cast<char*>(m.lparam);
      if (m.kind == platform::kMsgTimer && m.wparam == timer) break;
    }
    platform::TimerKill(timer);
    unsetenv("COM7");
    ASSERT_EQ(chdir(saved_cwd_.c_str()), 0);
  }

  // The next message of the test thread's queue; kind 0 when none came.
  platform::Message Next(std::uint32_t timeout_ms = kHangMs) {
    const std::uint32_t timer = platform::TimerSet(timeout_ms);
    platform::Message m;
    const int rc = platform::QueueGet(&m);
    platform::TimerKill(timer);
    if (rc != 0 || (m.kind == platform::kMsgTimer && m.wparam == timer)) {
      ADD_FAILURE() << "no message within " << timeout_ms << " ms";
      return {};
    }
    return m;
  }

  // Posts a request and returns the reply's wparam (-1: no reply).
  std::int64_t Request(std::uint32_t kind, std::uint32_t wparam, std::uintptr_t lparam = 0) {
    EXPECT_EQ(platform::QueuePost(g_thread_slots[1].id, kind, wparam, lparam), 0);
    const platform::Message m = Next();
    EXPECT_EQ(m.kind, kind);
    return m.kind == kind ? std::int64_t(m.wparam) : -1;
  }

  void StartAndOpen() {
    ASSERT_EQ(StartWorker(1), 1);
    ASSERT_EQ(Request(UM_OPEN, kPort, CABLE_DTR), 0);
  }

  // The text of the next UM_LINE; its length must match the text.
  std::string Line() {
    const platform::Message m = Next();
    EXPECT_EQ(m.kind, UM_LINE);
    if (m.kind != UM_LINE) return "<kind " + std::to_string(m.kind) + ">";
    const char* text = reinterpret_cast<const char*>(m.lparam);
    std::string line(text, m.wparam);
    EXPECT_EQ(text[m.wparam], '\0');
    delete[] text;
    return line;
  }

  // Closes the port and ends the worker as the shutdown does.
  void Finish() {
    StopReceiving();
    EXPECT_EQ(Request(UM_CLOSE, 0), 0);
    StopReceiving();
    StopWorker(1);
  }

  std::string Log() { return Normalize(testsupport::ReadFile(kRunLogName)); }

  // Waits until the log holds `n` stop receiving records.
  bool WaitForStops(std::size_t n) {
    for (std::uint32_t waited = 0; waited < kHangMs; waited += 5) {
      if (Count(Log(), "stop receiving at") >= n) return true;
      platform::SleepMs(5);
    }
    return false;
  }

  // Waits until the worker has read everything the unit sent. Only sound
  // once the bytes have reached the port: send them behind a line and take
  // that line first.
  void WaitConsumed() {
    for (std::uint32_t waited = 0; waited < kHangMs; waited += 2) {
      int queued = -1;
      if (ioctl(pty_.slave(), FIONREAD, &queued) == 0 && queued == 0) return;
      platform::SleepMs(2);
    }
    ADD_FAILURE() << "the worker did not read its input";
  }

  // Waits until bytes sent by the unit have reached the port's input queue.
  void WaitQueued() {
    for (std::uint32_t waited = 0; waited < kHangMs; waited += 2) {
      int queued = 0;
      if (ioctl(pty_.slave(), FIONREAD, &queued) == 0 && queued > 0) return;
      platform::SleepMs(2);
    }
    ADD_FAILURE() << "the bytes did not arrive";
  }

  TempDir dir_;
  PtyPair pty_;
  std::string saved_cwd_;
};

// --- Line assembly, through the pseudo-terminal ---

TEST_F(SerialLink, ReplyBecomesOneLineAndOneRecvRecord) {
  StartAndOpen();
  pty_.Send("ACK\r\n");
  const platform::Message m = Next();
  ASSERT_EQ(m.kind, UM_LINE);
  EXPECT_EQ(m.wparam, 3u);
  EXPECT_STREQ(reinterpret_cast<const char*>(m.lparam), "ACK");
  delete[] reinterpret_cast<char*>(m.lparam);
  Finish();
  EXPECT_EQ(Count(Log(), "RECV TS size:3\n     ACK\n\n"), 1u);
}

TEST_F(SerialLink, FramingDropsCrAndNulAndEmptyLines) {
  StartAndOpen();
  pty_.Send("S\nFI");
  EXPECT_EQ(Line(), "S");
  WaitConsumed();
  pty_.Send("N OK\n");
  EXPECT_EQ(Line(), "FIN OK");  // split across arrivals, no CR
  pty_.Send(std::string("A\rB\nA\0B\n", 8));
  EXPECT_EQ(Line(), "AB");
  EXPECT_EQ(Line(), "AB");
  pty_.Send("\r\n\n\n\xff\x01x\n");
  EXPECT_EQ(Line(), "\xff\x01x");  // empties gave nothing; high bytes pass
  Finish();
  EXPECT_EQ(Count(Log(), "RECV "), 5u);
  EXPECT_EQ(Count(Log(), "size:0"), 0u);
}

TEST_F(SerialLink, LongLinesOverflowAt128Bytes) {
  StartAndOpen();
  std::string l127, l128, l130;
  for (int i = 0; i < 130; ++i) {
    const char c = char('A' + i % 26);
    if (i < 127) l127 += c;
    if (i < 128) l128 += char('a' + i % 26);
    l130 += char('0' + i % 10);
  }
  pty_.Send(l127 + "\n");
  EXPECT_EQ(Line(), l127);
  pty_.Send(l128);  // overflows: no message
  pty_.Send("Z\n");
  EXPECT_EQ(Line(), "Z");
  pty_.Send(l130 + "\n");
  EXPECT_EQ(Line(), l130.substr(128));
  Finish();
  const std::string log = Log();
  EXPECT_EQ(Count(log, "BFUL TS \n     " + l128 + "\n\n"), 1u);
  EXPECT_EQ(Count(log, "BFUL TS \n     " + l130.substr(0, 128) + "\n\n"), 1u);
  EXPECT_EQ(Count(log, "RECV TS size:127\n     " + l127 + "\n\n"), 1u);
  EXPECT_EQ(Count(log, "BFUL"), 2u);
  EXPECT_EQ(g_serial.load(), nullptr);  // released once the worker ended
}

TEST_F(SerialLink, PartialLineSurvivesASpeedChange) {
  StartAndOpen();
  pty_.Send("S\nFIN");
  EXPECT_EQ(Line(), "S");
  WaitConsumed();
  StopReceiving();
  ASSERT_EQ(Request(UM_BAUD, 115200), 0);
  pty_.Send(" OK\r\n");
  EXPECT_EQ(Line(), "FIN OK");
  Finish();
}

// --- Port control ---

TEST_F(SerialLink, SpeedsAndPurgesAtOpenAndSpeedChange) {
  pty_.Send("OLD\n");  // queued before the open: purged by it
  WaitQueued();
  StartAndOpen();
  EXPECT_EQ(pty_.SlaveBaud(), 19200u);
  pty_.Send("NEW\n");
  EXPECT_EQ(Line(), "NEW");

  StopReceiving();
  ASSERT_TRUE(WaitForStops(1));
  pty_.Send("STALE\n");  // arrives while nobody receives: purged by the change
  WaitQueued();
  ASSERT_EQ(Request(UM_BAUD, 115200), 0);
  EXPECT_EQ(pty_.SlaveBaud(), 115200u);
  pty_.Send("FRESH\n");
  EXPECT_EQ(Line(), "FRESH");

  StopReceiving();
  ASSERT_EQ(Request(UM_BAUD, 19200), 0);
  EXPECT_EQ(pty_.SlaveBaud(), 19200u);
  Finish();
}

TEST_F(SerialLink, FullCycleWritesRecordsInOrder) {
  StartAndOpen();
  StopReceiving();
  ASSERT_EQ(Request(UM_BAUD, 115200), 0);
  StopReceiving();
  ASSERT_EQ(Request(UM_BAUD, 19200), 0);
  Finish();
  EXPECT_EQ(Log(),
            "Program start at TS \n"
            "COM7 connect at TS \n"
            "stop receiving at TS \n"
            "BAUD TS : 19200 -> 115200 \n"
            "stop receiving at TS \n"
            "BAUD TS : 115200 -> 19200 \n"
            "stop receiving at TS \n"
            "disconnect at TS \n"
            "Program end at TS \n");
}

TEST_F(SerialLink, OpenFailuresComeBackAsTheirErrorCode) {
  setenv("COM8", "/nonexistent/tty", 1);
  ASSERT_EQ(StartWorker(1), 1);
  EXPECT_EQ(Request(UM_OPEN, 8, CABLE_DTR), ENOENT);
  unsetenv("COM8");

  platform::SerialPort* held = nullptr;  // another user of the port
  ASSERT_EQ(platform::SerialOpen(pty_.slave_path().c_str(), &held), 0);
  EXPECT_EQ(Request(UM_OPEN, kPort, CABLE_DTR), EBUSY);
  platform::SerialClose(held);

  // No receive loop runs: the stop request is handled at once.
  StopWorker(1);
  EXPECT_EQ(Log(), "Program start at TS \nProgram end at TS \n");
}

TEST_F(SerialLink, StopWorkerClosesAPortLeftOpen) {
  StartAndOpen();
  StopReceiving();
  StopWorker(1);
  platform::SerialPort* again = nullptr;
  ASSERT_EQ(platform::SerialOpen(pty_.slave_path().c_str(), &again), 0);
  platform::SerialClose(again);
}

TEST_F(SerialLink, StopWorkerEndsAWorkerThatStillHasARequestQueued) {
  // A speed request is still unread when the run ends (its reply timer ran
  // out): the worker takes it only after the shutdown has begun, starts
  // receiving again, and must still end.
  StartAndOpen();
  ASSERT_EQ(platform::QueuePost(g_thread_slots[1].id, UM_BAUD, 115200, 0), 0);
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    StopWorker(1);
    stopped = true;
  });
  for (std::uint32_t waited = 0; !stopped && waited < kHangMs; waited += 5) platform::SleepMs(5);
  EXPECT_TRUE(stopped.load()) << "the worker kept receiving after shutdown";
  if (!stopped) {
    stopper.detach();  // a hang: leave it rather than block the suite
    return;
  }
  stopper.join();
  EXPECT_EQ(g_thread_slots[1].handle, nullptr);
}

// --- Transmitter ---

TEST_F(SerialLink, SendWritesAndLogsTheCommand) {
  StartAndOpen();
  EXPECT_EQ(SerialSend("VPL\r", 4), 0);
  EXPECT_EQ(pty_.Receive(4, kHangMs), "VPL\r");
  Finish();
  EXPECT_EQ(Count(Log(), "SEND TS size:4 (4)\n     VPL\r\n\n"), 1u);
}

TEST_F(SerialLink, SendOfAWholeImageArrivesIntactAndLogs30Bytes) {
  StartAndOpen();
  std::string image(946704, '\0');
  std::uint32_t x = 12345;
  for (auto& c : image) c = char((x = x * 1103515245u + 12345u) >> 24);
  image[5] = '\n';  // raw line: nothing may be translated
  std::string received;
  std::thread unit([&] { received = pty_.Receive(image.size(), 120000); });
  EXPECT_EQ(SerialSend(image.data(), std::uint32_t(image.size())), 0);
  unit.join();
  EXPECT_EQ(received.size(), image.size());
  EXPECT_TRUE(received == image);
  Finish();
  const std::string log = testsupport::ReadFile(kRunLogName);
  EXPECT_EQ(Count(log, " size:946704 (946704)\n     " + image.substr(0, 30) + "\n\n"), 1u);
}

TEST_F(SerialLink, SendWithoutAPortIsASendError) {
  ASSERT_EQ(StartWorker(1), 1);
  testing::internal::CaptureStdout();
  const std::int32_t rc = SerialSend("VPL\r", 4);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(rc, 0);
  EXPECT_EQ(out, "\nError : Send Error.  (code:" + std::to_string(rc) + ")\n");
  StopWorker(1);
  EXPECT_EQ(Count(Log(), "SEND"), 0u);
}

// --- The unit going away ---

TEST_F(SerialLink, HangUpDuringAWaitEndsTheLoopWithoutSpinning) {
  StartAndOpen();
  pty_.HangUp();
  ASSERT_TRUE(WaitForStops(1));
  timespec a{}, b{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
  platform::SleepMs(300);
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
  const double cpu_ms = (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
  EXPECT_LT(cpu_ms, 150.0);  // a spinning loop would burn the whole 300 ms

  testing::internal::CaptureStdout();
  EXPECT_NE(SerialSend("VPE\r", 4), 0);  // writes to a hung-up port fail
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Error : Send Error.  (code:"), std::string::npos);
  Finish();  // the worker still serves requests
}

TEST_F(SerialLink, HangUpDuringAWriteFailsTheSend) {
  StartAndOpen();
  std::string data(1 << 20, 'x');
  std::thread unit([&] {
    pty_.Receive(1000, 5000);
    pty_.HangUp();
  });
  testing::internal::CaptureStdout();
  const std::int32_t rc = SerialSend(data.data(), std::uint32_t(data.size()));
  const std::string out = testing::internal::GetCapturedStdout();
  unit.join();
  EXPECT_NE(rc, 0);
  EXPECT_EQ(out, "\nError : Send Timeout. \n");
  EXPECT_EQ(g_serial.load()->send_failures.load(), 1);
  Finish();
  const std::string log = Log();
  EXPECT_EQ(Count(log, "SEND TS size:1048576 ("), 1u);
  EXPECT_EQ(Count(log, "(1048576)"), 0u);
  EXPECT_EQ(Count(log, "Error TS : Send Timeout. \n\n"), 1u);
}

// --- Stop requests ---

TEST_F(SerialLink, StopRightAfterEachReplyAlwaysEndsTheLoop) {
  StartAndOpen();
  // Each stop races the start of the loop that follows the reply; a stop
  // that got lost would leave the next request unanswered.
  for (int i = 0; i < 300; ++i) {
    StopReceiving();
    ASSERT_EQ(Request(UM_BAUD, i % 2 ? 19200 : 115200), 0) << "iteration " << i;
  }
  Finish();
  EXPECT_EQ(Count(Log(), "stop receiving"), 301u);  // one per loop: the open and 300 changes
}

TEST_F(SerialLink, StartWorkerOnlyForSlotOne) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(StartWorker(0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(g_thread_slots[1].handle, nullptr);
}

// --- Run log ---

TEST_F(SerialLink, SecondInstanceRunsWithoutALog) {
  platform::File* other = nullptr;  // the log of a run still going on
  ASSERT_EQ(platform::FileOpenAppendExclusive(kRunLogName, &other), 0);
  StartAndOpen();
  EXPECT_FALSE(RunLogIsOpen());
  pty_.Send("ACK\n");
  EXPECT_EQ(Line(), "ACK");
  Finish();
  platform::FileClose(other);
  EXPECT_EQ(testsupport::ReadFile(kRunLogName), "");
}

TEST_F(SerialLink, RecordsOfTwoThreadsStayWhole) {
  testsupport::WriteFile(kRunLogName, std::string("earlier run\n"));
  OpenRunLog();
  ASSERT_TRUE(RunLogIsOpen());
  constexpr int kEach = 2000;
  auto writer = [](char fill) {
    const std::string payload(30, fill);
    for (int i = 0; i < kEach; ++i) {
      LogValues v;
      v.first = 30;
      v.second = 30;
      WriteLogRecord(LOG_SEND, v, payload.data(), payload.size());
    }
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  CloseRunLog();
  const std::string log = Log();
  ASSERT_EQ(log.rfind("earlier run\nProgram start at TS \n", 0), 0u);  // kept, then appended
  const std::string rec_a = "SEND TS size:30 (30)\n     " + std::string(30, 'a') + "\n\n";
  const std::string rec_b = "SEND TS size:30 (30)\n     " + std::string(30, 'b') + "\n\n";
  EXPECT_EQ(Count(log, rec_a), std::size_t(kEach));
  EXPECT_EQ(Count(log, rec_b), std::size_t(kEach));
  EXPECT_EQ(log.size(), std::string("earlier run\nProgram start at TS \nProgram end at TS \n").size() +
                            kEach * (rec_a.size() + rec_b.size()));
}

}  // namespace
