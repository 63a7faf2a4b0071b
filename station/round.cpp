#include "station/round.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "station/display.h"

namespace station {

namespace {

// tonecast ends within a second or two of an interrupt; one that is still
// running after this is asked again.
constexpr auto kInterruptGrace = std::chrono::seconds(15);
// How often the waiting thread looks for an interrupt while units run.
constexpr auto kLook = std::chrono::milliseconds(200);

// Counts the units that have ended.
class Finished {
 public:
  void One() {
    std::lock_guard<std::mutex> lock(mu_);
    ++count_;
    done_.notify_one();
  }
  // Waits until count units have ended or the period has passed.
  bool WaitFor(std::size_t count, std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(mu_);
    return done_.wait_for(lock, period, [&] { return count_ >= count; });
  }

 private:
  std::mutex mu_;
  std::condition_variable done_;
  std::size_t count_ = 0;
};

}  // namespace

std::vector<UnitView> RunRound(const RunSettings& settings, const std::vector<UnitPort>& units,
                               bool table, Children* children, Report* report) {
  std::vector<std::string> labels;
  for (const UnitPort& u : units) labels.push_back(u.label);
  Display display(labels, table);
  // Without a drawing thread the round still runs; only the screen is quiet.
  display.Start();

  Finished finished;
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < units.size(); ++i) {
    auto run = [&, i] {
      RunUnit(settings, units[i], i, &display, children, report);
      finished.One();
    };
    try {
      threads.emplace_back(run);
    } catch (const std::system_error&) {
      display.Ended(i, Verdict::kNoVerdict, "Cannot start a thread for this unit.", 0);
      finished.One();
    }
  }

  bool hurried = false;
  std::chrono::steady_clock::time_point interrupted_at;
  bool seen_interrupt = false;
  while (!finished.WaitFor(units.size(), kLook)) {
    if (hurried || !children->interrupted()) continue;
    const auto now = std::chrono::steady_clock::now();
    if (!seen_interrupt) {
      seen_interrupt = true;
      interrupted_at = now;
    } else if (now - interrupted_at >= kInterruptGrace) {
      children->Hurry();
      hurried = true;
    }
  }
  for (std::thread& t : threads) t.join();
  display.Stop();
  return display.Views();
}

}  // namespace station
