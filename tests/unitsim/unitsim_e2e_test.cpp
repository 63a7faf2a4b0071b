// The simulated unit as the programs see it: a test client opens its line in
// raw mode and plays the downloader or the terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/pty.h"
#include "tests/support/unitsim.h"
#include "tools/vpimage/vp_builder.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::UnitSim;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 5000;  // generous bound: only a hang runs into it

// The program's side of the line.
using Client = testsupport::LineClient;

// Announces an 8 Mbit image, expects the unit's ACK and switches to the
// image speed.
void AnnounceImage(Client* c) {
  c->Send("VPD 0 42108 8 \r");
  EXPECT_EQ(c->ReadUntil("\r\n"), "ACK\r\n");
  c->SetBaud(B115200);
}

std::string Bytes(const std::vector<std::uint8_t>& v) { return std::string(v.begin(), v.end()); }

// A string literal with NUL bytes inside, all of it.
template <std::size_t N>
std::string Raw(const char (&s)[N]) {
  return std::string(s, N - 1);
}

// The arrival times (microseconds) recorded for the command line `text`.
std::vector<long long> Arrivals(const std::string& transcript, const std::string& text) {
  std::istringstream in(transcript);
  std::string line;
  const std::string key = "\"" + text + "\\r\" arrivals=";
  while (std::getline(in, line)) {
    const auto at = line.find(key);
    if (at == std::string::npos) continue;
    std::vector<long long> times;
    std::istringstream list(line.substr(at + key.size()));
    std::string item;
    while (std::getline(list, item, ',')) times.push_back(std::stoll(item));
    return times;
  }
  return {};
}

// Drives one complete download of `image` (8 or 16 Mbit) and returns the
// answers in order, separated by '|'.
std::string Download(Client* c, const std::vector<std::uint8_t>& image, int flash,
                     speed_t image_speed = B115200) {
  std::string answers;
  c->Send("VPL\r");
  answers += c->ReadUntil("\r\n") + "|";
  c->Send(flash == 16 ? "VPD 0 e7210 10 \r" : "VPD 0 42108 8 \r");
  answers += c->ReadUntil("\r\n") + "|";
  c->SetBaud(image_speed);
  c->Send(image);
  answers += c->ReadUntil("\r\n") + "|";
  c->SetBaud(B19200);
  c->Send("VPE\r");
  answers += c->ReadUntil("\r\n");
  return answers;
}

class UnitSimTest : public ::testing::Test {
 protected:
  // Starts a unit that TearDown stops; every unit must end cleanly.
  UnitSim& Start(std::vector<std::string> flags) {
    units_.push_back(std::make_unique<UnitSim>(std::move(flags), dir.path()));
    return *units_.back();
  }
  // A started unit and the program's side of its line, opened at 19200 baud.
  struct Line {
    UnitSim& unit;
    Client& c;
  };
  Line Connect(std::vector<std::string> flags) {
    UnitSim& unit = Start(std::move(flags));
    clients_.push_back(std::make_unique<Client>(unit.path()));
    return {unit, *clients_.back()};
  }
  void TearDown() override {
    clients_.clear();  // each line closes before its unit stops
    for (auto& u : units_) {
      u->Stop();
      EXPECT_EQ(u->exit_code(), 0);
      EXPECT_EQ(u->error_output(), "");
    }
  }

  TempDir dir;
  std::string store = dir.file("stored.vp");

 private:
  std::vector<std::unique_ptr<UnitSim>> units_;
  std::vector<std::unique_ptr<Client>> clients_;
};

// --- The downloader's dialogue --------------------------------------------

