// Opening, re-timing and closing the downloader's port (worker thread only).
#pragma once

#include <cstdint>

namespace tonecast {

// 0 when "COM<n>" is open and set to 19200 8N1, no flow control, DTR/RTS
// from cable_flags; otherwise the error code of the failing step.
std::int32_t OpenPort(std::int32_t port_number, std::uint32_t cable_flags);
// Sets a new line speed; always 0.
std::int32_t ChangeSpeed(std::uint32_t rate);
// Closes the port (if open) and writes the disconnect record.
void ClosePort();

}  // namespace tonecast
