// tonecast's start-up run as a user runs it: the whole console output and
// the exit status for every way the command line or the VP file can stop
// the run, and the start of a run that passes start-up.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/tonecast_text.h"
#include "tools/vpimage/vp_builder.h"

namespace {

using testsupport::BinPath;
using testsupport::ProcessResult;
using testsupport::TempDir;
using testsupport::FileStatus;
using testsupport::kBanner;


const std::string kUsage =
    "tonecast [-P [COM port] -C [cable type]] file#0 [ file#1 file#2 file#3 ]\n";
const std::string kIllegalParameter = "Error : Illegal parameter\n";
const std::string kTooFew = "Error : Number of parameter is small. \n";
const std::string kIllegalPort = "\nError : Illegal COM port No.\n";

class TonecastStartupTest : public ::testing::Test {
 protected:
  // Runs tonecast in the test's directory. Ports that a run passing
  // start-up might open are pointed at a path that does not exist, so that
  // such a run ends quickly whatever follows start-up.
  ProcessResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), BinPath("tonecast"));
    testsupport::ProcessOptions options;
    options.cwd = dir_.path();
    for (int port = 1; port <= 8; ++port)
      options.env.push_back("COM" + std::to_string(port) + "=" + dir_.file("no-such-port"));
    options.timeout_ms = 60000;
    return testsupport::RunProcess(args, options);
  }
  std::string Image(const std::string& name, int flash, VpBreak defect = VpBreak::kNone) {
    testsupport::WriteFile(dir_.file(name), BuildVpImage(flash, 21, defect));
    return name;
  }
  // A run that start-up stopped: exactly this output, status 0, no log.
  void ExpectStopped(const std::vector<std::string>& args, const std::string& after_banner) {
    unlink(dir_.file("tonecast.log").c_str());  // left by an earlier run that passed
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.out, kBanner + after_banner);
    EXPECT_EQ(r.exit_code, 0);
    // At most the one line, on standard error, about a refused image.
    EXPECT_TRUE(r.err.empty() ||
                (r.err.rfind("tonecast: ", 0) == 0 && r.err.find('\n') == r.err.size() - 1))
        << r.err;
    EXPECT_FALSE(testsupport::FileExists(dir_.file("tonecast.log")));
  }
  // A run that passed start-up: the output up to the end of start-up, and
  // the status of a run that reached its verdict.
  void ExpectPassed(const std::vector<std::string>& args, const std::string& after_banner) {
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.out.substr(0, kBanner.size() + after_banner.size()), kBanner + after_banner);
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_NE(r.out.find("VP file transfer "), std::string::npos) << r.out;
  }

  TempDir dir_;
};

TEST_F(TonecastStartupTest, TooFewArguments) {
  ExpectStopped({}, kUsage);
  ExpectStopped({Image("a.vp", 8)}, kTooFew);
  ExpectStopped({"-P"}, kTooFew);
}

TEST_F(TonecastStartupTest, PortNumbers) {
  ExpectStopped({"-P", "0", "-8M"}, kIllegalPort);
  ExpectStopped({"-P", "x", "-8M"}, kIllegalPort);
  ExpectStopped({"-P", "08", "-8M"}, kIllegalPort);
  // The port is refused before the file is looked at.
  ExpectStopped({"-P", "0", "missing.vp"}, kIllegalPort);
  ExpectPassed({"-P", "0x3", "-8M"}, "");
  ExpectPassed({"-P", "010", "-8M"}, "");
}

TEST_F(TonecastStartupTest, Options) {
  ExpectPassed({"-C", "3", Image("a.vp", 8)}, FileStatus("a.vp", 270600));
  ExpectStopped({"-X", "a.vp"}, kIllegalParameter);
  ExpectStopped({"-", "a.vp"}, kIllegalParameter);
  for (const char* bad : {"-16", "-8", "-16MB", "-9M", "-16M "})
    ExpectStopped({bad, "a.vp"}, kIllegalParameter);
  ExpectPassed({"-8m", "a.vp"}, FileStatus("a.vp", 270600));
  ExpectPassed({"-16m", Image("b.vp", 16)}, FileStatus("b.vp", 946704));
  ExpectPassed({"-P", "2", "-16M"}, "");
}

