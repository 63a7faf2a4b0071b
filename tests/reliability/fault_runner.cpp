#include "tests/reliability/fault_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/reliability/harness.h"
#include "tests/support/process.h"
#include "tests/support/unitsim.h"
#include "tools/vpimage/vp_builder.h"

namespace reliability {

const std::string kUpToVpdReply = "\nFlash inithalizing...end. \nPrepare downloading...";
const std::string kUpToImage = kUpToVpdReply +
                               "end. \nChanging baudrate (UP)...end. \n"
                               "\nDownload file#0...";
const std::string kUpToFinReply = kUpToImage + "end. \nNow waiting FIN...";
const std::string kUpToEndReply =
    kUpToFinReply + "end. \nChanging baudrate (DOWN)...end. \nend. \nWaiting for the end...";

namespace {

using testsupport::ProcessResult;
using testsupport::TempDir;
using testsupport::UnitSim;

const char* const kImageName = "voice.vp";

// Everything found wrong with one case; empty when all is well.
std::string RunOne(const FaultCase& c, std::uint32_t seed) {
  std::ostringstream wrong;
  TempDir dir;
  const std::vector<std::uint8_t> image = BuildVpImage(8, seed);
  const std::string image_bytes(image.begin(), image.end());
  testsupport::WriteFile(dir.file(kImageName), image);
  const std::string status = kBanner + FileStatus(kImageName, image.size());
  const std::string stored = dir.file("stored.vp");

  std::vector<std::string> flags = c.flags;
  flags.insert(flags.end(), {"--store", stored, "--faulty-sessions", "1"});
  if (c.trailing_line) flags.push_back("--trailing-line");
  auto unit = std::make_unique<UnitSim>(flags, dir.path());

  // The faulty run.
  const int limit_ms = int(c.max_s * 1000) + 60000;
  const ProcessResult first = RunTonecast(dir.path(), unit->Env(3), {"-P", "3", kImageName},
                                          limit_ms);
  wrong << CheckRunEnded(first, c.max_s);
  // A missed reply is only reported once its timer has run out.
  const bool timer_ran_out = first.out.find("No ACK. ") != std::string::npos ||
                             first.out.find("Data Size Error. ") != std::string::npos;
  if (timer_ran_out && first.wall_s < c.min_s)
    wrong << "ended after " << first.wall_s << " s, before its reply timer (" << c.min_s
          << " s); ";
  bool tail_known = false;
  for (const auto& tail : c.tails) tail_known = tail_known || first.out == status + tail;
  if (!tail_known) wrong << "console output:\n" << first.out << "\n; ";

  // Any error shown makes the verdict NG, and each is in the log once.
  const int shown = CountConsoleErrors(first.out);
  const bool ng = first.out.size() >= kNg.size() &&
                  first.out.compare(first.out.size() - kNg.size(), kNg.size(), kNg) == 0;
  if ((shown > 0) != ng) wrong << shown << " errors shown but verdict " << (ng ? "NG" : "OK");
  std::vector<LogRecord> records;
  if (std::string why = CheckLog(dir.path(), 1, &records); !why.empty()) {
    wrong << "log after the faulty run: " << why << "; ";
  } else {
    if (CountKind(records, "Error") != shown)
      wrong << CountKind(records, "Error") << " Error records for " << shown << " errors shown; ";
    if (CountKind(records, "connect") != 1 || CountKind(records, "disconnect") != 1)
      wrong << "the port was not opened and closed once; ";
  }

  // The port is free again: a second run completes, on the same line when
  // the unit kept it, else on a fresh unit.
  if (!c.line_survives) {
    unit->Stop();
    if (unit->exit_code() != 0 || !unit->error_output().empty())
      wrong << "faulty unit ended badly: " << unit->error_output() << "; ";
    unit = std::make_unique<UnitSim>(
        std::vector<std::string>{"--store", stored, "--trailing-line", "--transcript",
                                 dir.file("second.transcript")},
        dir.path());
  }
  const ProcessResult second = RunTonecast(dir.path(), unit->Env(3), {"-P", "3", kImageName});
  wrong << CheckRunEnded(second, 30);
  if (second.out != status + kGoodDialogue + kComplete)
    wrong << "second run's console output:\n" << second.out << "\n; ";
  if (testsupport::ReadFile(stored) != image_bytes) wrong << "second run stored another image; ";
  if (std::string why = CheckLog(dir.path(), 2); !why.empty())
    wrong << "log after the second run: " << why << "; ";
  unit->Stop();
  if (unit->exit_code() != 0 || !unit->error_output().empty())
    wrong << "unit ended badly: " << unit->error_output() << "; ";
  return wrong.str();
}

}  // namespace

void RunFaultCases(const std::vector<FaultCase>& cases) {
  std::vector<std::string> findings(cases.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    threads.emplace_back([&, i] {
      try {
        findings[i] = RunOne(cases[i], std::uint32_t(100 + i));
      } catch (const std::exception& e) {
        findings[i] = std::string("harness failure: ") + e.what();
      }
    });
  }
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(findings[i], "") << cases[i].name;
}

}  // namespace reliability
