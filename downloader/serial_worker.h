// The serial worker thread: owns the port's state changes (open, speed,
// close) and its receive side, driven by requests in its queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "downloader/messages.h"
#include "platform/serial.h"

constexpr int kLineBufferSize = 128;

// Shared by the two threads. Allocated by the worker; released only after
// the worker thread has ended (StopWorker), so that main-thread code never
// reaches a released record.
struct SerialContext {
  std::atomic<std::int32_t> receiving{0};        // 1 while ReceiveLoop runs
  std::atomic<std::int32_t> stop_requested{0};   // a StopReceiving not yet seen by a loop
  std::atomic<std::int32_t> shutting_down{0};    // set by StopWorker, never cleared
  std::atomic<platform::SerialPort*> port{nullptr};  // null: no port open
  std::int32_t port_number = 1;
  std::atomic<std::int32_t> send_failures{0};
  std::int32_t line_overflows = 0;               // worker only
  std::int32_t line_length = 0;                  // worker only
  std::uint8_t line_buffer[kLineBufferSize] = {};
};

// Held by the main thread while it uses the port (StopReceiving, SerialSend)
// and by the worker while it publishes or closes it, so that a port is never
// closed under a main-thread call on it.
extern std::mutex g_port_mu;

// The record, or null before InitWorker, when it failed, and after StopWorker.
extern std::atomic<SerialContext*> g_serial;

// Main thread. Starts the worker (slot must be 1) and waits up to 5 s for
// its ready message. 1 when it runs, 0 otherwise.
int StartWorker(int slot);
// Main thread. Asks the worker to end and waits for it; always 1.
int StopWorker(int slot);

// Worker side (exposed for tests).
void SerialWorker(void* unused);
int InitWorker();
void TearDownWorker();
