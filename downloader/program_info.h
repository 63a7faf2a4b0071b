// tonecast's --version and --help. Long options only, so that every command
// line of the short options means what it always did.
#pragma once

namespace tonecast {

// Looks for --version or --help where an option may stand (not as the value
// of -P or -C) and prints the first one met: the version line or the help
// text, on standard output. True when one was printed: the program then
// ends with status 0, with no banner and nothing opened.
bool ShowProgramInfo(int argc, char** argv);

// The line shown on standard error, before the port opens, when the command
// line names no image: such a run erases the unit's flash and sends nothing.
inline constexpr char kEraseOnlyWarning[] =
    "no image file given: the unit's voice-prompt flash will be erased and no image sent";

}  // namespace tonecast
