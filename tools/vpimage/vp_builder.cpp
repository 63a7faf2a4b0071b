#include "tools/vpimage/vp_builder.h"

#include "vpformat/vp_format.h"

using namespace tonecast;

namespace {

constexpr std::uint32_t kPatternOffset = 32;
constexpr std::uint32_t kPatternLength = 32;
// The word adjusted to bring the checksum to 0: the first word of the file,
// which lies before the block pattern and the marker fields of the head block.
constexpr std::uint32_t kFixupOffset = 0;

// xorshift32: small, fast and the same on every platform.
std::uint32_t NextRandom(std::uint32_t* state) {
  std::uint32_t x = *state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *state = x;
  return x;
}

void PutLe16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
  PutLe16(p, v & 0xFFFF);
  PutLe16(p + 2, v >> 16);
}

void PutPattern(std::uint8_t* block) {
  for (std::uint32_t i = 0; i < kPatternLength; ++i)
    block[kPatternOffset + i] = static_cast<std::uint8_t>(kPatternLength - 1 - i);
}

// Sets the fix-up word so that the words of the whole file sum to 0.
void FixChecksum(std::vector<std::uint8_t>* image) {
  std::uint8_t* data = image->data();
  PutLe16(data + kFixupOffset, 0);
  const std::uint16_t sum = VpWordSum(data, image->size());
  PutLe16(data + kFixupOffset, static_cast<std::uint16_t>(0x10000u - sum));
}

}  // namespace

bool ParseVpBreak(const std::string& name, VpBreak* out) {
  struct Named {
    const char* name;
    VpBreak value;
  };
  static const Named kNames[] = {
      {"none", VpBreak::kNone},           {"size", VpBreak::kSize},
      {"head-marker", VpBreak::kHeadMarker}, {"count", VpBreak::kCount},
      {"pattern", VpBreak::kPattern},     {"checksum", VpBreak::kChecksum},
      {"tail-marker", VpBreak::kTailMarker}, {"sum-length", VpBreak::kSumLength},
  };
  for (const Named& n : kNames) {
    if (name == n.name) {
      *out = n.value;
      return true;
    }
  }
  return false;
}

std::vector<std::uint8_t> BuildVpImage(int flash_size, std::uint32_t seed, VpBreak defect) {
  const VpGeometry& g = GeometryFor(flash_size);
  std::vector<std::uint8_t> image(g.file_size);

  // xorshift must not start from 0; mix the seed so that nearby seeds differ.
  std::uint32_t state = seed * 2654435761u + 0x9E3779B9u;
  if (state == 0) state = 1;
  for (std::size_t i = 0; i < image.size(); i += 4) {
    const std::uint32_t r = NextRandom(&state);
    for (std::size_t k = 0; k < 4 && i + k < image.size(); ++k)
      image[i + k] = static_cast<std::uint8_t>(r >> (8 * k));
  }

  const std::uint32_t m = g.marker_offset;
  std::uint8_t* head = image.data();
  std::uint8_t* tail = image.data() + image.size() - g.block_size;
  PutPattern(head);
  head[m] = 0x55;
  head[m + 1] = 0x00;
  PutLe16(head + m + 2, g.count_limit);
  PutLe32(head + m + 4, g.file_size - 2);
  PutPattern(tail);
  tail[m] = 0xAA;
  tail[m + 1] = 0x00;

  // Breaks inside the summed area are applied before the checksum is fixed,
  // so that the one broken field is the only thing wrong with the image.
  switch (defect) {
    case VpBreak::kHeadMarker:
      head[m + 1] = 0x01;
      break;
    case VpBreak::kCount:
      PutLe16(head + m + 2, g.count_limit + 1);
      break;
    case VpBreak::kPattern:
      head[kPatternOffset + 5] ^= 0x40;
      break;
    case VpBreak::kTailMarker:
      tail[m] = 0xAB;
      break;
    case VpBreak::kSumLength:
      // L + 2 one byte beyond the end of the file.
      PutLe32(head + m + 4, g.file_size - 1);
      break;
    default:
      break;
  }
  FixChecksum(&image);

  switch (defect) {
    case VpBreak::kChecksum:
      // A content byte in the middle of the file, outside every frame field.
      image[image.size() / 2 + 1] ^= 0x01;
      break;
    case VpBreak::kSize:
      image.push_back(0);
      break;
    default:
      break;
  }
  return image;
}
