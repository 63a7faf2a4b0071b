// Two downloaders at once, on one port or in one working directory, and a
// run log or data file that is not a plain file: the console output and the
// verdict stay as they would be, nothing waits for ever, and the log keeps
// whole records of one run at a time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/reliability/harness.h"
#include "tests/support/process.h"
#include "tests/support/unitsim.h"
#include "tools/vpimage/vp_builder.h"

namespace reliability {
namespace {

using testsupport::Process;
using testsupport::ProcessOptions;
using testsupport::ProcessResult;
using testsupport::TempDir;
using testsupport::UnitSim;

constexpr int kWaitMs = 20000;  // generous: only a hang runs into it

class TwoInstances : public ::testing::Test {
 protected:
  // Writes an 8 Mbit image into dir; returns the output of a good run.
  std::string PutImage(const TempDir& dir) {
    image_ = BuildVpImage(8, 5);
    testsupport::WriteFile(dir.file("voice.vp"), image_);
    return kBanner + FileStatus("voice.vp", image_.size()) + kGoodDialogue + kComplete;
  }
  std::unique_ptr<Process> StartTonecast(const TempDir& dir, const std::string& env) {
    ProcessOptions o;
    o.cwd = dir.path();
    o.env = {env};
    o.timeout_ms = 60000;
    return std::make_unique<Process>(
        std::vector<std::string>{testsupport::BinPath("tonecast"), "-P", "3", "voice.vp"}, o);
  }
  std::string Stored(const TempDir& dir) { return testsupport::ReadFile(dir.file("stored.vp")); }
  std::string ImageBytes() const { return std::string(image_.begin(), image_.end()); }

