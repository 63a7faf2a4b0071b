#include "platform/alert.h"

#include <cstdio>

namespace platform {

void ShowAlert(const char* caption, const char* text) {
  // A console has no alert box: print caption and text as one line.
  std::printf("%s: %s\n", caption ? caption : "", text ? text : "");
  std::fflush(stdout);
}

}  // namespace platform
