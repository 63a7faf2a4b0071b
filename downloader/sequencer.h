// The transfer's state machine: one transition per message from the worker
// or expiry of the transfer timer, through a table of state x message kind.
#pragma once

#include <cstdint>

#include "platform/thread.h"

namespace tonecast {

enum TransferState {
  ST_IDLE = 0,
  ST_OPENING = 1,
  ST_INITIALIZING = 2,
  ST_PREPARING = 3,
  ST_SPEED_UP = 4,
  ST_WAIT_FIN = 5,
  ST_SPEED_DOWN = 6,
  ST_ENDING = 7,
  ST_ENDED = 8,
  ST_CLOSING = 9,
};

// Reply time limits, in milliseconds.
constexpr std::uint32_t kInitReplyMs = 60000;  // "VPL"
constexpr std::uint32_t kReplyMs = 5000;       // "VPD", "VPE", worker results
constexpr std::uint32_t kFinReplyMs = 30000;   // "FIN" after the image
constexpr std::uint32_t kSettleMs = 500;       // pause after a speed change

// What the sequencer uses of the rest of the program. The defaults are the
// real ones; tests replace them to drive the table with a fake timer and a
// fake port.
struct TransferServices {
  std::int32_t (*send)(const void* buffer, std::uint32_t size);
  void (*stop_receiving)();
  int (*post)(platform::ThreadId to, std::uint32_t kind, std::uint32_t wparam,
              std::uintptr_t lparam);
  std::uint32_t (*arm_timer)(std::uint32_t ms);  // timer id, 0 on failure
  void (*cancel_timer)(std::uint32_t id);
  void (*pause)(std::uint32_t ms);
};
TransferServices DefaultTransferServices();
void SetTransferServices(const TransferServices& services);

// Transfer variables.
extern std::int32_t g_transfer_state;
extern std::uint32_t g_transfer_timer;
extern std::int32_t g_current_file;

// Resets the transfer variables (state idle, no timer, file index 0).
void InitTransfer();
// Asks the worker to open the port and arms the 5 s wait. 0, or -2 (post
// failed) / -3 (timer failed), both reported.
int StartTransfer();
// Runs one transition. 1 when the transfer has ended, else 0. A UM_LINE text
// (lparam) is released here, after the handler has run.
int DispatchTransferMessage(std::uint32_t kind, std::uint32_t wparam, std::uintptr_t lparam);

}  // namespace tonecast
