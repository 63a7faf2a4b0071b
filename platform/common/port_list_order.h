// The order in which both backends hand out the serial-port list.
#pragma once

#include <string>
#include <vector>

#include "platform/port_list.h"

namespace platform {

// Whether a sorts before b in natural name order: runs of digits compare as
// numbers, so "ttyUSB2" comes before "ttyUSB10" and "COM3" before "COM10".
bool NaturalNameLess(const std::string& a, const std::string& b);

// Sorts the list: USB adapters, then USB modem-class devices, then UARTs,
// then anything else; each group in natural order of the names.
void SortSerialPorts(std::vector<SerialPortInfo>* ports);

}  // namespace platform
