#include "downloader/run_state.h"

#include <cstdio>

#include "downloader/errors.h"
#include "downloader/vp_file.h"

namespace tonecast {

std::int32_t g_com_port = 1;
std::uint32_t g_cable_flags = 1;
char g_port_path[kPortPathSize] = {};

void InitRunState() {
  g_com_port = 1;
  g_cable_flags = 1;
  g_port_path[0] = '\0';
  InitErrors();
  InitDataFiles();
}

void FormatPortName(char* out, std::size_t size) {
  if (size == 0) return;
  if (g_port_path[0] != '\0')
    std::snprintf(out, size, "%s", g_port_path);
  else
    std::snprintf(out, size, "COM%d", static_cast<int>(g_com_port));
}

}  // namespace tonecast