TEST_F(UnitSimTest, CompleteDownloadIsAnsweredAndStoredByteForByte) {
  UnitSim& unit = Start({"--store", store});
  const auto image = BuildVpImage(8, 7);
  ASSERT_NE(Bytes(image).find_first_of("\r\n"), std::string::npos)
      << "the image should carry CR and LF bytes to show they pass untouched";
  Client c(unit.path());
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(Download(&c, image, 8), "ACK\r\n|ACK\r\n|FIN OK\r\n|ACK\r\n");
  EXPECT_EQ(ReadFile(store), Bytes(image));

  const std::string t = unit.Transcript();
  EXPECT_NE(t.find("line speed=19200 \"VPL\\r\""), std::string::npos) << t;
  EXPECT_NE(t.find("image begin index=0 size=270600 flash=8"), std::string::npos) << t;
  EXPECT_NE(t.find("speed 115200"), std::string::npos) << t;
  EXPECT_NE(t.find("image end bytes=270600 OK"), std::string::npos) << t;
  EXPECT_NE(t.find("line speed=19200 \"VPE\\r\""), std::string::npos) << t;

  const std::string summary = unit.Stop();
  EXPECT_EQ(unit.exit_code(), 0);
  EXPECT_NE(summary.find("images ok 1, ng 0"), std::string::npos) << summary;
}

TEST_F(UnitSimTest, SixteenMegabitImageAndSecondTransferOverwritesStore) {
  auto [unit, c] = Connect({"--store", store});
  const auto big = BuildVpImage(16, 3);
  EXPECT_EQ(Download(&c, big, 16), "ACK\r\n|ACK\r\n|FIN OK\r\n|ACK\r\n");
  EXPECT_EQ(ReadFile(store), Bytes(big));
  const auto small = BuildVpImage(8, 4);
  EXPECT_EQ(Download(&c, small, 8), "ACK\r\n|ACK\r\n|FIN OK\r\n|ACK\r\n");
  EXPECT_EQ(ReadFile(store), Bytes(small));
}

TEST_F(UnitSimTest, ImageAtCommandSpeedIsAFailedTransfer) {
  auto [unit, c] = Connect({"--store", store});
  EXPECT_EQ(Download(&c, BuildVpImage(8, 1), 8, B19200), "ACK\r\n|ACK\r\n|FIN NG\r\n|ACK\r\n");
  EXPECT_NE(unit.Transcript().find("NG reason=speed:19200"), std::string::npos);
}

TEST_F(UnitSimTest, BrokenImagesAreAnsweredFinNg) {
  auto [unit, c] = Connect({"--store", store});
  for (VpBreak b : {VpBreak::kChecksum, VpBreak::kTailMarker, VpBreak::kHeadMarker}) {
    const auto image = BuildVpImage(8, 9, b);
    EXPECT_EQ(Download(&c, image, 8), "ACK\r\n|ACK\r\n|FIN NG\r\n|ACK\r\n") << int(b);
    EXPECT_EQ(ReadFile(store), Bytes(image)) << "what arrived is stored even when refused";
  }
  EXPECT_NE(unit.Stop().find("images ok 0, ng 3"), std::string::npos);
}

TEST_F(UnitSimTest, AnnouncementsThatDoNotFitAreRefusedAndNoImageIsExpected) {
  auto [unit, c] = Connect({});
  for (const char* vpd : {"VPD 0 42108 10 \r",   // 8 Mbit size, 16 Mbit flash
                          "VPD 0 e7210 8 \r",    // the other way round
                          "VPD 0 42108 8\r",     // no blank after the last field
                          "VPD 0 42108 4 \r",    // unknown flash size
                          "VPD 0 4210g 8 \r"}) { // not hexadecimal
    c.Send(vpd);
    EXPECT_EQ(c.ReadUntil("\r\n"), "NAK\r\n") << vpd;
  }
  // Still taking commands, not image bytes.
  c.Send("VPE\r");
  EXPECT_EQ(c.ReadUntil("\r\n"), "ACK\r\n");
  c.Send("VPD 3 E7210 10 \r");
  EXPECT_EQ(c.ReadUntil("\r\n"), "ACK\r\n") << "upper-case hexadecimal is accepted";
}

TEST_F(UnitSimTest, LineFeedsAndNulsInCommandsAreIgnored) {
  auto [unit, c] = Connect({});
  c.Send(Raw("\nV\0PL\r"));
  EXPECT_EQ(c.ReadUntil("\r\n"), "ACK\r\n");
}

TEST_F(UnitSimTest, LineSurvivesTheProgramClosingAndReopeningIt) {
  UnitSim& unit = Start({"--store", store});
  const auto image = BuildVpImage(8, 2);
  {
    Client c(unit.path());
    c.Send("VPL\r");
    EXPECT_EQ(c.ReadUntil("\r\n"), "ACK\r\n");
  }
  Client again(unit.path());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(Download(&again, image, 8), "ACK\r\n|ACK\r\n|FIN OK\r\n|ACK\r\n");
}

