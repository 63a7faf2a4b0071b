// Inside the POSIX backend only: the descriptor behind a port, for the
// signal handler that must clear its exclusive flag.
#pragma once

#include "platform/serial.h"

namespace platform {

// The port's descriptor, or -1 for null.
int SerialDescriptor(SerialPort* port);

}  // namespace platform
