// The simulated unit on a tty device that exists already (--device), as on
// the gadget side of a USB serial link: the far end's line speed cannot be
// seen there, so the speed check is off and the transcript says so; a
// device that hangs up is waited for without spinning; devices that cannot
// serve are refused.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/pty.h"
#include "tests/support/unitsim.h"
#include "tools/unitsim/sim_options.h"
#include "tools/unitsim/unit_engine.h"
#include "tools/vpimage/vp_builder.h"

namespace {

using testsupport::BinPath;
using testsupport::PtyPair;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::UnitSim;

constexpr int kWaitMs = 5000;  // generous bound: only a hang runs into it

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Transcript records "speed <baud>": the line speed the program set.
std::size_t SpeedRecords(const std::string& transcript) {
  std::size_t n = 0;
  for (char d = '0'; d <= '9'; ++d) n += Count(transcript, std::string(" speed ") + d);
  return n;
}

// --- The engine with the speed check off --------------------------------------

struct SpeedCase {
  std::uint32_t baud;  // the speed every byte seems to come at
  bool check_speed;
  const char* answers;  // to VPL, VPD, the image and VPE, '|' between
};

TEST(UnitSpeedCheck, OffTakesEveryByteAtWhateverSpeedTheLineShows) {
  const auto bytes = BuildVpImage(8, 5);
  const std::string image(bytes.begin(), bytes.end());
  for (const SpeedCase& c : std::vector<SpeedCase>{
           {0, false, "ACK|ACK|FIN OK|ACK"},     // a device that shows no speed
           {9600, false, "ACK|ACK|FIN OK|ACK"},  // a device's own setting
           {115200, false, "ACK|ACK|FIN OK|ACK"},
           {19200, false, "ACK|ACK|FIN OK|ACK"},
           // With the check on, the same bytes at 9600 baud are garbled.
           {9600, true, "|||"},
       }) {
    SimOptions options;
    UnitEngine unit;
    InitUnit(&unit, &options);
    unit.check_speed = c.check_speed;
    std::int64_t now = 1000000;
    std::string answers;
    for (const std::string& part :
         {std::string("VPL\r"), std::string("VPD 0 42108 8 \r"), image, std::string("VPE\r")}) {
      FeedUnit(&unit, reinterpret_cast<const std::uint8_t*>(part.data()), part.size(), now += 10,
               c.baud);
      std::string sent;
      for (const auto& o : unit.outbox) sent += o.bytes;
      unit.outbox.clear();
      if (sent.size() >= 2 && sent.compare(sent.size() - 2, 2, "\r\n") == 0)
        sent.resize(sent.size() - 2);
      if (part != "VPL\r") answers += "|";
      answers += sent;
    }
    EXPECT_EQ(answers, c.answers) << c.baud << " check " << c.check_speed;
    if (c.check_speed) {
      EXPECT_GE(unit.counters.garbled, 2) << c.baud;
    } else {
      EXPECT_EQ(unit.counters.garbled, 0) << c.baud;
    }
    EXPECT_EQ(unit.counters.images_ok, c.check_speed ? 0 : 1) << c.baud;
  }
}

// A device that hangs up mid-image: the image goes with the line, and the
// next connection's first command is a command, not image bytes.
TEST(UnitSpeedCheck, ALostLineEndsTheImageAndTheNextCommandIsTakenAsOne) {
  SimOptions options;
  UnitEngine unit;
  InitUnit(&unit, &options);
  unit.check_speed = false;
  std::int64_t now = 1000000;
  const auto feed = [&](const std::string& bytes) {
    FeedUnit(&unit, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), now += 10,
             0);
    std::string sent;
    for (const auto& o : unit.outbox) sent += o.bytes;
    unit.outbox.clear();
    return sent;
  };
  feed("VPL\r");
  EXPECT_EQ(feed("VPD 0 42108 8 \r"), "ACK\r\n");
  feed(std::string(5000, 'x'));
  ASSERT_EQ(unit.phase, UnitPhase::kImage);
  LineLost(&unit, now += 10);
  EXPECT_EQ(unit.phase, UnitPhase::kCommands);
  EXPECT_EQ(unit.counters.images_abandoned, 1);
  EXPECT_EQ(unit.records.back().text,
            "image lost with the line after 5000 of 270600 bytes, abandoned");
  // Half a command line, then the line goes: the fragment goes with it.
  feed("VP");
  LineLost(&unit, now += 10);
  EXPECT_EQ(unit.counters.images_abandoned, 1) << "no image was under way the second time";
  EXPECT_EQ(feed("VER\r"), "OK VER\r\nREADY\r\n\x04");
}

