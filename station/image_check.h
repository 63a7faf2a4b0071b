// The image, checked once before any port is touched: the check and the
// texts that tonecast shows for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace station {

// Checks the image for the flash size (Mbit). True when it passed, with
// *size its size; else *errors holds tonecast's console text for the
// problems ("\nError : Check sum NG. \n" ...).
bool CheckImage(const std::string& path, int flash, std::uint32_t* size, std::string* errors);

// The line shown on standard error after a failed check, as tonecast words
// it: the file, what is wrong and what to do. Empty when the image passes.
std::string ImageAdvice(const std::string& path, int flash);

// The SHA-256 of the file's content, 64 hex digits. 0, or the error.
int ImageSha256(const std::string& path, std::string* hex);

// The longest image path (bytes, its absolute form) that tonecast takes.
constexpr std::size_t kMaxImagePath = 259;

}  // namespace station
