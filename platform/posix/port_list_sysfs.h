// Inside the POSIX backend only: the serial-port list read from any sysfs
// tty class folder and /dev tree, so that a test can hand it a fake one.
#pragma once

#include <vector>

#include "platform/port_list.h"

namespace platform {

// SerialPortList over sys_class_tty (normally "/sys/class/tty") and dev_root
// (normally "/dev"): names are dev_root + "/" + the tty's name, stable names
// come from dev_root + "/serial/by-id". 0, or the errno of reading
// sys_class_tty itself; a tty whose details cannot be read is listed with
// what could be read, or left out when it vanished meanwhile.
int SerialPortListFrom(const char* sys_class_tty, const char* dev_root,
                       std::vector<SerialPortInfo>* ports);

}  // namespace platform
