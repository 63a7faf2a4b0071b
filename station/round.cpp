#include "station/round.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/console.h"
#include "station/display.h"

namespace station {

namespace {

// tonecast ends within a second or two of an interrupt; one that is still
// running after this is asked again (on Windows: ended). When the system
// gives the station only a few seconds (a console window closing), the
// children are ended sooner, so that every row is written in time.
constexpr auto kInterruptGrace = std::chrono::seconds(15);
constexpr auto kShortGrace = std::chrono::milliseconds(1500);
// After an end at once, a child that has not ended by then is killed.
constexpr auto kEndNowGrace = std::chrono::seconds(2);
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

  bool hurried = false, killed = false;
  std::chrono::steady_clock::time_point interrupted_at, urgent_at;
  bool seen_interrupt = false, seen_urgent = false;
  while (!finished.WaitFor(units.size(), kLook)) {
    const auto now = std::chrono::steady_clock::now();
    if (!seen_urgent && platform::InterruptUrgentReceived() != 0) {
      seen_urgent = true;
      urgent_at = now;
    }
    if (seen_urgent && !killed && now - urgent_at >= kEndNowGrace) {
      children->Kill();
      killed = true;
    }
    if (hurried || !children->interrupted()) continue;
    if (!seen_interrupt) {
      seen_interrupt = true;
      interrupted_at = now;
    } else if (now - interrupted_at >=
               (platform::InterruptLeavesLittleTime()
                    ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(kShortGrace)
                    : std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          kInterruptGrace))) {
      children->Hurry();
      hurried = true;
    }
  }
  for (std::thread& t : threads) t.join();
  display.Stop();
  return display.Views();
}

}  // namespace station
