// The VP image format: geometry of the two flash sizes and a pure check of
// an image held in memory. Used by the downloader's file check and by the
// tools that build and check images.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tonecast {

struct VpGeometry {
  int flash_size;               // 16 or 8
  std::uint32_t file_size;      // 946704 or 270600
  std::uint32_t block_size;     // 528 or 264
  std::uint32_t blocks;         // 1793 or 1025
  std::uint32_t marker_offset;  // 512 or 256
  std::uint32_t count_limit;    // 1920 or 960
};

// The geometry of a FlashSize code: 16 selects 16 Mbit, anything else 8 Mbit.
const VpGeometry& GeometryFor(int flash_size);

// What is wrong with an image; bits in the order the checks run.
enum VpProblem : unsigned {
  VP_OK = 0,
  VP_BAD_SIZE = 1u << 0,          // size differs from the geometry's
  VP_BAD_HEAD_MARKER = 1u << 1,   // head block marker not 0x55 0x00 (code 1)
  VP_BAD_COUNT = 1u << 2,         // count above the limit (code 2)
  VP_BAD_HEAD_PATTERN = 1u << 3,  // head block pattern (code 2)
  VP_BAD_SUM_LENGTH = 1u << 4,    // L + 2 beyond the file or wrapping (code 2)
  VP_BAD_CHECKSUM = 1u << 5,      // words up to L + 2 do not sum to 0
  VP_BAD_TAIL = 1u << 6,          // tail block marker or pattern (code 2)
};

// Examines an image against the geometry. With a wrong size nothing else is
// examined. A bad head marker, count, head pattern or sum length stops the
// examination (like the downloader's check); checksum and tail are both
// examined. Never reads outside data[0, size).
unsigned ExamineVpImage(const std::uint8_t* data, std::size_t size,
                        const VpGeometry& geometry);

// The 16-bit little-endian word sum of data[0, length) (length rounded up to
// even; a missing last byte counts as 0).
std::uint16_t VpWordSum(const std::uint8_t* data, std::size_t length);

}  // namespace tonecast
