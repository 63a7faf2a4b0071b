#include "platform/common/port_name.h"

#include <cstring>

namespace platform {

bool IsNumberedPortName(const char* name) {
  if (std::strncmp(name, "COM", 3) != 0) return false;
  const char* digits = name + 3;
  const std::size_t len = std::strlen(digits);
  if (len == 0 || len > 9) return false;
  for (std::size_t i = 0; i < len; ++i)
    if (digits[i] < '0' || digits[i] > '9') return false;
  return true;
}

bool IsUnmappedPortName(const char* name) {
  if (std::strncmp(name, "COM", 3) != 0) return false;
  const char* digits = name + 3;
  if (*digits == '-') ++digits;
  if (*digits == '\0') return false;
  for (const char* d = digits; *d; ++d)
    if (*d < '0' || *d > '9') return false;
  // A number, but one that names no port: negative, zero, or too long.
  if (!IsNumberedPortName(name)) return true;
  for (; *digits; ++digits)
    if (*digits != '0') return false;
  return true;
}

}  // namespace platform
