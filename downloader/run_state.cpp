#include "downloader/run_state.h"

#include "downloader/errors.h"
#include "downloader/vp_file.h"

namespace tonecast {

std::int32_t g_com_port = 1;
std::uint32_t g_cable_flags = 1;

void InitRunState() {
  g_com_port = 1;
  g_cable_flags = 1;
  InitErrors();
  InitDataFiles();
}

}  // namespace tonecast
