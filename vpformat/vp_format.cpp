#include "vpformat/vp_format.h"

namespace tonecast {

namespace {

constexpr VpGeometry kGeometry16{16, 946704, 528, 1793, 512, 1920};
constexpr VpGeometry kGeometry8{8, 270600, 264, 1025, 256, 960};

constexpr std::uint32_t kPatternOffset = 32;
constexpr std::uint32_t kPatternLength = 32;

std::uint32_t Le16(const std::uint8_t* p) { return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8); }
std::uint32_t Le32(const std::uint8_t* p) { return Le16(p) | (Le16(p + 2) << 16); }

// The block pattern: byte 32 + i holds 31 - i. Compared from both ends
// towards the middle, as the format's reference check does.
bool PatternOk(const std::uint8_t* block) {
  const std::uint8_t* p = block + kPatternOffset;
  for (std::uint32_t i = 0; i < kPatternLength / 2; ++i) {
    if (p[i] != kPatternLength - 1 - i) return false;
    if (p[kPatternLength - 1 - i] != i) return false;
  }
  return true;
}

}  // namespace

const VpGeometry& GeometryFor(int flash_size) {
  return flash_size == 16 ? kGeometry16 : kGeometry8;
}

std::uint16_t VpWordSum(const std::uint8_t* data, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < length; i += 2) {
    std::uint32_t word = data[i];
    if (i + 1 < length) word |= std::uint32_t(data[i + 1]) << 8;
    sum += word;
  }
  return static_cast<std::uint16_t>(sum);
}

unsigned ExamineVpImage(const std::uint8_t* data, std::size_t size, const VpGeometry& g) {
  if (size != g.file_size) return VP_BAD_SIZE;
  const std::uint8_t* head = data;
  const std::uint32_t m = g.marker_offset;
  if (head[m] != 0x55 || head[m + 1] != 0x00) return VP_BAD_HEAD_MARKER;
  if (Le16(head + m + 2) > g.count_limit) return VP_BAD_COUNT;
  if (!PatternOk(head)) return VP_BAD_HEAD_PATTERN;
  // The sum covers the words at offsets below L + 2; L + 2 must stay within
  // the file (and must not wrap past 2^32).
  const std::uint32_t sum_length = Le32(head + m + 4);
  if (sum_length > 0xFFFFFFFFu - 2 || std::size_t(sum_length) + 2 > size)
    return VP_BAD_SUM_LENGTH;
  // Words at even offsets below L + 2: for an odd L the last word reaches
  // the byte at L + 2, which must exist too.
  std::size_t covered = std::size_t(sum_length) + 2;
  if (covered % 2) covered += 1;
  if (covered > size) return VP_BAD_SUM_LENGTH;
  unsigned problems = VP_OK;
  if (VpWordSum(data, covered) != 0) problems |= VP_BAD_CHECKSUM;
  const std::uint8_t* tail = data + size - g.block_size;
  if (tail[m] != 0xAA || tail[m + 1] != 0x00 || !PatternOk(tail)) problems |= VP_BAD_TAIL;
  return problems;
}

}  // namespace tonecast
