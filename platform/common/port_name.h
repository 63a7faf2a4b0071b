// Port names shared by the backends: "COM" followed by a decimal number
// names the platform's numbered serial port; anything else is a path.
#pragma once

namespace platform {

// Whether name is "COM<n>" with n of one to nine decimal digits.
bool IsNumberedPortName(const char* name);
// Whether name is "COM" followed by a number that names no port (negative,
// zero, or longer than nine digits). Such a name fails to open as a port
// that does not exist; it is never taken for a file of that name.
bool IsUnmappedPortName(const char* name);

}  // namespace platform
