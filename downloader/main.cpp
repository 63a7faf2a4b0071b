// tonecast: downloads a VP image into a telephone unit over a serial port.
#include <cstdio>

#include "downloader/command_line.h"
#include "downloader/errors.h"
#include "downloader/run_state.h"

namespace {

constexpr const char* kBanner = "\n#### Tonecast ver.05 for Marlin 2006.04.25 ####\n\n";

void PrintVerdict() {
  std::fputs(g_error_count.load() == 0 ? "VP file transfer complete.\n" : "VP file transfer NG!\n",
             stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // Progress texts without a line end must show at once.
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  // Start-up: banner, shared state, command line and data file. Nothing has
  // touched the port when start-up stops, and no verdict is printed.
  std::fputs(kBanner, stdout);
  InitRunState();
  if (!ParseCommandLine(argc, argv)) return 0;

  // The transfer: serial worker start, transfer start and the message loop.

  // Verdict: any reported error makes the run NG.
  PrintVerdict();

  // Shutdown.
  return 1;
}
