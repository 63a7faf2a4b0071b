// The line a program shows after a port failed to open: which device the
// name stood for, and what usually fixes that failure. The backends name
// the failure (SerialOpenFailure) and the device (SerialDevicePath).
#include <string>

#include "platform/serial.h"

namespace platform {

std::string SerialOpenAdvice(const char* name, int code) {
  if (!name) name = "";
  const std::string device = SerialDevicePath(name);
  std::string line = name;
  if (device != name) line += " is " + device;
  switch (SerialOpenFailure(code)) {
    case OpenFailure::kNoDevice:
      line += ": no such device; tonecast-station --list shows the serial ports of this machine";
      break;
    case OpenFailure::kPermission:
      line +=
          ": permission denied; add the user to the dialout group"
          " (sudo usermod -aG dialout $USER) and log in again";
      break;
    case OpenFailure::kBusy:
      line += ": in use; another program has the port open: close it, then try again";
      break;
    case OpenFailure::kOther:
      line += ": cannot be opened or set up (code:" + std::to_string(code) + ")";
      break;
  }
  return line;
}

}  // namespace platform
