// The serial ports as --list shows them, and the ones --all takes.
#pragma once

#include <string>
#include <vector>

#include "platform/port_list.h"

namespace station {

// A table with a header line: name (one the station and tonecast take),
// kind, USB ids, maker, product, serial number, stable name, the system's
// description (Windows' friendly name). Columns stand at least two spaces
// apart; empty fields show as "-", control characters as "?".
std::string PortTable(const std::vector<platform::SerialPortInfo>& ports);

// The names of the USB serial adapters (kind usb or acm), in list order.
std::vector<std::string> AdapterNames(const std::vector<platform::SerialPortInfo>& ports);

}  // namespace station
