// The serial link's shared record: what the worker, the receiver, port
// control and the transmitter all reach. A leaf: it includes no other
// header of the downloader, so every module of the link can include it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/serial.h"

namespace tonecast {

constexpr int kLineBufferSize = 128;

// Shared by the two threads. Allocated by the worker; released only after
// the worker thread has ended (StopWorker), so that main-thread code never
// reaches a released record.
struct SerialContext {
  std::atomic<std::int32_t> stop_requested{0};   // a StopReceiving not yet seen by a loop
  std::atomic<std::int32_t> shutting_down{0};    // set by StopWorker, never cleared
  std::atomic<platform::SerialPort*> port{nullptr};  // null: no port open
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

}  // namespace tonecast
