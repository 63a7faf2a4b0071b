#include "station/children.h"

#include <algorithm>

namespace station {

int Children::Start(const platform::ChildSpec& spec, platform::ChildProcess** child) {
  std::lock_guard<std::mutex> lock(mu_);
  if (interrupted_) return platform::ErrorCode(platform::Failure::kCancelled);
  const int err = platform::ChildStart(spec, child);
  if (err == 0) running_.push_back(*child);
  return err;
}

void Children::Forget(platform::ChildProcess* child) {
  std::lock_guard<std::mutex> lock(mu_);
  running_.erase(std::remove(running_.begin(), running_.end(), child), running_.end());
}

void Children::Interrupt(int kind) {
  std::lock_guard<std::mutex> lock(mu_);
  if (interrupted_) return;
  interrupted_ = true;
  kind_ = kind;
  for (platform::ChildProcess* c : running_) platform::ChildInterrupt(c, kind);
}

void Children::Hurry() {
  std::lock_guard<std::mutex> lock(mu_);
  for (platform::ChildProcess* c : running_) platform::ChildInterrupt(c, kind_);
}

bool Children::interrupted() {
  std::lock_guard<std::mutex> lock(mu_);
  return interrupted_;
}

int Children::running() {
  std::lock_guard<std::mutex> lock(mu_);
  return int(running_.size());
}

}  // namespace station
