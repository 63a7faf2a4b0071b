// Eight downloads at the same time, each with its own unit and working
// directory: all complete with byte-exact images, and they do not queue
// behind one another. Prints the wall time of one run alone and of the
// eight together.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "tests/reliability/harness.h"
#include "tests/support/process.h"
#include "tests/support/unitsim.h"
#include "tools/vpimage/vp_builder.h"

namespace reliability {
namespace {

using testsupport::ProcessResult;
using testsupport::TempDir;
using testsupport::UnitSim;
using Clock = std::chrono::steady_clock;

constexpr int kUnits = 8;

struct Site {
  TempDir dir;
  std::vector<std::uint8_t> image;
  std::unique_ptr<UnitSim> unit;
  ProcessResult result;

  explicit Site(std::uint32_t seed) : image(BuildVpImage(8, seed)) {
    testsupport::WriteFile(dir.file("voice.vp"), image);
    unit = std::make_unique<UnitSim>(
        std::vector<std::string>{"--store", dir.file("stored.vp"), "--trailing-line"},
        dir.path());
  }
  void Run() { result = RunTonecast(dir.path(), unit->Env(3), {"-P", "3", "voice.vp"}, 120000); }
  // "" when the run completed and the unit stored the image exactly.
  std::string Check() {
    std::string wrong = CheckRunEnded(result, 60);
    if (result.out != kBanner + FileStatus("voice.vp", image.size()) + kGoodDialogue + kComplete)
      wrong += "console output:\n" + result.out;
    if (testsupport::ReadFile(dir.file("stored.vp")) != std::string(image.begin(), image.end()))
      wrong += "stored image differs; ";
    if (std::string why = CheckLog(dir.path(), 1); !why.empty()) wrong += "log: " + why;
    return wrong;
  }
};

double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

TEST(ManyUnits, EightDownloadsAtOnceAllCompleteWithoutQueueing) {
  Site alone(1);
  auto t0 = Clock::now();
  alone.Run();
  const double one = SecondsSince(t0);
  ASSERT_EQ(alone.Check(), "");

  std::vector<std::unique_ptr<Site>> sites;
  for (int i = 0; i < kUnits; ++i) sites.push_back(std::make_unique<Site>(std::uint32_t(10 + i)));
  std::vector<std::thread> threads;
  t0 = Clock::now();
  for (auto& s : sites) threads.emplace_back([&s] { s->Run(); });
  for (auto& t : threads) t.join();
  const double together = SecondsSince(t0);

  for (int i = 0; i < kUnits; ++i) EXPECT_EQ(sites[std::size_t(i)]->Check(), "") << "unit " << i;
  std::printf("[ figures  ] one download alone: %.2f s; %d downloads at once: %.2f s\n", one,
              kUnits, together);
  // Only a gross bound: eight runs that queued behind one another would
  // take eight times as long.
  EXPECT_LT(together, kUnits * one);
}

}  // namespace
}  // namespace reliability
