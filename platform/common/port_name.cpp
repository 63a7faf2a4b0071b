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

}  // namespace platform
