// The downloader's process-wide settings from the command line.
#pragma once

#include <cstdint>

namespace tonecast {

extern std::int32_t g_com_port;      // "-P"; 1 by default
extern std::uint32_t g_cable_flags;  // 1: DTR on, RTS off

// Sets the settings above to their defaults and has each module of the
// start-up (errors, data files) reset its own state.
void InitRunState();

}  // namespace tonecast
