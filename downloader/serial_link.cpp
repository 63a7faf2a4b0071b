#include "downloader/serial_link.h"

namespace tonecast {

std::atomic<SerialContext*> g_serial{nullptr};
std::mutex g_port_mu;

}  // namespace tonecast
