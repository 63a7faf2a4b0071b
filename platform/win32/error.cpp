// Error codes on Windows: GetLastError() values.
#include "platform/error.h"

#include <windows.h>

namespace platform {

int ErrorCode(Failure failure) {
  switch (failure) {
    case Failure::kNotOpen: return ERROR_INVALID_HANDLE;
    case Failure::kIo: return ERROR_GEN_FAILURE;
    case Failure::kNoDevice: return ERROR_DEV_NOT_EXIST;
    case Failure::kNotFound: return ERROR_FILE_NOT_FOUND;
    case Failure::kInvalid: return ERROR_INVALID_PARAMETER;
    case Failure::kStalled: return ERROR_TIMEOUT;
    case Failure::kTooLarge: return ERROR_FILE_TOO_LARGE;
    case Failure::kBusy: return ERROR_SHARING_VIOLATION;
    case Failure::kCancelled: return ERROR_CANCELLED;
    case Failure::kNoResources: return ERROR_NOT_ENOUGH_MEMORY;
  }
  return ERROR_GEN_FAILURE;
}

// Windows has several codes for some failures. ERROR_OPERATION_ABORTED is
// not a cancellation here: a USB adapter pulled out mid-wait reports it too.
bool ErrorIs(int code, Failure failure) {
  if (code == 0) return false;
  if (code == ErrorCode(failure)) return true;
  switch (failure) {
    case Failure::kNotFound: return code == ERROR_PATH_NOT_FOUND;
    case Failure::kStalled: return code == WAIT_TIMEOUT || code == ERROR_SEM_TIMEOUT;
    // A serial port held by another program opens with "access denied";
    // a file held by another program with a sharing or lock violation.
    case Failure::kBusy: return code == ERROR_ACCESS_DENIED || code == ERROR_LOCK_VIOLATION;
    case Failure::kNoResources:
      return code == ERROR_OUTOFMEMORY || code == ERROR_NO_SYSTEM_RESOURCES;
    case Failure::kIo:
      return code == ERROR_READ_FAULT || code == ERROR_WRITE_FAULT || code == ERROR_HANDLE_EOF;
    default: return false;
  }
}

}  // namespace platform
