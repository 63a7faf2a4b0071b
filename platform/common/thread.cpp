// Threads, queues and timers on the standard library's threads: the same on
// every platform.
#include "platform/thread.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

struct TimerEntry {
  std::uint32_t id;
  std::chrono::milliseconds period;
  Clock::time_point due;
};

struct Queue {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<Message> posted;
  std::vector<TimerEntry> timers;
};

std::mutex g_registry_mu;
std::unordered_map<ThreadId, std::shared_ptr<Queue>>& Registry() {
  static auto* registry = new std::unordered_map<ThreadId, std::shared_ptr<Queue>>();
  return *registry;
}
std::atomic<ThreadId> g_next_thread_id{1};
std::atomic<std::uint32_t> g_next_timer_id{1};

constexpr std::uint32_t kMinTimerMs = 10;

thread_local ThreadId t_id = 0;
thread_local std::shared_ptr<Queue> t_queue;

ThreadId RegisterQueue(std::shared_ptr<Queue> queue) {
  const ThreadId id = g_next_thread_id.fetch_add(1);
  std::lock_guard<std::mutex> lock(g_registry_mu);
  Registry()[id] = std::move(queue);
  return id;
}

void UnregisterQueue(ThreadId id) {
  std::lock_guard<std::mutex> lock(g_registry_mu);
  Registry().erase(id);
}

// The calling thread's queue, created on first use.
Queue& OwnQueue() {
  if (!t_queue) {
    t_queue = std::make_shared<Queue>();
    t_id = RegisterQueue(t_queue);
  }
  return *t_queue;
}

}  // namespace

struct Thread {
  struct State {
    std::mutex mu;
    std::condition_variable cv;
    bool resumed = false;
    bool cancelled = false;  // released before it was ever resumed
    bool finished = false;
  };
  std::shared_ptr<State> state;
  std::thread thread;
};

int ThreadCreate(ThreadRoutine routine, void* arg, bool suspended, Thread** thread,
                 ThreadId* id) {
  auto queue = std::make_shared<Queue>();
  const ThreadId new_id = RegisterQueue(queue);
  auto* handle = new (std::nothrow) Thread;
  if (!handle) {
    UnregisterQueue(new_id);
    return ErrorCode(Failure::kNoResources);
  }
  handle->state = std::make_shared<Thread::State>();
  handle->state->resumed = !suspended;
  auto state = handle->state;
  try {
    handle->thread = std::thread([routine, arg, state, queue, new_id]() {
      {
        std::unique_lock<std::mutex> lock(state->mu);
        state->cv.wait(lock, [&] { return state->resumed || state->cancelled; });
      }
      t_id = new_id;
      t_queue = queue;
      if (!state->cancelled) routine(arg);
      UnregisterQueue(new_id);
      t_queue.reset();
      {
        std::lock_guard<std::mutex> lock(state->mu);
        state->finished = true;
      }
      state->cv.notify_all();
    });
  } catch (...) {
    UnregisterQueue(new_id);
    delete handle;
    return ErrorCode(Failure::kNoResources);
  }
  *thread = handle;
  if (id) *id = new_id;
  return 0;
}

int ThreadResume(Thread* thread) {
  if (!thread) return ErrorCode(Failure::kInvalid);
  {
    std::lock_guard<std::mutex> lock(thread->state->mu);
    thread->state->resumed = true;
  }
  thread->state->cv.notify_all();
  return 0;
}

int ThreadWait(Thread* thread, std::uint32_t timeout_ms) {
  if (!thread) return ErrorCode(Failure::kInvalid);
  auto& st = *thread->state;
  std::unique_lock<std::mutex> lock(st.mu);
  if (timeout_ms == kWaitForever) {
    st.cv.wait(lock, [&] { return st.finished; });
  } else if (!st.cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return st.finished; })) {
    return ErrorCode(Failure::kStalled);
  }
  return 0;
}

void ThreadRelease(Thread* thread) {
  if (!thread) return;
  bool finished;
  {
    std::lock_guard<std::mutex> lock(thread->state->mu);
    finished = thread->state->finished;
    // A thread that never ran is let go without running its routine.
    if (!thread->state->resumed) thread->state->cancelled = true;
  }
  thread->state->cv.notify_all();
  if (thread->thread.joinable()) {
    if (finished)
      thread->thread.join();
    else
      thread->thread.detach();
  }
  delete thread;
}

ThreadId ThreadCurrentId() {
  OwnQueue();
  return t_id;
}

int QueuePost(ThreadId to, std::uint32_t kind, std::uint32_t wparam, std::uintptr_t lparam) {
  std::shared_ptr<Queue> queue;
  {
    std::lock_guard<std::mutex> lock(g_registry_mu);
    auto it = Registry().find(to);
    if (it == Registry().end()) return ErrorCode(Failure::kNotFound);
    queue = it->second;
  }
  {
    std::lock_guard<std::mutex> lock(queue->mu);
    queue->posted.push_back(Message{kind, wparam, lparam});
  }
  queue->cv.notify_one();
  return 0;
}

int QueueGet(Message* message) {
  if (!message) return ErrorCode(Failure::kInvalid);
  Queue& q = OwnQueue();
  std::unique_lock<std::mutex> lock(q.mu);
  for (;;) {
    if (!q.posted.empty()) {
      *message = q.posted.front();
      q.posted.pop_front();
      return 0;
    }
    const auto now = Clock::now();
    auto earliest = q.timers.end();
    for (auto it = q.timers.begin(); it != q.timers.end(); ++it)
      if (earliest == q.timers.end() || it->due < earliest->due) earliest = it;
    if (earliest != q.timers.end() && earliest->due <= now) {
      // Re-armed from now: expiries never pile up while the thread is busy.
      earliest->due = now + earliest->period;
      *message = Message{kMsgTimer, earliest->id, 0};
      return 0;
    }
    if (earliest == q.timers.end())
      q.cv.wait(lock);
    else
      q.cv.wait_until(lock, earliest->due);
  }
}

std::uint32_t TimerSet(std::uint32_t period_ms) {
  // A zero period would be due on every get: the loop would spin.
  if (period_ms < kMinTimerMs) period_ms = kMinTimerMs;
  Queue& q = OwnQueue();
  std::uint32_t id = g_next_timer_id.fetch_add(1);
  if (id == 0) id = g_next_timer_id.fetch_add(1);
  const auto period = std::chrono::milliseconds(period_ms);
  std::lock_guard<std::mutex> lock(q.mu);
  q.timers.push_back(TimerEntry{id, period, Clock::now() + period});
  return id;
}

int TimerKill(std::uint32_t timer_id) {
  Queue& q = OwnQueue();
  std::lock_guard<std::mutex> lock(q.mu);
  const auto it = std::find_if(q.timers.begin(), q.timers.end(),
                               [&](const TimerEntry& t) { return t.id == timer_id; });
  if (it == q.timers.end()) return ErrorCode(Failure::kNotFound);
  q.timers.erase(it);
  return 0;
}

void SleepMs(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace platform
