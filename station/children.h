// The station's running children and the interrupts it passes on to them.
//
// Each child runs in a process group of its own (platform/process.h), so a
// terminal's Ctrl+C reaches the station alone; the station then passes it
// on to every child exactly once (tonecast takes a second interrupt as "end
// at once"). A child is started only while no interrupt has come, under the
// same lock that the interrupt takes, so none starts after it and none is
// missed.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "platform/process.h"

namespace station {

class Children {
 public:
  // Starts a child and keeps it on the list. Fails as Failure::kCancelled
  // once an interrupt has come. 0, or the platform's error code.
  int Start(const platform::ChildCommand& cmd, platform::ChildProcess** child);
  // Takes an ended child off the list (before ChildRelease).
  void Forget(platform::ChildProcess* child);

  // The station's interrupt: passed on once to each running child, and no
  // child starts from now on. Any thread.
  void Interrupt(int kind);
  // A second interrupt to each child still running, which makes tonecast
  // end at once: for children that take too long to end after the first.
  // After a hang-up it is a request to terminate (a repeated hang-up is
  // ignored, as a closing terminal sends two).
  void Hurry();
  // An end at once (SIGQUIT, a second interrupt): passed on to every child
  // still running, as its kind.
  void EndNow(int kind);
  // Ends every child still running outright: for those that did not end
  // when asked.
  void Kill();
  bool interrupted();
  // The kind of interrupt passed on to the children, 0 for none yet.
  int passed_kind();
  // How many children have been started, all rounds together.
  std::size_t started();

 private:
  std::mutex mu_;
  std::vector<platform::ChildProcess*> running_;
  std::size_t started_ = 0;
  bool interrupted_ = false;
  int kind_ = 0;
};

}  // namespace station
