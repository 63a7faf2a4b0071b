// The downloader's process-wide settings from the command line.
#pragma once

#include <cstdint>

extern std::int32_t g_com_port;      // "-P"; 1 by default
extern std::uint32_t g_cable_flags;  // 1: DTR on, RTS off

// Sets every piece of shared state of the run to its initial value.
void InitRunState();
