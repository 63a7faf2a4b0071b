// Feeds arbitrary bytes to the VP image check, in two ways:
//  - the bytes as an image of their own, against both geometries (sizes
//    around the two file sizes included when the fuzzer grows the input);
//  - the bytes laid over the head and tail blocks of a valid image of the
//    geometry that the first byte selects, so that the frame, sum length,
//    checksum and tail checks are all reached.
// Whatever the check accepts is verified again here the slow way.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/vpimage/vp_builder.h"
#include "vpformat/vp_format.h"

using namespace tonecast;

namespace {

std::uint32_t Le(const std::uint8_t* p, int bytes) {
  std::uint32_t v = 0;
  for (int k = bytes - 1; k >= 0; --k) v = (v << 8) | p[k];
  return v;
}

bool PatternOk(const std::uint8_t* block) {
  for (int i = 0; i < 32; ++i)
    if (block[32 + i] != 31 - i) return false;
  return true;
}

// An image that the check accepted must hold every rule of the format.
void VerifyAccepted(const std::uint8_t* data, std::size_t size, const VpGeometry& g) {
  if (size != g.file_size) std::abort();
  const std::uint32_t m = g.marker_offset;
  const std::uint8_t* tail = data + size - g.block_size;
  if (data[m] != 0x55 || data[m + 1] != 0 || tail[m] != 0xAA || tail[m + 1] != 0) std::abort();
  if (Le(data + m + 2, 2) > g.count_limit) std::abort();
  if (!PatternOk(data) || !PatternOk(tail)) std::abort();
  const std::uint64_t end = std::uint64_t(Le(data + m + 4, 4)) + 2;
  if (end > size) std::abort();
  std::uint64_t sum = 0;
  for (std::uint64_t i = 0; i < end; i += 2) sum += Le(data + i, 2);
  if (sum % 65536 != 0) std::abort();
}

// Whatever else is wrong, a problem of the head block or the size is
// reported alone, as the examination stops there.
void VerifyConsistent(unsigned problems) {
  const unsigned alone = VP_BAD_SIZE | VP_BAD_HEAD_MARKER | VP_BAD_COUNT | VP_BAD_HEAD_PATTERN |
                         VP_BAD_SUM_LENGTH;
  if ((problems & alone) && (problems & (problems - 1))) std::abort();
}

void Examine(const std::uint8_t* data, std::size_t size, const VpGeometry& g) {
  // A copy of exactly size bytes, so that a read beyond the end is caught.
  std::uint8_t* copy = new std::uint8_t[size ? size : 1];
  if (size) std::memcpy(copy, data, size);
  const unsigned problems = ExamineVpImage(copy, size, g);
  VerifyConsistent(problems);
  if (problems == VP_OK) VerifyAccepted(copy, size, g);
  delete[] copy;
}

const std::vector<std::uint8_t>& BaseImage(int flash) {
  static const std::vector<std::uint8_t> base8 = BuildVpImage(8, 1);
  static const std::vector<std::uint8_t> base16 = BuildVpImage(16, 1);
  return flash == 16 ? base16 : base8;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Examine(data, size, GeometryFor(8));
  Examine(data, size, GeometryFor(16));
  if (size == 0) return 0;

  const int flash = (data[0] & 1) ? 16 : 8;
  const VpGeometry& g = GeometryFor(flash);
  std::vector<std::uint8_t> image = BaseImage(flash);
  const std::uint8_t* rest = data + 1;
  std::size_t left = size - 1;
  // Head block first, then the tail block. Bit 1 of the first byte, when
  // set, makes the image a little shorter (bit 7) or longer than its size.
  const std::size_t head = left < g.block_size ? left : g.block_size;
  std::memcpy(image.data(), rest, head);
  rest += head;
  left -= head;
  const std::size_t tail = left < g.block_size ? left : g.block_size;
  std::memcpy(image.data() + image.size() - g.block_size, rest, tail);
  if (data[0] & 2) {
    const std::size_t delta = (data[0] >> 2) & 0x1F;  // up to 31 bytes
    if (data[0] & 0x80)
      image.resize(image.size() - delta);
    else
      image.resize(image.size() + delta, 0);
  }
  Examine(image.data(), image.size(), g);
  return 0;
}
