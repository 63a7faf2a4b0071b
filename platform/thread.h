// Threads, per-thread message queues and thread timers.
//
// The programs coordinate their threads the way a message-driven console
// program does: every thread that takes part has a queue, other threads post
// small messages (a kind and two parameters) to it by thread id, and a thread
// may arm repeating timers whose expiries arrive in its own queue.
//
// All functions return 0 for success or the platform's error code
// (platform/error.h), unless stated.
#pragma once

#include <cstdint>

#include "platform/error.h"

namespace platform {

using ThreadId = std::uint32_t;  // 0 names no thread
struct Thread;                   // opaque handle of a created thread
using ThreadRoutine = void (*)(void* arg);

constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

// Message kinds that the platform itself produces or that every queue user
// shares. Program-specific kinds start at 2048.
constexpr std::uint32_t kMsgDestroy = 2;  // "stop" request between threads
constexpr std::uint32_t kMsgTimer = 275;  // timer expiry; wparam = timer id

struct Message {
  std::uint32_t kind = 0;
  std::uint32_t wparam = 0;
  std::uintptr_t lparam = 0;
};

// Creates a thread running routine(arg). Its queue exists from the moment
// this returns, so messages may be posted to *id before the thread runs.
// With suspended = true the routine starts only at ThreadResume.
// The queue is removed when the routine returns; later posts to it fail.
int ThreadCreate(ThreadRoutine routine, void* arg, bool suspended,
                 Thread** thread, ThreadId* id);
int ThreadResume(Thread* thread);
// Waits until the thread's routine has returned, or timeout_ms has passed
// (Failure::kStalled). kWaitForever waits without limit.
int ThreadWait(Thread* thread, std::uint32_t timeout_ms);
// Releases the handle. A thread still running is detached and ends on its own;
// one created suspended and never resumed ends without running its routine.
void ThreadRelease(Thread* thread);

// The calling thread's id. A thread that was not created by ThreadCreate
// (the main thread) gets its queue here, on first use.
ThreadId ThreadCurrentId();

// Posts a message to the queue of thread `to`. Fails as Failure::kNotFound when that
// thread has no queue (never existed, or has ended).
int QueuePost(ThreadId to, std::uint32_t kind, std::uint32_t wparam,
                std::uintptr_t lparam);
// Takes the next message from the calling thread's queue, sleeping until a
// message is posted or one of the thread's timers is due. Posted messages
// come first, in the order posted; a due timer yields kMsgTimer.
int QueueGet(Message* message);

// Arms a repeating timer of period_ms (at least 10 ms) on the calling
// thread's queue. Returns its id (never 0), or 0 on failure. Each expiry
// posts at most one pending kMsgTimer per timer (expiries do not pile up
// while the thread is busy).
std::uint32_t TimerSet(std::uint32_t period_ms);
// Cancels a timer of the calling thread; also drops its pending expiry.
// Fails as Failure::kNotFound for an unknown id.
int TimerKill(std::uint32_t timer_id);

// Sleeps the calling thread.
void SleepMs(std::uint32_t ms);

}  // namespace platform
