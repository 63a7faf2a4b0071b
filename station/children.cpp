#include "station/children.h"

#include <algorithm>

#include "platform/console.h"

namespace station {

int Children::Start(const platform::ChildCommand& cmd, platform::ChildProcess** child) {
  std::lock_guard<std::mutex> lock(mu_);
  if (interrupted_) return platform::ErrorCode(platform::Failure::kCancelled);
  const int err = platform::ChildStart(cmd, child);
  if (err != 0) return err;
  running_.push_back(*child);
  ++started_;
  return 0;
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
  // tonecast takes a repeated hang-up for the closing terminal's second one
  // and goes on: the second request must be of a kind that it heeds.
  const int urgent = platform::InterruptUrgentKind(kind_);
  for (platform::ChildProcess* c : running_) platform::ChildInterrupt(c, urgent);
}

bool Children::interrupted() {
  std::lock_guard<std::mutex> lock(mu_);
  return interrupted_;
}

std::size_t Children::started() {
  std::lock_guard<std::mutex> lock(mu_);
  return started_;
}

}  // namespace station