  std::vector<std::uint8_t> image_;
};

TEST_F(TwoInstances, SecondOnAHeldPortCannotOpenItAndTheFirstCompletes) {
  TempDir first_dir, second_dir;
  const std::string good = PutImage(first_dir);
  PutImage(second_dir);
  UnitSim unit({"--store", first_dir.file("stored.vp"), "--delay", "VPL=3000", "--trailing-line"},
               first_dir.path());
  auto first = StartTonecast(first_dir, unit.Env(3));
  // The first holds the port once its initialisation command has arrived.
  ASSERT_TRUE(unit.WaitForTranscript("command VPL", kWaitMs));

  ProcessResult second =
      RunTonecast(second_dir.path(), unit.Env(3), {"-P", "3", "voice.vp"}, 60000);
  EXPECT_EQ(second.err, "tonecast: COM3 is " + unit.path() +
                            ": in use; another program has the port open: close it, then try "
                            "again\n");
  second.err.clear();  // the one line about the held port, checked above
  EXPECT_EQ(CheckRunEnded(second, 15), "");
  EXPECT_EQ(second.out, kBanner + FileStatus("voice.vp", image_.size()) +
                            "\nError : Cannot open COM3. (code:16)\n" + kNg);
  std::vector<LogRecord> records;
  ASSERT_EQ(CheckLog(second_dir.path(), 1, &records), "");
  EXPECT_EQ(CountKind(records, "connect"), 0);
  EXPECT_EQ(CountKind(records, "Error"), 1);

  const ProcessResult r = first->Wait(60000);
  EXPECT_EQ(CheckRunEnded(r, 30), "");
  EXPECT_EQ(r.out, good);
  EXPECT_TRUE(Stored(first_dir) == ImageBytes()) << "stored image differs";
  EXPECT_EQ(CheckLog(first_dir.path(), 1), "");
}

TEST_F(TwoInstances, SecondInTheSameDirectoryRunsWithoutALogAndPrintsTheSame) {
  TempDir dir;
  const std::string good = PutImage(dir);
  UnitSim slow({"--store", dir.file("stored.vp"), "--delay", "VPL=3000", "--trailing-line",
                "--transcript", "slow.transcript"},
               dir.path());
  UnitSim quick({"--store", dir.file("stored2.vp"), "--trailing-line", "--transcript",
                 "quick.transcript"},
                dir.path());
  ProcessOptions o;
  o.cwd = dir.path();
  o.env = {slow.Env(3)};
  o.timeout_ms = 60000;
  Process first({testsupport::BinPath("tonecast"), "-P", "3", "voice.vp"}, o);
  ASSERT_TRUE(slow.WaitForTranscript("command VPL", kWaitMs));

  // Port 4: the log may not hold any record that names it.
  const ProcessResult second = RunTonecast(dir.path(), "COM4=" + quick.path(),
                                           {"-P", "4", "voice.vp"}, 60000);
  const ProcessResult r = first.Wait(60000);
  EXPECT_EQ(CheckRunEnded(second, 30), "");
  EXPECT_EQ(CheckRunEnded(r, 30), "");
  EXPECT_EQ(r.out, good);
  EXPECT_EQ(second.out, r.out);
  EXPECT_TRUE(testsupport::ReadFile(dir.file("stored2.vp")) == ImageBytes());

  std::vector<LogRecord> records;
  ASSERT_EQ(CheckLog(dir.path(), 1, &records), "");
  const std::string log = testsupport::ReadFile(dir.file("tonecast.log"));
  EXPECT_NE(log.find("COM3 connect at "), std::string::npos);
  EXPECT_EQ(log.find("COM4"), std::string::npos);
  // One dialogue: the two initialisation, announcement, image and end sends.
  EXPECT_EQ(CountKind(records, "SEND"), 4);
  EXPECT_EQ(CountKind(records, "connect"), 1);
}

// A run log that cannot be written leaves the console output as it is.
TEST_F(TwoInstances, LogThatIsNotAWritableFileIsSkipped) {
  TempDir reference_dir;
  const std::string good = PutImage(reference_dir);

  struct Case {
    const char* name;
    void (*prepare)(const TempDir&);
  } cases[] = {
      {"a directory", [](const TempDir& d) { mkdir(d.file("tonecast.log").c_str(), 0755); }},
      // Opening a FIFO for writing waits for a reader: the worker must not.
      {"a FIFO", [](const TempDir& d) { mkfifo(d.file("tonecast.log").c_str(), 0644); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    PutImage(dir);
    c.prepare(dir);
    UnitSim unit({"--store", dir.file("stored.vp"), "--trailing-line"}, dir.path());
    const ProcessResult r = RunTonecast(dir.path(), unit.Env(3), {"-P", "3", "voice.vp"}, 60000);
    EXPECT_EQ(CheckRunEnded(r, 30), "");
    EXPECT_EQ(r.out, good);
    EXPECT_TRUE(Stored(dir) == ImageBytes());
    struct stat st{};
    ASSERT_EQ(stat(dir.file("tonecast.log").c_str(), &st), 0);
    EXPECT_FALSE(S_ISREG(st.st_mode)) << "the log was replaced";
  }
}

TEST_F(TwoInstances, LogInADirectoryThatCannotBeWritten) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not stop root from writing";
  TempDir reference_dir;
  const std::string good = PutImage(reference_dir);
  TempDir dir;
  PutImage(dir);
  UnitSim unit({"--store", reference_dir.file("stored.vp"), "--trailing-line"},
               reference_dir.path());
  ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
  const ProcessResult r = RunTonecast(dir.path(), unit.Env(3), {"-P", "3", "voice.vp"}, 60000);
  chmod(dir.path().c_str(), 0755);
  EXPECT_EQ(CheckRunEnded(r, 30), "");
  EXPECT_EQ(r.out, good);
  EXPECT_FALSE(testsupport::FileExists(dir.file("tonecast.log")));
}

// A data file that is a FIFO: rejected at once, not waited on.
TEST_F(TwoInstances, DataFileThatIsAFifoIsRejectedWithoutWaiting) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.file("voice.vp").c_str(), 0644), 0);
  const ProcessResult r = RunTonecast(dir.path(), "", {"-P", "3", "voice.vp"}, 30000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, kBanner + "\nError : File not found. \n");
}

}  // namespace
}  // namespace reliability
