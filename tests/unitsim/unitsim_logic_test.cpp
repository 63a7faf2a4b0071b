// The unit's logic without a line: settings, the image announcement, answer
// shaping, and the engine's handling of image and command bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/unitsim/sim_options.h"
#include "tools/unitsim/unit_engine.h"
#include "tools/unitsim/wire_text.h"
#include "tools/vpimage/vp_builder.h"

namespace {

TEST(UnitSimAnnouncement, ParsesTheThreeHexFields) {
  VpdCommand c;
  ASSERT_TRUE(ParseVpd("VPD 0 42108 8 ", &c));
  EXPECT_EQ(c.index, 0u);
  EXPECT_EQ(c.size, 270600u);
  EXPECT_EQ(c.flash, 8u);
  ASSERT_TRUE(ParseVpd("VPD 1f e7210 10 ", &c));
  EXPECT_EQ(c.index, 0x1fu);
  EXPECT_EQ(c.size, 946704u);
  EXPECT_EQ(c.flash, 0x10u);
  ASSERT_TRUE(ParseVpd("VPD ffffffff FFFFFFFF 0 ", &c));
  EXPECT_EQ(c.size, 0xffffffffu);
}

TEST(UnitSimAnnouncement, RejectsEverythingElse) {
  VpdCommand c;
  for (const char* bad : {"VPD 0 42108 8", "VPD 0 42108 8  ", "VPD  0 42108 8 ", "VPD 0 42108 ",
                          "VPD 0 42108 8 9 ", "VPD 0 -1 8 ", "VPD 0 100000000 8 ",
                          "VPD 0 0x42108 8 ", "VPD", "VPL 0 42108 8 ", ""})
    EXPECT_FALSE(ParseVpd(bad, &c)) << '"' << bad << '"';
}

TEST(UnitSimText, AnswerLinesAndEscapes) {
  EXPECT_EQ(AnswerLine("ACK", false), "ACK\r\n");
  EXPECT_EQ(AnswerLine("ACK", true), std::string("A\0CK\r\r\n", 7));
  EXPECT_EQ(AnswerLine("", true), "\r\n");
  EXPECT_EQ(EscapeBytes(std::string("A\0\r\n\t\\\"\x04\xff z", 11)),
            "\"A\\0\\r\\n\\t\\\\\\\"\\x04\\xff z\"");
}

SimOptions Parse(const std::vector<std::string>& args, int* status = nullptr) {
  SimOptions o;
  bool help = false;
  std::string error;
  const int r = ParseSimArgs(args, &o, &help, &error);
  if (status) *status = r;
  return o;
}

TEST(UnitSimOptions, FlagsSetTheirStep) {
  int status = -1;
  const SimOptions o = Parse({"--nak", "VPD", "--silent=TERM", "--delay", "VPL=59000",
                              "--noise=FIN=3", "--nak-then-ack", "VPE", "--overlong", "128",
                              "--vanish-after", "0", "--pace", "--store", "s.vp"},
                             &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(o.step[kStepVpd].nak);
  EXPECT_TRUE(o.step[kStepTerm].silent);
  EXPECT_EQ(o.step[kStepVpl].delay_ms, 59000);
  EXPECT_EQ(o.step[kStepFin].noise, 3);
  EXPECT_TRUE(o.step[kStepVpe].nak_then_ack);
  EXPECT_FALSE(o.step[kStepVpl].nak);
  EXPECT_EQ(o.overlong, 128);
  EXPECT_EQ(o.vanish_after, 0);
  EXPECT_TRUE(o.pace);
  EXPECT_EQ(o.store, "s.vp");
}

TEST(UnitSimOptions, BadFlagsAreRefused) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--nak", "FIN"}, {"--nak", "TERM"}, {"--silent", "VPX"},
        {"--delay", "VPL"}, {"--delay", "VPL=-1"}, {"--noise", "VPL=x"}, {"--overlong"},
        {"--vanish-after", "12k"}, {"--what"}, {"stray"}}) {
    int status = 0;
    Parse(args, &status);
    EXPECT_EQ(status, 1) << args[0];
  }
}

TEST(UnitSimOptions, ScenarioLinesAndTheirErrors) {
  SimOptions o;
  std::string error;
  EXPECT_EQ(ApplyScenario("# c\n\n--fin-ng\n  delay VPE=5 # late\ndirty\n", &o, &error), 0)
      << error;
  EXPECT_TRUE(o.fin_ng);
  EXPECT_TRUE(o.dirty);
  EXPECT_EQ(o.step[kStepVpe].delay_ms, 5);

  EXPECT_EQ(ApplyScenario("pace\npace on\n", &o, &error), 1);
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
  EXPECT_EQ(ApplyScenario("store\n", &o, &error), 1);
  EXPECT_EQ(ApplyScenario("scenario other\n", &o, &error), 1);
  EXPECT_EQ(ApplyScenario("help\n", &o, &error), 1);
}

class UnitEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { InitUnit(&unit, &options); }

  void Feed(const std::string& bytes, std::uint32_t baud = kCommandBaud) {
    FeedUnit(&unit, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), now += 10,
             baud);
  }
  // Everything queued to send, in order.
  std::string Sent() {
    std::string all;
    for (const auto& o : unit.outbox) all += o.bytes;
    unit.outbox.clear();
    return all;
  }

  SimOptions options;
  UnitEngine unit;
  std::int64_t now = 1000000;
};

TEST_F(UnitEngineTest, ImageInPiecesThenCommandsInTheSameBatch) {
  const auto image = BuildVpImage(8, 11);
  Feed("VPD 0 42108 8 \r");
  EXPECT_EQ(Sent(), "ACK\r\n");
  const std::string bytes(image.begin(), image.end());
  Feed(bytes.substr(0, 1), kImageBaud);
  Feed(bytes.substr(1, 100000), kImageBaud);
  EXPECT_EQ(Sent(), "");
  Feed(bytes.substr(100001) + "VPE\r", kImageBaud);
  EXPECT_TRUE(unit.store_pending);
  EXPECT_EQ(unit.image, image);
  // "VPE" arrived at the image speed, before the line was switched down.
  EXPECT_EQ(Sent(), "FIN OK\r\n");
  EXPECT_EQ(unit.counters.garbled, 1);
  EXPECT_EQ(unit.counters.images_ok, 1);
  // The image's span on the line: one record at the batch of its first byte
  // (the second batch fed), one at the batch of its last.
  int first = 0;
  std::int64_t first_at = 0, end_at = 0;
  for (const auto& r : unit.records) {
    if (r.text == "image first byte") ++first, first_at = r.t_us;
    if (r.text.rfind("image end ", 0) == 0) end_at = r.t_us;
  }
  EXPECT_EQ(first, 1);
  EXPECT_EQ(first_at, 1000020);
  EXPECT_EQ(end_at, 1000040);
}

TEST_F(UnitEngineTest, OneWrongSpeedBatchSpoilsTheImage) {
  const auto image = BuildVpImage(8, 12);
  const std::string bytes(image.begin(), image.end());
  Feed("VPD 0 42108 8 \r");
  Sent();
  Feed(bytes.substr(0, 200000), kImageBaud);
  Feed(bytes.substr(200000, 10), 38400);
  Feed(bytes.substr(200010), kImageBaud);
  EXPECT_EQ(Sent(), "FIN NG\r\n");
}

TEST_F(UnitEngineTest, VanishStopsAtExactlyTheByteCount) {
  options.vanish_after = 5;
  Feed("VPD 0 42108 8 \r");
  Sent();
  const std::string data = "0123456789";
  EXPECT_EQ(FeedUnit(&unit, reinterpret_cast<const std::uint8_t*>(data.data()), 3, now, kImageBaud),
            3u);
  EXPECT_EQ(FeedUnit(&unit, reinterpret_cast<const std::uint8_t*>(data.data()), 10, now,
                     kImageBaud),
            2u);
  EXPECT_TRUE(unit.vanish);
  EXPECT_EQ(unit.phase, UnitPhase::kGone);
  Feed("VPE\r");
  EXPECT_EQ(Sent(), "") << "a vanished unit answers nothing";
}

TEST_F(UnitEngineTest, StallTimeoutCountsFromTheDelayedAck) {
  options.image_timeout_ms = 100;
  options.step[kStepVpd].delay_ms = 1000;
  Feed("VPD 0 42108 8 \r");
  TickUnit(&unit, now + 1000 * 1000);  // the ACK is only now due
  EXPECT_EQ(unit.phase, UnitPhase::kImage);
  TickUnit(&unit, now + 1101 * 1000);
  EXPECT_EQ(unit.phase, UnitPhase::kCommands);
  EXPECT_EQ(unit.counters.images_abandoned, 1);
}

TEST_F(UnitEngineTest, AnswersKeepTheirOrderWhateverTheirDelays) {
  options.step[kStepVpl].delay_ms = 500;
  Feed("VPL\r");
  Feed("X\r");
  ASSERT_EQ(unit.outbox.size(), 2u);
  EXPECT_EQ(unit.outbox[0].bytes, "ACK\r\n");
  EXPECT_GE(unit.outbox[1].due_us, unit.outbox[0].due_us);
}

TEST_F(UnitEngineTest, OverlongCommandLineIsDroppedAndTheNextOneTaken) {
  Feed(std::string(kMaxCommandLine + 5, 'z') + "\r");
  const std::string sent = Sent();
  EXPECT_EQ(sent, "OK zzzzz\r\nREADY\r\n\x04");
}

}  // namespace
