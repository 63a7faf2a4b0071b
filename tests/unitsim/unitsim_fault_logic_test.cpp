// The unit's fault flags without a line: the flood's bytes, where each fault
// strikes, the hang-up after an answer, the stall, and faults confined to
// the first sessions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/unitsim/sim_options.h"
#include "tools/unitsim/unit_engine.h"
#include "tools/unitsim/wire_text.h"
#include "tools/vpimage/vp_builder.h"

namespace {

TEST(UnitSimFlood, BytesAreLineNoiseThatNeverPassesForAReply) {
  std::uint32_t seed = 7;
  const std::string flood = FloodBytes(&seed, 20000);
  ASSERT_EQ(flood.size(), 20000u);
  EXPECT_EQ(flood.back(), '\n') << "the answer after a flood starts its own line";
  EXPECT_EQ(flood.find_first_of("AFN"), std::string::npos);
  EXPECT_NE(flood.find('\0'), std::string::npos);
  EXPECT_NE(flood.find('\r'), std::string::npos);
  // Lines both within and beyond a 128-byte line buffer.
  std::size_t longest = 0, shortest = flood.size(), start = 0;
  for (std::size_t lf = flood.find('\n'); lf != std::string::npos; lf = flood.find('\n', start)) {
    longest = std::max(longest, lf - start);
    shortest = std::min(shortest, lf - start);
    start = lf + 1;
  }
  EXPECT_GT(longest, 128u);
  EXPECT_LT(shortest, 128u);

  std::uint32_t again = 7, other = 8;
  EXPECT_EQ(FloodBytes(&again, 20000), flood) << "the same seed gives the same bytes";
  EXPECT_NE(FloodBytes(&other, 20000), flood);
  std::uint32_t zero = 0;
  EXPECT_EQ(FloodBytes(&zero, 1), "\n");
  EXPECT_EQ(FloodBytes(&zero, 0), "");
}

TEST(UnitSimFaultOptions, FlagsSetTheirPointAndBadOnesAreRefused) {
  SimOptions o;
  bool help = false;
  std::string error;
  ASSERT_EQ(ParseSimArgs({"--flood", "OPEN=10", "--flood=IMAGE=5", "--vanish-at", "FIN",
                          "--vanish-after-answer", "VPD", "--stall-after", "0",
                          "--faulty-sessions", "2", "--flood-seed", "9"},
                         &o, &help, &error),
            0)
      << error;
  EXPECT_EQ(o.fault[kAtOpen].flood, 10);
  EXPECT_EQ(o.fault[kAtImage].flood, 5);
  EXPECT_TRUE(o.fault[kAtFin].vanish);
  EXPECT_FALSE(o.fault[kAtVpd].vanish);
  EXPECT_TRUE(o.fault[kAtVpd].vanish_answered);
  EXPECT_EQ(o.stall_after, 0);
  EXPECT_EQ(o.faulty_sessions, 2);
  EXPECT_EQ(o.flood_seed, 9u);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--flood", "TERM=5"}, {"--flood", "VPL"}, {"--flood", "VPL=-1"},
        {"--vanish-at", "VPX"}, {"--vanish-after-answer", "OPEN"},
        {"--vanish-after-answer", "IMAGE"}, {"--stall-after", "x"}, {"--faulty-sessions"}}) {
    SimOptions bad;
    EXPECT_EQ(ParseSimArgs(args, &bad, &help, &error), 1) << args[0] << " " << args.back();
  }
}

class UnitFaultTest : public ::testing::Test {
 protected:
  void SetUp() override { InitUnit(&unit, &options); }
  void Start() { InitUnit(&unit, &options); }
  std::size_t Feed(const std::string& bytes, std::uint32_t baud = kCommandBaud) {
    return FeedUnit(&unit, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                    now += 10, baud);
  }
  std::string Sent() {
    std::string all;
    for (const auto& o : unit.outbox) all += o.bytes;
    unit.outbox.clear();
    return all;
  }
  // One download up to (not including) "VPE".
  std::string Download() {
    Feed("VPL\r");
    Feed("VPD 0 42108 8 \r");
    Feed(image, kImageBaud);
    return Sent();
  }

  SimOptions options;
  UnitEngine unit;
  std::int64_t now = 1000000;
  const std::vector<std::uint8_t> bytes = BuildVpImage(8, 4);
  const std::string image{bytes.begin(), bytes.end()};
};