TEST_F(UnitSimTest, CommandsAtTheWrongSpeedAreGarbledAndUnanswered) {
  auto [unit, c] = Connect({});
  c.SetBaud(B115200);
  c.Send("VPE\r");
  ASSERT_TRUE(unit.WaitForTranscript("garbled", kWaitMs));
  c.SetBaud(B19200);
  c.Send("VPE\r");
  EXPECT_EQ(c.ReadUntil("\r\n"), "ACK\r\n") << "nothing may come before the second answer";
}

TEST_F(UnitSimTest, AnySpeedTakesCommandsAtAnySpeed) {
  auto [unit, c] = Connect({"--any-speed"});
  c.SetBaud(B115200);
  c.Send("VPL\r");
  EXPECT_EQ(c.ReadUntil("\r\n"), "ACK\r\n");
}

TEST_F(UnitSimTest, StalledImageIsAbandonedSilently) {
  auto [unit, c] = Connect({"--image-timeout", "200"});
  AnnounceImage(&c);
  c.Send(std::string(1000, 'x'));
  ASSERT_TRUE(unit.WaitForTranscript("image stalled after 1000 of 270600 bytes", kWaitMs));
  c.SetBaud(B19200);
  c.Send("VPE\r");
  EXPECT_EQ(c.ReadUntil("\r\n"), "ACK\r\n");
  EXPECT_NE(unit.Stop().find("abandoned 1"), std::string::npos);
}

// --- The terminal exchange ---------------------------------------------------

TEST_F(UnitSimTest, TerminalCommandIsEchoedAndEndedByEot) {
  auto [unit, c] = Connect({});
  for (char ch : std::string("VER 2\r")) {
    c.Send(std::string(1, ch));
    std::this_thread::sleep_for(std::chrono::milliseconds(11));
  }
  EXPECT_EQ(c.ReadUntil("\x04"), "OK VER 2\r\nREADY\r\n\x04");
  const auto times = Arrivals(unit.Transcript(), "VER 2");
  ASSERT_EQ(times.size(), 6u) << unit.Transcript();
  for (std::size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i], times[i - 1]);
  EXPECT_NE(unit.Stop().find("terminal 1"), std::string::npos);
}

TEST_F(UnitSimTest, NoEotLeavesTheEndMarkOut) {
  auto [unit, c] = Connect({"--no-eot"});
  c.Send("A\r");
  c.Send("B\r");
  EXPECT_EQ(c.ReadUntil("OK B\r\nREADY\r\n"), "OK A\r\nREADY\r\nOK B\r\nREADY\r\n");
}

// --- Misbehaviour on demand ------------------------------------------------------

TEST_F(UnitSimTest, NakAndNakThenAck) {
  auto [unit, c] = Connect({"--nak", "VPL", "--nak-then-ack", "VPE"});
  c.Send("VPL\r");
  EXPECT_EQ(c.ReadUntil("\r\n"), "NAK\r\n");
  c.Send("VPE\r");
  EXPECT_EQ(c.ReadUntil("ACK\r\n"), "NAK\r\nACK\r\n");
}

TEST_F(UnitSimTest, SilentVpdIsNotTaken) {
  auto [unit, c] = Connect({"--silent", "VPD"});
  c.Send("VPD 0 42108 8 \r");
  c.Send("PING\r");
  EXPECT_EQ(c.ReadUntil("\x04"), "OK PING\r\nREADY\r\n\x04") << "a silent VPD is not taken";
}

TEST_F(UnitSimTest, SilentFinTakesAndStoresTheImageWithoutAnswer) {
  UnitSim& fin = Start({"--silent", "FIN", "--store", store});
  Client d(fin.path());
  AnnounceImage(&d);
  d.Send(BuildVpImage(8, 5));
  ASSERT_TRUE(fin.WaitForTranscript("answer FIN silent", kWaitMs));
  d.SetBaud(B19200);
  d.Send("VPE\r");
  EXPECT_EQ(d.ReadUntil("\r\n"), "ACK\r\n");
  EXPECT_EQ(ReadFile(store), Bytes(BuildVpImage(8, 5)));
}

