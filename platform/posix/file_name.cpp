// File names on POSIX: every name that fits is a file's to take.
#include "platform/file.h"

namespace platform {

bool FileNameReservedForDevice(const char*) { return false; }

}  // namespace platform
