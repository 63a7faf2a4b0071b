// `make demo` end to end: the script must download the generated image into
// the simulated unit, find it stored byte for byte, talk to the unit with
// linepoke, run the station on three units with one failing, explain the
// exit statuses, name the next commands with the bin folder, and leave
// nothing behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/process.h"

namespace {

TEST(Demo, EveryStepPassesAndTheTemporaryDirectoryIsRemoved) {
  testsupport::TempDir tmp;
  testsupport::ProcessOptions o;
  o.cwd = tmp.path();
  o.env = {"TMPDIR=" + tmp.path()};
  o.timeout_ms = 120000;
  const auto r = testsupport::RunProcess(
      {std::string(SOURCE_DIR) + "/scripts/demo", std::string(BIN_DIR)}, o);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("verdict: complete"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("stored.vp equals image.vp byte for byte"), std::string::npos);
  EXPECT_NE(r.out.find("OK VER"), std::string::npos);
  EXPECT_NE(r.out.find("(exit status 1: tonecast exits 1 after every run that reached a verdict,"),
            std::string::npos);
  // The station, into a pipe: plain lines, the summary, the report's rows.
  EXPECT_NE(r.out.find("unit-3: NG (Check sum NG.)\n"), std::string::npos);
  EXPECT_NE(r.out.find("2 of 3 units complete. Not complete:\n"), std::string::npos);
  EXPECT_NE(r.out.find("(exit status 1: the station exits 0 when every unit completed"),
            std::string::npos);
  EXPECT_NE(r.out.find("tonecast-logs/report.csv\n"), std::string::npos);
  EXPECT_NE(r.out.find("demo: all steps passed"), std::string::npos);
  const std::string bin = std::filesystem::canonical(BIN_DIR).string();
  EXPECT_NE(r.out.find("  export PATH=" + bin + ":$PATH\n"), std::string::npos) << r.out;
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "the demo left files behind";
}

TEST(Demo, MissingBuildDirectoryFailsWithAHint) {
  testsupport::TempDir tmp;
  testsupport::ProcessOptions o;
  o.cwd = tmp.path();
  o.timeout_ms = 30000;
  const auto r =
      testsupport::RunProcess({std::string(SOURCE_DIR) + "/scripts/demo", tmp.file("none")}, o);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("make demo"), std::string::npos) << r.err;
}

}  // namespace
