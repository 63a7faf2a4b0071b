// The calling thread's last Windows error as the platform's error code.
#pragma once

#include <windows.h>

#include "platform/error.h"

namespace platform::win32 {

// GetLastError(), or Failure::kIo when a call failed without saying why.
inline int LastError() {
  const DWORD err = GetLastError();
  return err != 0 ? int(err) : ErrorCode(Failure::kIo);
}

}  // namespace platform::win32
