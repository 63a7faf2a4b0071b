// tonecast against the simulated unit, as a technician runs it: the whole
// console output, the exit status, what the unit received and at which line
// speed, the image it stored, and the run log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/tonecast_text.h"
#include "tests/support/unitsim.h"
#include "tools/vpimage/vp_builder.h"

namespace {

using testsupport::BinPath;
using testsupport::ProcessResult;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::UnitSim;
using testsupport::FileStatus;
using testsupport::kBanner;
using testsupport::kGoodDialogue;

// The kinds of the run log's records, in file order.
std::vector<std::string> RecordKinds(const std::string& log) {
  std::vector<std::string> kinds;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    for (const char* k : {"Program start", "Program end", "stop receiving", "disconnect", "BAUD",
                          "SEND", "RECV", "BFUL", "Error"}) {
      if (line.rfind(k, 0) == 0) {
        kinds.push_back(k);
        break;
      }
    }
    if (line.find(" connect at ") != std::string::npos) kinds.push_back("connect");
  }
  return kinds;
}

// Records that only the worker thread writes, in order (SEND and Error
// records come from the main thread and may stand before or after a reply).
std::vector<std::string> WorkerRecords(const std::string& log) {
  std::vector<std::string> out;
  for (const auto& k : RecordKinds(log))
    if (k != "SEND" && k != "Error") out.push_back(k);
  return out;
}

class TonecastTransfer : public ::testing::Test {
 protected:
  std::string Image(int flash, const std::string& name = "voice.vp") {
    image_ = BuildVpImage(flash, 99);
    testsupport::WriteFile(dir_.file(name), image_);
    return name;
  }
  ProcessResult Run(UnitSim& unit, std::vector<std::string> args, int com = 3) {
    args.insert(args.begin(), BinPath("tonecast"));
    testsupport::ProcessOptions o;
    o.cwd = dir_.path();
    o.env = {unit.Env(com)};
    o.timeout_ms = 120000;
    return testsupport::RunProcess(args, o);
  }
  std::string Log() { return ReadFile(dir_.file("tonecast.log")); }
  std::string Stored() { return ReadFile(dir_.file("stored.vp")); }
  std::vector<std::string> Flags(std::vector<std::string> extra) {
    std::vector<std::string> f = {"--store", dir_.file("stored.vp"), "--trailing-line"};
    f.insert(f.end(), extra.begin(), extra.end());
    return f;
  }

  TempDir dir_;
  std::vector<std::uint8_t> image_;
};

