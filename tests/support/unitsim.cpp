#include "tests/support/unitsim.h"

#include <signal.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "tests/support/process.h"

namespace testsupport {

UnitSim::UnitSim(std::vector<std::string> flags, std::string dir, std::string program) {
  bool has_transcript = false;
  for (const auto& f : flags) has_transcript = has_transcript || f == "--transcript";
  std::vector<std::string> argv{program.empty() ? BinPath("unitsim") : program};
  if (!has_transcript) {
    transcript_ = dir + "/unitsim.transcript";
    argv.push_back("--transcript");
    argv.push_back(transcript_);
  }
  for (std::size_t i = 0; i < flags.size(); ++i) {
    argv.push_back(flags[i]);
    if (flags[i] == "--transcript" && i + 1 < flags.size()) {
      transcript_ = flags[i + 1];
      if (!transcript_.empty() && transcript_[0] != '/') transcript_ = dir + "/" + transcript_;
    }
  }
  ProcessOptions options;
  options.cwd = dir;
  options.timeout_ms = 24 * 3600 * 1000;  // ended by Stop()
  process_ = std::make_unique<Process>(argv, options);
  if (!process_->WaitForOutput("\n", 10000)) {
    const std::string out = process_->Output();
    process_->Signal(SIGKILL);
    const ProcessResult r = process_->Wait(5000);
    throw std::runtime_error("unitsim did not start: " + out + r.err);
  }
  const std::string out = process_->Output();
  path_ = out.substr(0, out.find('\n'));
}

UnitSim::~UnitSim() {
  if (!stopped_) Stop();
}

std::string UnitSim::Env(int com) const { return "COM" + std::to_string(com) + "=" + path_; }

std::string UnitSim::Transcript() const { return ReadFile(transcript_); }

bool UnitSim::WaitForTranscript(const std::string& text, int timeout_ms) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (Transcript().find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string UnitSim::Stop() {
  if (stopped_) return summary_;
  stopped_ = true;
  process_->Signal(SIGTERM);
  const ProcessResult r = process_->Wait(10000);
  exit_code_ = r.exit_code;
  errors_ = r.err;
  const auto nl = r.out.find('\n');
  summary_ = nl == std::string::npos ? std::string() : r.out.substr(nl + 1);
  return summary_;
}

}  // namespace testsupport
