#include "station/children.h"

#include <algorithm>

#include "platform/console.h"
#include "platform/thread.h"

namespace station {

int Children::Start(const platform::ChildCommand& cmd, platform::ChildProcess** child) {
  std::lock_guard<std::mutex> lock(mu_);
  if (interrupted_) return platform::ErrorCode(platform::Failure::kCancelled);
  const int err = platform::ChildStart(cmd, child);
  if (err != 0) return err;
  // An interrupt that came while the child was being created may have
  // missed it (a console's broadcast reaches the processes attached at
  // that moment): such a child never runs.
  if (platform::InterruptReceived()) {
    platform::ChildKill(*child);
    platform::ChildResume(*child);
    platform::ChildEnd end;
    platform::ChildWait(*child, platform::kWaitForever, &end);
    platform::ChildRelease(*child);
    *child = nullptr;
    return platform::ErrorCode(platform::Failure::kCancelled);
  }
  platform::ChildResume(*child);
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
  for (platform::ChildProcess* c : running_) platform::ChildEndNow(c, urgent);
}

void Children::EndNow(int kind) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!interrupted_) {
    interrupted_ = true;
    kind_ = kind;
  }
  for (platform::ChildProcess* c : running_) platform::ChildEndNow(c, kind);
}

void Children::Kill() {
  std::lock_guard<std::mutex> lock(mu_);
  for (platform::ChildProcess* c : running_) platform::ChildKill(c);
}

bool Children::interrupted() {
  std::lock_guard<std::mutex> lock(mu_);
  return interrupted_;
}

int Children::passed_kind() {
  std::lock_guard<std::mutex> lock(mu_);
  return interrupted_ ? kind_ : 0;
}

std::size_t Children::started() {
  std::lock_guard<std::mutex> lock(mu_);
  return started_;
}

}  // namespace station
