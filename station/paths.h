// Paths as the station holds them: UTF-8 text, as the program's arguments
// come (platform/arguments.h), turned into std::filesystem paths and back
// without the system's code page in between (which on Windows would lose
// any character outside it).
#pragma once

#include <filesystem>
#include <string>

namespace station {

inline std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string TextOf(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// The absolute form of a path, lexically normal; the path as given when it
// has none.
inline std::string AbsoluteText(const std::string& utf8) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(PathOf(utf8), ec);
  return ec ? utf8 : TextOf(absolute.lexically_normal());
}

}  // namespace station
