// The receive side: the worker's receive loop and its line assembler.
#pragma once

#include <cstdint>

namespace tonecast {

// Worker thread: waits for received bytes and assembles them into lines
// until StopReceiving or a failed wait or read.
void ReceiveLoop();
// Worker thread: takes one received byte. 0, or -1 (no memory for a
// finished line) or -2 (posting the line failed).
std::int32_t AssembleLine(std::uint8_t byte);
// Main thread: ends a running receive loop, or the next one to start before
// the worker reads its next request. Returns at once.
void StopReceiving();

}  // namespace tonecast
