// The transmitter: one buffer to the open port in one write, logged.
#pragma once

#include <cstdint>

namespace tonecast {

// Main thread. 0 when all size bytes were written; otherwise the error code
// (non-zero), the failure having been reported already.
std::int32_t SerialSend(const void* buffer, std::uint32_t size);

}  // namespace tonecast