TEST_F(TonecastTransfer, EightMegabitImageReachesTheUnitWholeAtTheHighSpeed) {
  UnitSim unit(Flags({}), dir_.path());
  const std::string name = Image(8);
  const ProcessResult r = Run(unit, {"-P", "3", name});
  EXPECT_EQ(r.out, kBanner + FileStatus(name, 270600) + kGoodDialogue + "VP file transfer complete.\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(Stored() == std::string(image_.begin(), image_.end())) << "stored image differs";

  const std::string transcript = unit.Transcript();
  EXPECT_NE(transcript.find("line speed=19200 \"VPL\\r\""), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("line speed=19200 \"VPD 0 42108 8 \\r\""), std::string::npos);
  EXPECT_NE(transcript.find("image end bytes=270600 OK"), std::string::npos);
  EXPECT_NE(transcript.find("line speed=19200 \"VPE\\r\""), std::string::npos);
  const std::string summary = unit.Stop();
  EXPECT_NE(summary.find("images ok 1, ng 0"), std::string::npos) << summary;
  EXPECT_NE(summary.find("garbled 0"), std::string::npos) << summary;

  const std::string log = Log();
  EXPECT_EQ(WorkerRecords(log),
            (std::vector<std::string>{"Program start", "connect", "RECV", "RECV",
                                      "stop receiving", "BAUD", "RECV", "stop receiving", "BAUD",
                                      "RECV", "RECV", "stop receiving", "disconnect",
                                      "Program end"}));
  EXPECT_NE(log.find("COM3 connect at "), std::string::npos);
  EXPECT_NE(log.find(" : 19200 -> 115200 \n"), std::string::npos);
  EXPECT_NE(log.find(" : 115200 -> 19200 \n"), std::string::npos);
  EXPECT_NE(log.find("size:4 (4)\n     VPL\r\n\n"), std::string::npos);
  EXPECT_NE(log.find("size:15 (15)\n     VPD 0 42108 8 \r\n\n"), std::string::npos);
  EXPECT_NE(log.find("size:270600 (270600)\n     " +
                     std::string(image_.begin(), image_.begin() + 30) + "\n\n"),
            std::string::npos);
  EXPECT_NE(log.find("size:6\n     FIN OK\n\n"), std::string::npos);
  EXPECT_EQ(log.find("Error"), std::string::npos);
}

TEST_F(TonecastTransfer, SixteenMegabitImageIsAnnouncedWithFlashField10) {
  UnitSim unit(Flags({}), dir_.path());
  const std::string name = Image(16);
  const ProcessResult r = Run(unit, {"-P", "3", "-16M", name});
  EXPECT_EQ(r.out, kBanner + FileStatus(name, 946704) + kGoodDialogue + "VP file transfer complete.\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(Stored() == std::string(image_.begin(), image_.end())) << "stored image differs";
  EXPECT_NE(unit.Transcript().find("\"VPD 0 e7210 10 \\r\""), std::string::npos);
}

TEST_F(TonecastTransfer, RunWithoutADataFileInitialisesAndEnds) {
  UnitSim unit(Flags({}), dir_.path());
  const ProcessResult r = Run(unit, {"-P", "3", "-16M"});
  EXPECT_EQ(r.out, kBanner +
                       "\nFlash inithalizing...end. \nend. \nWaiting for the end...OK..."
                       "Close COM port.\nVP file transfer complete.\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(unit.Transcript().find("VPD"), std::string::npos);
  // Standard output as ever; the warning only on standard error.
  EXPECT_EQ(r.err,
            "tonecast: no image file given: the unit's voice-prompt flash will be erased and no "
            "image sent\n");
}

// The warning comes before the port is opened: here before the line about
// the port that did not open.
TEST_F(TonecastTransfer, EraseOnlyWarningComesBeforeThePortOpens) {
  testsupport::ProcessOptions o;
  o.cwd = dir_.path();
  o.env = {"COM3=" + dir_.file("no-such-tty")};
  const ProcessResult r = testsupport::RunProcess({BinPath("tonecast"), "-P", "3"}, o);
  EXPECT_EQ(r.out, kBanner + "\nError : Cannot open COM3. (code:2)\nVP file transfer NG!\n");
  EXPECT_EQ(r.err.find("tonecast: no image file given"), 0u) << r.err;
  EXPECT_NE(r.err.find("\ntonecast: COM3 is "), std::string::npos) << r.err;
}

TEST_F(TonecastTransfer, UnitRepliesThatFailTheRun) {
  struct Case {
    std::vector<std::string> flags;
    std::string expected_after_status;
    bool image_stored;
  } cases[] = {
      {{"--fin-ng"},
       "\nFlash inithalizing...end. \nPrepare downloading...end. \n"
       "Changing baudrate (UP)...end. \n\nDownload file#0...end. \nNow waiting FIN..."
       "\nError : Check sum NG. \nend. \nChanging baudrate (DOWN)...end. \n"
       "end. \nWaiting for the end...OK...Close COM port.\nVP file transfer NG!\n",
       true},
      {{"--nak", "VPL"},
       "\nFlash inithalizing...\nError : Initialization failure. \n"
       "end. \nWaiting for the end...OK...Close COM port.\nVP file transfer NG!\n",
       false},
      {{"--nak", "VPD"},
       "\nFlash inithalizing...end. \nPrepare downloading...\nError : Download command failure. \n"
       "end. \nWaiting for the end...OK...Close COM port.\nVP file transfer NG!\n",
       false},
      {{"--nak-then-ack", "VPE"},
       "\nFlash inithalizing...end. \nPrepare downloading...end. \n"
       "Changing baudrate (UP)...end. \n\nDownload file#0...end. \nNow waiting FIN...end. \n"
       "Changing baudrate (DOWN)...end. \nend. \nWaiting for the end..."
       "\nError : ADM block invalid. \nOK...Close COM port.\nVP file transfer NG!\n",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags[0]);
    unlink(dir_.file("stored.vp").c_str());
    UnitSim unit(Flags(c.flags), dir_.path());
    const std::string name = Image(8);
    const ProcessResult r = Run(unit, {"-P", "3", name});
    EXPECT_EQ(r.out, kBanner + FileStatus(name, 270600) + c.expected_after_status);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(testsupport::FileExists(dir_.file("stored.vp")), c.image_stored);
  }
}

TEST_F(TonecastTransfer, UnrelatedAndDirtyLinesDoNotDisturbTheDialogue) {
  // 256 bytes without a line end: two full line buffers, discarded, so the
  // reply that follows starts a line of its own.
  UnitSim unit(Flags({"--dirty", "--noise", "VPL=3", "--noise", "FIN=2", "--overlong", "256"}),
               dir_.path());
  const std::string name = Image(8);
  const ProcessResult r = Run(unit, {"-P", "3", name});
  EXPECT_EQ(r.out, kBanner + FileStatus(name, 270600) + kGoodDialogue + "VP file transfer complete.\n");
  EXPECT_TRUE(Stored() == std::string(image_.begin(), image_.end())) << "stored image differs";
  const std::string log = Log();
  EXPECT_NE(log.find("BFUL"), std::string::npos);  // the overlong run of bytes
}

TEST_F(TonecastTransfer, PortThatDoesNotExistOrIsHeldFailsCleanly) {
  const std::string name = Image(8);
  {
    testsupport::ProcessOptions o;
    o.cwd = dir_.path();
    o.env = {"COM9=" + dir_.file("no-such-device")};
    const ProcessResult r = testsupport::RunProcess({BinPath("tonecast"), "-P", "9", name}, o);
    EXPECT_EQ(r.out, kBanner + FileStatus(name, 270600) +
                         "\nError : Cannot open COM9. (code:2)\nVP file transfer NG!\n");
    EXPECT_EQ(r.exit_code, 1);
    const std::string log = Log();
    EXPECT_EQ(WorkerRecords(log), (std::vector<std::string>{"Program start", "Program end"}));
    EXPECT_NE(log.find(" : Cannot open COM9. (code:2)\n\n"), std::string::npos);
    // A number that names no port is never taken for a file of that name.
    testsupport::WriteFile(dir_.file("COM-1"), "not a port");
    const ProcessResult negative =
        testsupport::RunProcess({BinPath("tonecast"), "-P", "-1", name}, o);
    EXPECT_NE(negative.out.find("\nError : Cannot open COM-1. (code:2)\n"), std::string::npos)
        << negative.out;
  }
  {
    UnitSim unit(Flags({}), dir_.path());
    const int held = open(unit.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    const ProcessResult r = Run(unit, {"-P", "3", name});
    close(held);
    EXPECT_EQ(r.out, kBanner + FileStatus(name, 270600) +
                         "\nError : Cannot open COM3. (code:16)\nVP file transfer NG!\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(unit.Transcript().find("VPL"), std::string::npos);  // nothing was sent
  }
}

TEST_F(TonecastTransfer, UnitVanishingMidImageEndsTheRunByItselfWithoutSpinning) {
  UnitSim unit(Flags({"--vanish-after", "100000"}), dir_.path());
  const std::string name = Image(8);
  const ProcessResult r = Run(unit, {"-P", "3", name});
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 1);
  // The write ends short when the line goes; the end command then cannot
  // be sent either.
  EXPECT_NE(r.out.find("\nDownload file#0...\nError : Send Timeout. \nend. \n"
                       "Changing baudrate (DOWN)...end. \n\nError : Send Error.  (code:5)\n"
                       "Close COM port.\nVP file transfer NG!\n"),
            std::string::npos)
      << r.out;
  // Bounded by the reply timers, and asleep while it waits.
  EXPECT_LT(r.wall_s, 30.0);
  EXPECT_LT(r.cpu_s, 0.25 * r.wall_s + 0.5) << "cpu " << r.cpu_s << " s of " << r.wall_s;
  const std::string log = Log();
  EXPECT_NE(log.find("Program end"), std::string::npos);
}

TEST_F(TonecastTransfer, SilentUnitIsClosedAfterTheReplyTimeWithNoAck) {
  UnitSim unit(Flags({"--silent", "VPE"}), dir_.path());
  const std::string name = Image(8);
  const ProcessResult r = Run(unit, {"-P", "3", name});
  EXPECT_NE(r.out.find("Waiting for the end...\nError : No ACK. \nClose COM port.\n"
                       "VP file transfer NG!\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(Stored() == std::string(image_.begin(), image_.end())) << "stored image differs";
}

}  // namespace
