// TEMPORARY, until the serial-port list's backends (platform/posix,
// platform/win32) are on main: no ports at all. Remove with the merge.
#include "platform/port_list.h"

namespace platform {

int SerialPortList(std::vector<SerialPortInfo>* ports) {
  ports->clear();
  return 0;
}

}  // namespace platform
