// The serial ports the system knows of, found without opening any (an open
// raises DTR and RTS on a real line, and a unit may reset on it).
#pragma once

#include <string>
#include <vector>

namespace platform {

struct SerialPortInfo {
  // A name that the station and tonecast take as it stands: the device path
  // on POSIX ("/dev/ttyUSB0"), "COM3" on Windows.
  std::string name;
  // "usb" (a USB-serial adapter), "acm" (a USB modem-class device), "uart"
  // (a port on the board or a card), "other".
  std::string kind;
  std::string usb_id;        // "0403:6001" (vendor:product, hex), or empty
  std::string maker;         // as the device reports it, or empty
  std::string product;
  std::string serial;        // the adapter's serial number, or empty
  std::string stable_name;   // a name that survives re-plugging
                             // ("/dev/serial/by-id/..."), or empty
  std::string description;   // the system's friendly name, or empty
};

// Every serial port with hardware behind it: USB adapters first, then
// modem-class devices, UARTs and the rest, each group in natural order of
// the names (ttyUSB2 before ttyUSB10, COM3 before COM10). Fields the system
// does not know stay empty (on Linux the description always). 0, or the
// platform's error code (an empty list is no error).
int SerialPortList(std::vector<SerialPortInfo>* ports);

}  // namespace platform
