// Consecutive downloads into one unit that serves session after session:
// SOAK_COUNT of them (default 10). Every image arrives exactly, the run log
// grows by one whole run each time, and the harness leaks no descriptors.
// Prints the harness's resident size before and after, and the run times.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "tests/reliability/harness.h"
#include "tests/support/process.h"
#include "tests/support/unitsim.h"
#include "tools/vpimage/vp_builder.h"

namespace reliability {
namespace {

using testsupport::ProcessResult;
using testsupport::TempDir;
using testsupport::UnitSim;

int SoakCount() {
  const char* text = std::getenv("SOAK_COUNT");
  if (!text || !*text) return 10;
  const int n = std::atoi(text);
  return n > 0 ? n : 10;
}

TEST(Soak, ConsecutiveDownloadsIntoOneUnit) {
  const int count = SoakCount();
  TempDir dir;
  // Two images in turn, so an image left over from the run before never
  // passes for the new one.
  const std::vector<std::uint8_t> images[2] = {BuildVpImage(8, 21), BuildVpImage(8, 22)};
  const std::string stored = dir.file("stored.vp");
  UnitSim unit({"--store", stored, "--trailing-line", "--transcript", "/dev/null"}, dir.path());

  const int fds_before = OpenDescriptorCount();
  const long rss_before = ResidentKb();
  double wall_max = 0, wall_sum = 0, cpu_max = 0;
  int failures = 0;
  for (int i = 0; i < count && failures < 3; ++i) {
    const auto& image = images[i % 2];
    testsupport::WriteFile(dir.file("voice.vp"), image);
    std::remove(stored.c_str());
    const ProcessResult r = RunTonecast(dir.path(), unit.Env(3), {"-P", "3", "voice.vp"}, 120000);
    wall_max = std::max(wall_max, r.wall_s);
    cpu_max = std::max(cpu_max, r.cpu_s);
    wall_sum += r.wall_s;
    std::string wrong = CheckRunEnded(r, 60);
    if (r.out != kBanner + FileStatus("voice.vp", image.size()) + kGoodDialogue + kComplete)
      wrong += "console output:\n" + r.out;
    if (testsupport::ReadFile(stored) != std::string(image.begin(), image.end()))
      wrong += "stored image differs; ";
    if (std::string why = CheckLog(dir.path(), std::size_t(i + 1)); !why.empty())
      wrong += "log: " + why;
    EXPECT_EQ(wrong, "") << "transfer " << i + 1;
    failures += !wrong.empty();
  }
  const int fds_after = OpenDescriptorCount();
  const long rss_after = ResidentKb();

  const std::string summary = unit.Stop();
  EXPECT_NE(summary.find("images ok " + std::to_string(count) + ", ng 0"), std::string::npos)
      << summary;
  EXPECT_NE(summary.find("garbled 0"), std::string::npos) << summary;
  EXPECT_EQ(unit.exit_code(), 0);
  EXPECT_EQ(fds_after, fds_before) << "descriptors leaked by the harness";
  std::printf(
      "[ figures  ] %d transfers: wall mean %.2f s, max %.2f s; tonecast CPU max %.3f s; "
      "harness descriptors %d -> %d; harness RSS %ld kB -> %ld kB\n",
      count, wall_sum / count, wall_max, cpu_max, fds_before, fds_after, rss_before, rss_after);
}

}  // namespace
}  // namespace reliability
