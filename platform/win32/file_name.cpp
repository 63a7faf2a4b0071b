// File names on Windows: the names of the old DOS devices open the device
// in whatever folder they stand, with or without an extension ("COM3",
// "nul.txt"), so a folder cannot be given one of them.
#include <cstring>
#include <initializer_list>

#include "platform/file.h"

namespace platform {

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

}  // namespace

bool FileNameReservedForDevice(const char* name) {
  if (!name) return false;
  // The part before the first dot, without trailing blanks.
  std::size_t n = 0;
  while (name[n] && name[n] != '.') ++n;
  while (n > 0 && name[n - 1] == ' ') --n;
  char stem[5] = {};
  if (n < 3 || n > 4) return false;
  for (std::size_t i = 0; i < n; ++i) stem[i] = Upper(name[i]);
  for (const char* device : {"CON", "PRN", "AUX", "NUL"})
    if (std::strcmp(stem, device) == 0) return true;
  if (n == 4 && (std::strncmp(stem, "COM", 3) == 0 || std::strncmp(stem, "LPT", 3) == 0))
    return stem[3] >= '1' && stem[3] <= '9';
  return false;
}

}  // namespace platform
