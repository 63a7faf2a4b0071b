// The downloader's command line: port number, cable type, flash-size option
// and the one VP data file, which is checked as soon as its name is met.
#pragma once

namespace tonecast {

// Returns 1 to go on with the transfer, 0 to stop (usage shown, a bad
// argument, or the data file rejected; each failure already shown).
int ParseCommandLine(int argc, char** argv);

}  // namespace tonecast