TEST_F(UnitSimTest, FinNgRefusesAGoodImage) {
  auto [unit, c] = Connect({"--fin-ng"});
  EXPECT_EQ(Download(&c, BuildVpImage(8, 1), 8), "ACK\r\n|ACK\r\n|FIN NG\r\n|ACK\r\n");
}

TEST_F(UnitSimTest, DelayHoldsTheAnswerBack) {
  auto [unit, c] = Connect({"--delay", "VPL=300"});
  const auto start = Clock::now();
  c.Send("VPL\r");
  EXPECT_EQ(c.ReadUntil("\r\n"), "ACK\r\n");
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(UnitSimTest, NoiseDirtAndOverlongBytesComeBeforeTheAnswer) {
  auto [unit, c] = Connect({"--noise", "VPL=2", "--dirty", "--overlong", "130"});
  c.Send("VPL\r");
  const std::string expected = Raw("I\0NFO unrelated line 1\r\r\n") +
                               Raw("I\0NFO unrelated line 2\r\r\n") + std::string(130, '#') +
                               Raw("A\0CK\r\r\n");
  EXPECT_EQ(c.ReadUntil(std::string("CK\r\r\n")), expected);
  c.Send("VPE\r");
  EXPECT_EQ(c.ReadUntil("CK\r\r\n"), std::string(130, '#') + Raw("A\0CK\r\r\n"))
      << "noise belongs to VPL only, dirt and overlong bytes to every answer";
}

TEST_F(UnitSimTest, TrailingLineFollowsTheFinalAck) {
  auto [unit, c] = Connect({"--trailing-line"});
  c.Send("VPE\r");
  EXPECT_EQ(c.ReadUntil("BYE\r\n"), "ACK\r\nBYE\r\n");
}

TEST_F(UnitSimTest, VanishHangsUpMidImageAndTheUnitStillStopsCleanly) {
  auto [unit, c] = Connect({"--vanish-after", "1000"});
  AnnounceImage(&c);
  c.Send(BuildVpImage(8, 1));  // fails part-way
  pollfd p{c.fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, kWaitMs), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  char b;
  EXPECT_LE(read(c.fd(), &b, 1), 0) << "a hung-up line reads end of file or EIO";
  EXPECT_NE(unit.Transcript().find("vanish after 1000 image bytes"), std::string::npos);
  unit.Stop();
  EXPECT_EQ(unit.exit_code(), 0);
}

TEST_F(UnitSimTest, PaceReadsAtTheLineRate) {
  auto [unit, c] = Connect({"--pace"});
  const std::string cmd(400, 'p');  // 401 bytes with the CR: about 209 ms at 1920 bytes/s
  c.Send(cmd + "\r");
  EXPECT_EQ(c.ReadUntil("\x04").size(), 3 + cmd.size() + 2 + 7 + 1);
  const auto times = Arrivals(unit.Transcript(), cmd);
  ASSERT_EQ(times.size(), 401u);
  EXPECT_GE(times.back() - times.front(), 180000) << "read faster than 19200 baud carries";
}

// --- The program around the unit ------------------------------------------------

TEST_F(UnitSimTest, LinkIsPublishedAndRemovedOnExit) {
  const std::string link = dir.file("ttyUNIT");
  UnitSim& unit = Start({"--link", link});
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(unit.path(), target);
  Client c(link);
  c.Send("VPL\r");
  EXPECT_EQ(c.ReadUntil("\r\n"), "ACK\r\n");
  c.Close();
  unit.Stop();
  EXPECT_FALSE(testsupport::FileExists(link));
}

TEST_F(UnitSimTest, ScenarioFileSetsTheSameBehaviourAsFlags) {
  testsupport::WriteFile(dir.file("nak.scenario"),
                         "# refuse the end once, then accept it\n"
                         "nak-then-ack VPE\n"
                         "\n"
                         "  noise   VPL=1   # one unrelated line first\n"
                         "no-eot\n");
  auto [unit, c] = Connect({"--scenario", dir.file("nak.scenario")});
  c.Send("VPL\r");
  EXPECT_EQ(c.ReadUntil("ACK\r\n"), "INFO unrelated line 1\r\nACK\r\n");
  c.Send("VPE\r");
  EXPECT_EQ(c.ReadUntil("ACK\r\n"), "NAK\r\nACK\r\n");
  c.Send("X\r");
  EXPECT_EQ(c.ReadUntil("READY\r\n"), "OK X\r\nREADY\r\n");
}

TEST_F(UnitSimTest, BadFlagsAndScenariosAreRejectedWithStatus2) {
  testsupport::WriteFile(dir.file("bad.scenario"), "pace\nsilent NOPE\n");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--nak", "FIN"}, {"--delay", "VPL"}, {"--bogus"},
        {"--scenario", dir.file("bad.scenario")}, {"--scenario", dir.file("missing")}}) {
    std::vector<std::string> argv{testsupport::BinPath("unitsim")};
    argv.insert(argv.end(), args.begin(), args.end());
    testsupport::ProcessOptions o;
    o.cwd = dir.path();
    o.timeout_ms = kWaitMs;
    const auto r = testsupport::RunProcess(argv, o);
    EXPECT_EQ(r.exit_code, 2) << args[0];
    EXPECT_TRUE(r.out.empty()) << "no line path may be printed: " << r.out;
  }
}

