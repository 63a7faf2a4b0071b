// Port names shared by the backends: "COM" followed by a decimal number
// names the platform's numbered serial port; anything else is a path.
#pragma once

namespace platform {

// Whether name is "COM<n>" with n of one to nine decimal digits.
bool IsNumberedPortName(const char* name);

}  // namespace platform