TEST(UnitSimDeviceOption, NeedsAPath) {
  SimOptions o;
  bool help = false;
  std::string error;
  EXPECT_EQ(ParseSimArgs({"--device", "/dev/ttyGS0"}, &o, &help, &error), 0) << error;
  EXPECT_EQ(o.device, "/dev/ttyGS0");
  SimOptions none;
  EXPECT_EQ(ParseSimArgs({"--device"}, &none, &help, &error), 1);
  EXPECT_EQ(ParseSimArgs({"--device="}, &none, &help, &error), 1);
  EXPECT_EQ(ApplyScenario("device /dev/ttyGS1\n", &none, &error), 0) << error;
  EXPECT_EQ(none.device, "/dev/ttyGS1");
}

// --- The built unit on a device ---------------------------------------------------

// A download and a terminal command on the far end of a device: the
// pseudo-terminal's slave is the device, its master plays the program.
TEST(UnitSimDevice, ServesADownloadAndATerminalCommandWithTheSpeedCheckOff) {
  TempDir dir;
  PtyPair pty;
  const std::string store = dir.file("stored.vp");
  UnitSim unit({"--device", pty.slave_path(), "--store", store}, dir.path());
  EXPECT_EQ(unit.path(), pty.slave_path()) << "the first line names the device served";
  const auto image = BuildVpImage(8, 7);

  pty.Send("VPL\r");
  EXPECT_EQ(pty.ReceiveUntil("\r\n", kWaitMs), "ACK\r\n");
  pty.Send("VPD 0 42108 8 \r");
  EXPECT_EQ(pty.ReceiveUntil("\r\n", kWaitMs), "ACK\r\n");
  pty.Send(std::string(image.begin(), image.end()));
  EXPECT_EQ(pty.ReceiveUntil("\r\n", kWaitMs), "FIN OK\r\n");
  pty.Send("VPE\r");
  EXPECT_EQ(pty.ReceiveUntil("\r\n", kWaitMs), "ACK\r\n");
  pty.Send("VER\r");
  EXPECT_EQ(pty.ReceiveUntil("\x04", kWaitMs), "OK VER\r\nREADY\r\n\x04");
  EXPECT_EQ(ReadFile(store), std::string(image.begin(), image.end()));

  const std::string t = unit.Transcript();
  EXPECT_EQ(Count(t, "speed check off: the device cannot report the line speed"), 1u) << t;
  EXPECT_EQ(SpeedRecords(t), 0u) << "no speed records on a device: " << t;
  EXPECT_NE(t.find("image end bytes=270600 OK"), std::string::npos) << t;
  const std::string summary = unit.Stop();
  EXPECT_EQ(unit.exit_code(), 0);
  EXPECT_EQ(unit.error_output(), "");
  EXPECT_NE(summary.find("commands 4, terminal 1, garbled 0, images ok 1"), std::string::npos)
      << summary;
}

// The device goes away under the unit (its far end hangs it up, as a
// gadget's host does on unplug): noted once, tried again once a tick, no
// spinning, and a clean stop.
TEST(UnitSimDevice, ADeviceThatHangsUpIsWaitedForWithoutSpinning) {
  TempDir dir;
  PtyPair pty;
  testsupport::ProcessOptions o;
  o.cwd = dir.path();
  o.timeout_ms = 20000;
  testsupport::Process p(
      {BinPath("unitsim"), "--device", pty.slave_path(), "--transcript", dir.file("t")}, o);
  ASSERT_TRUE(p.WaitForOutput("\n", kWaitMs));
  pty.Send("VPL\r");
  EXPECT_EQ(pty.ReceiveUntil("\r\n", kWaitMs), "ACK\r\n");
  pty.HangUp();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  p.Signal(SIGTERM);
  const auto r = p.Wait(kWaitMs);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_LT(r.cpu_s, 0.5) << "a hung-up device must not turn the loop into a spin";
  const std::string t = ReadFile(dir.file("t"));
  EXPECT_EQ(Count(t, "line hung up"), 1u) << t;
  EXPECT_NE(t.find(" stop"), std::string::npos) << t;
}

TEST(UnitSimDevice, WhatCannotServeIsRefusedBeforeAnyPathIsPrinted) {
  TempDir dir;
  testsupport::WriteFile(dir.file("plain"), "not a terminal\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* error;
  };
  for (const Case& c : std::vector<Case>{
           {{"--device", dir.file("missing")}, 1, "cannot open"},
           {{"--device", dir.file("plain")}, 1, "cannot open"},
           {{"--device"}, 2, "needs a value"},
       }) {
    std::vector<std::string> argv{BinPath("unitsim")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    testsupport::ProcessOptions o;
    o.cwd = dir.path();
    o.timeout_ms = kWaitMs;
    const auto r = testsupport::RunProcess(argv, o);
    EXPECT_EQ(r.exit_code, c.status) << c.args.back();
    EXPECT_EQ(r.out, "") << c.args.back();
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
  }
}

}  // namespace