TEST_F(UnitSimTest, StaleExclusiveFlagIsClearedBetweenSessions) {
  UnitSim& unit = Start({});
  {
    Client c(unit.path());
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(ioctl(c.fd(), TIOCEXCL), 0);
    // Ends without TIOCNXCL, as a killed program would.
  }
  ASSERT_TRUE(unit.WaitForTranscript("cleared a stale exclusive flag", kWaitMs));
  Client again(unit.path());
  ASSERT_TRUE(again.ok()) << "errno " << errno;
  again.Send("VPL\r");
  EXPECT_EQ(again.ReadUntil("\r\n"), "ACK\r\n");
}

TEST_F(UnitSimTest, ExclusiveFlagOfAProgramHoldingTheLockIsLeftAlone) {
  auto [unit, c] = Connect({});
  ASSERT_EQ(flock(c.fd(), LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(ioctl(c.fd(), TIOCEXCL), 0);
  // Several probe periods pass while the lock is held.
  c.Send("VPL\r");
  EXPECT_EQ(c.ReadUntil("\r\n"), "ACK\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  int exclusive = 0;
  ASSERT_EQ(ioctl(c.fd(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  EXPECT_EQ(unit.Transcript().find("cleared"), std::string::npos);
  ioctl(c.fd(), TIOCNXCL);
}

}  // namespace

namespace {

// CPU time a unit spends in 1.5 s of waiting after `session` has run; a
// spinning loop would take most of that time.
double IdleCpuSeconds(const std::vector<std::string>& flags,
                      void (*session)(const std::string& path)) {
  TempDir dir;
  std::vector<std::string> argv{testsupport::BinPath("unitsim")};
  argv.insert(argv.end(), flags.begin(), flags.end());
  testsupport::ProcessOptions o;
  o.cwd = dir.path();
  o.timeout_ms = 20000;
  testsupport::Process p(argv, o);
  EXPECT_TRUE(p.WaitForOutput("\n", kWaitMs));
  const std::string out = p.Output();
  session(out.substr(0, out.find('\n')));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  p.Signal(SIGTERM);
  const auto r = p.Wait(kWaitMs);
  EXPECT_EQ(r.exit_code, 0);
  return r.cpu_s;
}

TEST(UnitSimIdle, WaitsWithoutSpinningAfterASessionAndAfterVanishing) {
  EXPECT_LT(IdleCpuSeconds({}, [](const std::string& path) {
              Client c(path);
              c.Send("VPL\r");
              c.ReadUntil("\r\n");
            }),
            0.5);
  EXPECT_LT(IdleCpuSeconds({"--vanish-after", "10"}, [](const std::string& path) {
              Client c(path);
              c.Send("VPD 0 42108 8 \r");
              c.ReadUntil("\r\n");
              c.SetBaud(B115200);
              c.Send(std::string(100, 'x'));
            }),
            0.5);
}

}  // namespace
