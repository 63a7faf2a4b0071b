#include "downloader/program_info.h"

#include <cstdio>
#include <cstring>

#include "project_version.h"

namespace tonecast {

namespace {

constexpr const char* kHelp =
    "usage: tonecast [-P PORT] [-C CABLE] [-8M|-16M] [IMAGE]\n"
    "       tonecast --version | --help\n"
    "Downloads a VP image into a telephone unit over a serial port, at 19200 and\n"
    "115200 baud, logging every step to tonecast.log in the working directory.\n"
    "  -P PORT    the port: a number n for COM<n> (default 1), COM<n>, or a device\n"
    "             path (/dev/ttyUSB0, /dev/serial/by-id/...). On Linux COM<n> opens\n"
    "             $COM<n> when set, else /dev/ttyS<n-1>\n"
    "  -C CABLE   accepted and ignored\n"
    "  -8M, -16M  the flash size: 8 Mbit (270600-byte image, the default) or 16 Mbit\n"
    "             (946704 bytes)\n"
    "  IMAGE      the VP image; without one the unit's flash is erased and nothing\n"
    "             is sent\n"
    "Ends with \"VP file transfer complete.\" or \"VP file transfer NG!\" and exit\n"
    "status 1; status 0 when it stopped before the port (usage, arguments, image).\n";

}  // namespace

bool ShowProgramInfo(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-') continue;
    if (std::strcmp(arg, "--version") == 0) {
      std::printf("tonecast %s\n", kProjectVersionText);
      std::fflush(stdout);
      return true;
    }
    if (std::strcmp(arg, "--help") == 0) {
      std::fputs(kHelp, stdout);
      std::fflush(stdout);
      return true;
    }
    // The values of -P and -C are not options ("-C --help" names a cable).
    if ((arg[1] == 'P' || arg[1] == 'C') && i + 1 < argc) ++i;
  }
  return false;
}

}  // namespace tonecast
