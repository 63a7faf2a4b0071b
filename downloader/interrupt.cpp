#include "downloader/interrupt.h"

#include <mutex>

#include "downloader/messages.h"
#include "platform/console.h"

namespace tonecast {

namespace {

// Keeps the guarded port open while the watcher cancels its writes: the
// worker closes a port only after un-guarding it under this lock. Never held
// across a write, so the watcher does not wait for one.
std::mutex g_guard_mu;
platform::SerialPort* g_guarded = nullptr;

void OnInterrupt() {
  {
    std::lock_guard<std::mutex> lock(g_guard_mu);
    if (g_guarded) platform::SerialCancelWrites(g_guarded);
  }
  platform::QueuePost(g_thread_slots[0].id, UM_INTERRUPT, 0, 0);
}

}  // namespace

int WatchInterrupts() { return platform::InterruptWatch(OnInterrupt); }

void GuardPort(platform::SerialPort* port) {
  std::lock_guard<std::mutex> lock(g_guard_mu);
  g_guarded = port;
  platform::InterruptGuardPort(port);
  // A port opened after the interrupt takes no dialogue at all.
  if (port && platform::InterruptReceived()) platform::SerialCancelWrites(port);
}

}  // namespace tonecast
