// The messages that the main thread and the serial worker exchange, and the
// thread slots that say where they go.
#pragma once

#include <cstdint>

#include "platform/thread.h"

namespace tonecast {

// Kinds. A reply carries the kind of its request.
constexpr std::uint32_t UM_READY = 2048;    // worker -> main: wparam = InitWorker result
constexpr std::uint32_t UM_OPEN = 2049;     // main -> worker: port number, CableFlags;
                                            // worker -> main: 0 or the open's error code
constexpr std::uint32_t UM_CLOSE = 2050;    // both ways: 0, 0
constexpr std::uint32_t UM_BAUD = 2051;     // main -> worker: new speed; worker -> main: 0
constexpr std::uint32_t UM_LINE = 2052;     // worker -> main: length, heap text (main frees)
constexpr std::uint32_t UM_TIMEOUT = 2053;  // never posted: a timer expiry, wparam = timer id
constexpr std::uint32_t UM_INTERRUPT = 2054;  // interrupt watcher -> main: the user or the
                                              // session asked the run to stop; 0, 0
constexpr std::uint32_t UM_DESTROY = platform::kMsgDestroy;  // main -> worker: end

struct ThreadSlot {
  platform::ThreadId id = 0;
  platform::Thread* handle = nullptr;  // null: no handle
};

// Slot 0: the main thread (target of the worker's messages).
// Slot 1: the worker (target of requests); set by StartWorker.
extern ThreadSlot g_thread_slots[2];

// DTR on (bit 0), RTS on (bit 1).
constexpr std::uint32_t CABLE_DTR = 1;
constexpr std::uint32_t CABLE_RTS = 2;

}  // namespace tonecast