TEST_F(TonecastStartupTest, FileBeforeTheOptionIsExaminedAs8Mbit) {
  ExpectStopped({Image("b.vp", 16), "-16M"}, "\nError : File size error. \n");
  ExpectPassed({Image("a.vp", 8), "-16M"}, FileStatus("a.vp", 270600));
}

TEST_F(TonecastStartupTest, DataFiles) {
  Image("a.vp", 8);
  Image("c.vp", 8);
  ExpectStopped({"a.vp", "c.vp"}, FileStatus("a.vp", 270600) + "\nError : Too many data files.\n");
  ExpectStopped({"-8M", "missing.vp"}, "\nError : File not found. \n");
  ExpectStopped({"-8M", Image("b.vp", 16)}, "\nError : File size error. \n");
}

TEST_F(TonecastStartupTest, EachBrokenFieldStopsTheRun) {
  const std::string format1 = "\nError : Illegal file format.  (code:1)\n";
  const std::string format2 = "\nError : Illegal file format.  (code:2)\n";
  for (int flash : {8, 16}) {
    const std::string option = flash == 16 ? "-16M" : "-8M";
    const int size = flash == 16 ? 946704 : 270600;
    SCOPED_TRACE(option);
    ExpectStopped({option, Image("s.vp", flash, VpBreak::kSize)}, "\nError : File size error. \n");
    ExpectStopped({option, Image("h.vp", flash, VpBreak::kHeadMarker)}, format1);
    ExpectStopped({option, Image("n.vp", flash, VpBreak::kCount)}, format2);
    ExpectStopped({option, Image("p.vp", flash, VpBreak::kPattern)}, format2);
    ExpectStopped({option, Image("l.vp", flash, VpBreak::kSumLength)}, format2);
    ExpectStopped({option, Image("c.vp", flash, VpBreak::kChecksum)}, "\nError : Check sum NG. \n");
    ExpectStopped({option, Image("t.vp", flash, VpBreak::kTailMarker)},
                  FileStatus("t.vp", size) + "\nError : End command failure.  (code:2)\n");
  }
}

TEST_F(TonecastStartupTest, ArgumentsBeyondTheirFields) {
  ExpectStopped({"-8M", std::string(260, 'f')}, "Error : File name is too long.\n");
  ExpectStopped({"-16M" + std::string(300, 'M'), "a.vp"}, kIllegalParameter);
  // 259 characters still fit (the file does not exist).
  ExpectStopped({"-8M", std::string(259, 'f')}, "\nError : File not found. \n");
}

TEST_F(TonecastStartupTest, OptionWithoutItsValue) {
  ExpectStopped({"-8M", "-P"}, "Error : Option -P needs a value.\n");
  // A cable option with nothing after it is accepted like any cable type.
  ExpectPassed({Image("a.vp", 8), "-C"}, FileStatus("a.vp", 270600));
}

// The image tool as tests and users run it.
TEST(VpImageToolTest, BuildsAndChecks) {
  TempDir dir;
  testsupport::ProcessOptions options;
  options.cwd = dir.path();
  const std::string tool = BinPath("vpimage");
  ProcessResult r = testsupport::RunProcess(
      {tool, "build", "--flash", "16", "--seed", "9", "-o", "good.vp"}, options);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(testsupport::ReadFile(dir.file("good.vp")).size(), 946704u);
  r = testsupport::RunProcess({tool, "check", "good.vp"}, options);
  EXPECT_EQ(r.exit_code, 0) << r.out;
  r = testsupport::RunProcess({tool, "check", "--flash", "8", "good.vp"}, options);
  EXPECT_EQ(r.exit_code, 1) << r.out;
  EXPECT_NE(r.out.find("size"), std::string::npos) << r.out;

  r = testsupport::RunProcess({tool, "build", "--flash", "8", "--break", "count", "-o", "bad.vp"},
                              options);
  ASSERT_EQ(r.exit_code, 0);
  r = testsupport::RunProcess({tool, "check", "bad.vp"}, options);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("count"), std::string::npos) << r.out;

  r = testsupport::RunProcess({tool, "build", "--flash", "12", "-o", "x.vp"}, options);
  EXPECT_EQ(r.exit_code, 2);
  r = testsupport::RunProcess({tool, "build", "--flash", "8", "--break", "nonsense", "-o", "x.vp"},
                              options);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_FALSE(testsupport::FileExists(dir.file("x.vp")));
}

}  // namespace
