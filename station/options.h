// The station's command line:
//   tonecast-station [-8M|-16M] [--logs DIR] [--loop] IMAGE PORT...
//   tonecast-station [-8M|-16M] [--logs DIR] [--loop] --all IMAGE
//   tonecast-station --list
//   tonecast-station --version | --help
#pragma once

#include <string>
#include <vector>

namespace station {

struct Options {
  bool help = false;
  bool version = false;
  bool list = false;
  bool all = false;
  bool loop = false;
  int flash = 8;  // Mbit
  std::string logs = "tonecast-logs";
  std::string image;
  std::vector<std::string> ports;
};

// Parses the arguments after the program's name. Returns "" or what is
// wrong with them.
std::string ParseOptions(const std::vector<std::string>& args, Options* options);

// The usage text, with its line ends.
std::string UsageText();

}  // namespace station
