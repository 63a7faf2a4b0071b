// Error codes on POSIX: errno values.
#include "platform/error.h"

#include <cerrno>

namespace platform {

int ErrorCode(Failure failure) {
  switch (failure) {
    case Failure::kNotOpen: return EBADF;
    case Failure::kIo: return EIO;
    case Failure::kNoDevice: return ENODEV;
    case Failure::kNotFound: return ENOENT;
    case Failure::kInvalid: return EINVAL;
    case Failure::kStalled: return ETIMEDOUT;
    case Failure::kTooLarge: return EFBIG;
    case Failure::kBusy: return EBUSY;
    case Failure::kCancelled: return ECANCELED;
    case Failure::kNoResources: return ENOMEM;
  }
  return EIO;
}

bool ErrorIs(int code, Failure failure) {
  return code != 0 && code == ErrorCode(failure);
}

}  // namespace platform
