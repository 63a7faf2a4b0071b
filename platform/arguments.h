// The program's command line as UTF-8 text.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The command-line arguments, the program's name first, as UTF-8, whatever
// characters they hold; pass main's argc and argv. Call at the start of
// main. POSIX: argv as it stands. Windows: the wide command line (main's
// argv there holds the ANSI code page's version, with '?' or a best-fit
// look-alike for any other character); from this call on, until the
// process ends, a console shows the program's output as UTF-8, so that an
// argument printed back shows as typed.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace platform
