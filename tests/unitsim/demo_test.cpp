// `make demo` end to end: the script must download the generated image into
// the simulated unit, find it stored byte for byte, talk to the unit with
// linepoke, and leave nothing behind.
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
  EXPECT_NE(r.out.find("demo: all steps passed"), std::string::npos);
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
