// SHA-256 (FIPS 180-4), fed in pieces: names an image's content in the
// station's report, so that a row says which bytes went to the unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tonecast {

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, std::size_t n);
  // The digest as 64 lower-case hex digits. Ends the hashing: call once.
  std::string HexDigest();

 private:
  void Block(const std::uint8_t* block);

  std::uint32_t state_[8];
  std::uint8_t buffer_[64];
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // bytes taken
};

}  // namespace tonecast
