#include "downloader/run_state.h"

#include <cstring>

#include "downloader/errors.h"
#include "downloader/vp_file.h"

std::int32_t g_com_port = 1;
std::uint32_t g_cable_flags = 1;

void InitRunState() {
  g_error_count.store(0);
  g_com_port = 1;
  g_cable_flags = 1;
  std::memset(g_data_files, 0, sizeof g_data_files);
  std::memset(g_option_text, 0, sizeof g_option_text);
  delete[] g_loaded_data;
  g_loaded_data = nullptr;
}
