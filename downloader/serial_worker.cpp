#include "downloader/serial_worker.h"

#include <cstdio>
#include <new>

#include "downloader/interrupt.h"
#include "downloader/messages.h"
#include "downloader/port_control.h"
#include "downloader/receiver.h"
#include "downloader/run_log.h"
#include "platform/alert.h"

namespace tonecast {

namespace {

constexpr std::uint32_t kReadyWaitMs = 5000;

// Posts a result to the main thread. 0 when it was queued.
int PostToMain(std::uint32_t kind, std::uint32_t wparam) {
  return platform::QueuePost(g_thread_slots[0].id, kind, wparam, 0);
}

// A new request begins: a stop made before it was posted belonged to the
// receive loop that ran before it, and is spent.
void TakeRequest() {
  if (SerialContext* ctx = g_serial.load()) ctx->stop_requested.store(0);
}

// Replies to an open or speed request. With the port ready, receiving
// starts once the reply is on its way; a reply that cannot be posted ends
// the worker (true), a failed request just waits for the next one.
bool ReplyThenReceive(std::uint32_t kind, std::int32_t code) {
  const int posted = PostToMain(kind, static_cast<std::uint32_t>(code));
  if (code != 0) return false;
  if (posted != 0) return true;
  ReceiveLoop();
  return false;
}

}  // namespace

int InitWorker() {
  auto* ctx = new (std::nothrow) SerialContext;
  if (!ctx) return -1;
  g_serial.store(ctx);
  OpenRunLog();  // when it cannot be opened the run goes on without a log
  return 0;
}

void TearDownWorker() {
  // The record stays until StopWorker has seen this thread end: the main
  // thread may still call StopReceiving or SerialSend on it. A port left
  // open stays open until then as well.
  CloseRunLog();
}

void SerialWorker(void*) {
  const int init = InitWorker();
  const int posted = PostToMain(UM_READY, static_cast<std::uint32_t>(init));
  if (init != 0 || posted != 0) return;

  for (;;) {
    platform::Message m;
    if (platform::QueueGet(&m) != 0) break;
    bool leave = false;
    switch (m.kind) {
      case UM_OPEN:
        TakeRequest();
        leave = ReplyThenReceive(UM_OPEN, OpenPort(static_cast<std::int32_t>(m.wparam),
                                                   static_cast<std::uint32_t>(m.lparam)));
        break;
      case UM_CLOSE:
        TakeRequest();
        ClosePort();
        leave = PostToMain(UM_CLOSE, 0) != 0;
        break;
      case UM_BAUD:
        TakeRequest();
        leave = ReplyThenReceive(UM_BAUD, ChangeSpeed(m.wparam));
        break;
      case UM_DESTROY:
        leave = true;
        break;
      default:
        break;  // not a request
    }
    if (leave) break;
  }
  TearDownWorker();
}

int StartWorker(int slot) {
  if (slot != 1) return 0;
  // The main thread's queue must exist before the worker can post to it.
  const platform::ThreadId self = platform::ThreadCurrentId();
  if (g_thread_slots[0].id == 0) g_thread_slots[0].id = self;

  platform::Thread* handle = nullptr;
  platform::ThreadId id = 0;
  if (platform::ThreadCreate(SerialWorker, nullptr, true, &handle, &id) != 0) {
    platform::ShowAlert("Tonecaster", "Cannot create RS-232C Thread");
    return 0;
  }
  platform::ThreadResume(handle);
  const std::uint32_t timer = platform::TimerSet(kReadyWaitMs);
  platform::Message m;
  int rc = 0;
  // An interrupt's message may come first: the caller asks the platform
  // whether one came, so the message itself is not needed.
  do {
    rc = platform::QueueGet(&m);
  } while (rc == 0 && m.kind == UM_INTERRUPT);
  if (timer != 0) platform::TimerKill(timer);
  if (rc == 0 && m.kind == UM_READY) {
    g_thread_slots[slot].id = id;
    g_thread_slots[slot].handle = handle;
    return 1;
  }
  std::printf("Error : Cannot create RS-232C Thread\n");
  std::fflush(stdout);
  // The worker is not stopped; it ends with the process.
  platform::ThreadRelease(handle);
  return 0;
}

int StopWorker(int slot) {
  if (slot < 0 || slot > 1) return 1;
  ThreadSlot& s = g_thread_slots[slot];
  // Shutdown ends every receive loop from now on, also one that starts for
  // a request still queued before UM_DESTROY (the request clears only the
  // ordinary stop).
  if (SerialContext* ctx = g_serial.load()) {
    ctx->shutting_down.store(1);
    std::lock_guard<std::mutex> lock(g_port_mu);
    if (platform::SerialPort* port = ctx->port.load()) platform::SerialSetEventMask(port, 0);
  }
  platform::QueuePost(s.id, UM_DESTROY, 0, 0);
  platform::Thread* handle = s.handle;
  s.id = 0;
  s.handle = nullptr;
  if (!handle) return 1;  // no worker of ours: nothing to wait for or release
  // Every receive loop now ends at once, so the worker reads UM_DESTROY.
  platform::ThreadWait(handle, platform::kWaitForever);
  platform::ThreadRelease(handle);
  // The worker has ended: nobody else reaches the record now.
  if (SerialContext* ctx = g_serial.exchange(nullptr)) {
    if (platform::SerialPort* port = ctx->port.exchange(nullptr)) {
      GuardPort(nullptr);
      platform::SerialClose(port);
    }
    delete ctx;
  }
  return 1;
}

}  // namespace tonecast