TEST_F(UnitFaultTest, FloodComesAtItsPointAndBeforeTheAnswer) {
  options.fault[kAtOpen].flood = 300;
  options.fault[kAtFin].flood = 200;
  Start();
  EXPECT_EQ(Feed("V"), 1u);
  const std::string open_flood = Sent();
  EXPECT_EQ(open_flood.size(), 300u) << "the first byte of a session brings the OPEN flood";
  Feed("PL\r");
  EXPECT_EQ(Sent(), "ACK\r\n") << "no second OPEN flood within the session";
  Feed("VPD 0 42108 8 \r");
  Sent();
  Feed(image, kImageBaud);
  const std::string fin = Sent();
  ASSERT_EQ(fin.size(), 200u + 8u);
  EXPECT_EQ(fin.substr(200), "FIN OK\r\n");
}

TEST_F(UnitFaultTest, VanishAtACommandTakesNothingAndAnswersNothing) {
  options.fault[kAtVpd].vanish = true;
  Start();
  Feed("VPL\r");
  EXPECT_EQ(Sent(), "ACK\r\n");
  EXPECT_EQ(Feed("VPD 0 42108 8 \rVPE\r"), 15u) << "bytes after the command are not taken";
  EXPECT_TRUE(unit.vanish);
  EXPECT_EQ(unit.phase, UnitPhase::kGone);
  EXPECT_EQ(Sent(), "");
}

TEST_F(UnitFaultTest, VanishHalfWayThroughTheImage) {
  options.fault[kAtImage].vanish = true;
  Start();
  Feed("VPD 0 42108 8 \r");
  Sent();
  EXPECT_EQ(Feed(image, kImageBaud), image.size() / 2);
  EXPECT_TRUE(unit.vanish);
}

TEST_F(UnitFaultTest, HangUpAfterTheAnswerMarksThatAnswer) {
  options.fault[kAtFin].vanish_answered = true;
  Start();
  Feed("VPL\r");
  Feed("VPD 0 42108 8 \r");
  ASSERT_EQ(unit.outbox.size(), 2u);
  EXPECT_FALSE(unit.outbox[1].hang_up_after);
  Sent();
  Feed(image + "VPE\r", kImageBaud);
  ASSERT_EQ(unit.outbox.size(), 1u) << "nothing taken after the answer";
  EXPECT_EQ(unit.outbox[0].bytes, "FIN OK\r\n");
  EXPECT_TRUE(unit.outbox[0].hang_up_after);
  EXPECT_FALSE(unit.vanish) << "the driver hangs up only once the answer is out";
  EXPECT_TRUE(unit.store_pending);
}

TEST_F(UnitFaultTest, StallStopsTakingBytesForGood) {
  options.stall_after = 1000;
  Start();
  Feed("VPD 0 42108 8 \r");
  Sent();
  EXPECT_EQ(Feed(image.substr(0, 600), kImageBaud), 600u);
  EXPECT_EQ(Feed(image.substr(600, 600), kImageBaud), 400u);
  EXPECT_TRUE(unit.stalled);
  EXPECT_EQ(Feed("VPE\r"), 0u);
  EXPECT_EQ(Sent(), "");
  TickUnit(&unit, now + 10 * 1000 * 1000);  // the image is abandoned; still nothing taken
  EXPECT_EQ(Feed("VPE\r"), 0u);
}

TEST_F(UnitFaultTest, FaultsStayInTheirSessions) {
  options.faulty_sessions = 1;
  options.step[kStepVpl].silent = true;
  options.fin_ng = true;
  Start();
  Feed("VPL\r");
  EXPECT_EQ(Sent(), "") << "first session: silent";
  Feed("VPL\r");  // the program tried again: a new session
  EXPECT_EQ(Sent(), "ACK\r\n");
  EXPECT_EQ(unit.sessions, 2);
  Feed("VPD 0 42108 8 \r");
  Feed(image, kImageBaud);
  EXPECT_EQ(Sent(), "ACK\r\nFIN OK\r\n") << "FIN NG only in the first session";
  Feed("VPE\r");
  EXPECT_EQ(Sent(), "ACK\r\n");
  EXPECT_FALSE(unit.in_session) << "the answer to VPE ends the session";
  Feed("V");
  EXPECT_EQ(unit.sessions, 3);
}

TEST_F(UnitFaultTest, EverySessionMisbehavesByDefault) {
  options.fault[kAtVpe].flood = 50;
  Start();
  for (int session = 1; session <= 3; ++session) {
    EXPECT_EQ(Download(), "ACK\r\nACK\r\nFIN OK\r\n");
    Feed("VPE\r");
    EXPECT_EQ(Sent().size(), 50u + 5u) << "session " << session;
  }
}

}  // namespace
