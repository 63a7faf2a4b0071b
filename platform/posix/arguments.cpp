#include "platform/arguments.h"

namespace platform {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc && argv && argv[i]; ++i) args.emplace_back(argv[i]);
  return args;
}

}  // namespace platform
