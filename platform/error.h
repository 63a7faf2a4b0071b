// Error codes.
//
// Every platform function that can fail returns 0 for success or the
// platform's own error code for the failure: the value the programs print in
// their "(code:%d)" texts. Callers never compare a code with a platform's
// constant: where they must tell one failure from another, or report one of
// their own, they name it here.
#pragma once

namespace platform {

enum class Failure {
  kNotOpen,    // the handle is not (or no longer) open
  kIo,         // the device or file failed, or a read came up short
  kNoDevice,   // the state a request needs does not exist
  kNotFound,   // no such file or device
  kInvalid,    // a value the operation cannot take
  kStalled,    // a write or drain that made no progress for its whole limit
  kTooLarge,   // a file too large for the operation
  kBusy,       // held exclusively by another process
  kCancelled,  // ended on purpose by another thread
  kNoResources,  // out of memory, threads or handles
};

// The platform's code for a failure that a program reports itself.
int ErrorCode(Failure failure);
// Whether a code that the platform returned is that failure.
bool ErrorIs(int code, Failure failure);

}  // namespace platform
