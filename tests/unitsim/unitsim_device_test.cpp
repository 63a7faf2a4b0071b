// The simulated unit on a tty device that exists already (--device), as on
// the gadget side of a USB serial link: the far end's line speed cannot be
// seen there, so the speed check is off and the transcript says so; a
// device that hangs up is waited for without spinning; devices that cannot
// serve are refused.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <regex>
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

// Feeds bytes that seem to come at `baud` and returns what the unit answered.
std::string Feed(UnitEngine* unit, std::int64_t* now, const std::string& bytes,
                 std::uint32_t baud = 0) {
  FeedUnit(unit, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), *now += 10,
           baud);
  std::string sent;
  for (const auto& o : unit->outbox) sent += o.bytes;
  unit->outbox.clear();
  return sent;
}

// --- The engine with the speed check off --------------------------------------

// With the check off, bytes at a speed other than the unit's are taken (a
// download at 9600 baud). A device that hangs up mid-image: the image goes
// with the line, and the next connection's first command is a command, not
// image bytes.
TEST(UnitSpeedCheck, OffTakesAnySpeedAndALostLineEndsTheImage) {
  SimOptions options;
  UnitEngine unit;
  InitUnit(&unit, &options);
  unit.check_speed = false;
  std::int64_t now = 1000000;
  const auto bytes = BuildVpImage(8, 5);
  std::string answers;
  for (const std::string& part : {std::string("VPL\r"), std::string("VPD 0 42108 8 \r"),
                                  std::string(bytes.begin(), bytes.end()), std::string("VPE\r")})
    answers += Feed(&unit, &now, part, 9600);
  EXPECT_EQ(answers, "ACK\r\nACK\r\nFIN OK\r\nACK\r\n");
  EXPECT_EQ(unit.counters.garbled, 0);
  EXPECT_EQ(unit.counters.images_ok, 1);

  Feed(&unit, &now, "VPL\r");
  EXPECT_EQ(Feed(&unit, &now, "VPD 0 42108 8 \r"), "ACK\r\n");
  Feed(&unit, &now, std::string(5000, 'x'));
  ASSERT_EQ(unit.phase, UnitPhase::kImage);
  LineLost(&unit, now += 10);
  EXPECT_EQ(unit.phase, UnitPhase::kCommands);
  EXPECT_EQ(unit.counters.images_abandoned, 1);
  EXPECT_EQ(unit.records.back().text,
            "image lost with the line after 5000 of 270600 bytes, abandoned");
  // Half a command line, then the line goes: the fragment goes with it.
  Feed(&unit, &now, "VP");
  LineLost(&unit, now += 10);
  EXPECT_EQ(unit.counters.images_abandoned, 1) << "no image was under way the second time";
  EXPECT_EQ(Feed(&unit, &now, "VER\r"), "OK VER\r\nREADY\r\n\x04");
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

  const std::pair<std::string, std::string> exchanges[] = {
      {"VPL\r", "ACK\r\n"},
      {"VPD 0 42108 8 \r", "ACK\r\n"},
      {std::string(image.begin(), image.end()), "FIN OK\r\n"},
      {"VPE\r", "ACK\r\n"},
      {"VER\r", "OK VER\r\nREADY\r\n\x04"}};
  for (const auto& [sent, answer] : exchanges) {
    pty.Send(sent);
    EXPECT_EQ(pty.ReceiveUntil(answer.substr(answer.size() - 1), kWaitMs), answer);
  }
  EXPECT_EQ(ReadFile(store), std::string(image.begin(), image.end()));

  const std::string t = unit.Transcript();
  EXPECT_EQ(Count(t, "speed check off: the device cannot report the line speed"), 1u) << t;
  EXPECT_FALSE(std::regex_search(t, std::regex(" speed [0-9]"))) << "no speed records: " << t;
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
           {{"--device="}, 2, "expects the path"},
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
