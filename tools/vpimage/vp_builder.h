// Builds VP images for tests and demos: valid ones, or ones with exactly one
// field broken on purpose.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class VpBreak {
  kNone,
  kSize,          // one byte too many
  kHeadMarker,    // head marker bytes 0x55 0x01
  kCount,         // count one above the limit
  kPattern,       // one byte of the head block pattern wrong
  kChecksum,      // word sum not 0
  kTailMarker,    // tail marker 0xAB
  kSumLength,     // sum length L with L + 2 beyond the file
};

// Parses a break name as the tool's --break option takes it ("none", "size",
// "head-marker", "count", "pattern", "checksum", "tail-marker",
// "sum-length"); false when unknown.
bool ParseVpBreak(const std::string& name, VpBreak* out);

// A valid image of the geometry of flash_size (16 or 8), content
// pseudo-random from seed, count = count limit, L = file size - 2, checksum
// fixed up to 0; then the one break applied.
std::vector<std::uint8_t> BuildVpImage(int flash_size, std::uint32_t seed,
                                       VpBreak defect = VpBreak::kNone);
