// The downloader's process-wide settings from the command line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tonecast {

constexpr std::size_t kPortPathSize = 260;  // terminator included

extern std::int32_t g_com_port;      // "-P"; 1 by default
extern std::uint32_t g_cable_flags;  // 1: DTR on, RTS off
// "-P" given as a device path ("/dev/ttyUSB0"); empty when the port is
// COM<g_com_port>. Set before the serial worker starts, read-only after.
extern char g_port_path[kPortPathSize];

// Sets the settings above to their defaults and has each module of the
// start-up (errors, data files) reset its own state.
void InitRunState();

// The port's name as the run opens it, shows it and logs it: the device
// path as typed, or "COM<n>". Cut to fit size (terminator included).
void FormatPortName(char* out, std::size_t size);

}  // namespace tonecast
