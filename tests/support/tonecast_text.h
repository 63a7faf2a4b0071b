// What tonecast prints, for the tests that compare its whole console output.
#pragma once

#include <cstddef>
#include <string>

namespace testsupport {

inline const std::string kBanner = "\n#### Tonecast ver.05 for Marlin 2006.04.25 ####\n\n";

// The dialogue of a transfer without errors, after the file's status line.
inline const std::string kGoodDialogue =
    "\nFlash inithalizing...end. \n"
    "Prepare downloading...end. \n"
    "Changing baudrate (UP)...end. \n"
    "\nDownload file#0...end. \nNow waiting FIN...end. \n"
    "Changing baudrate (DOWN)...end. \n"
    "end. \nWaiting for the end...OK...Close COM port.\n";

inline const std::string kComplete = "VP file transfer complete.\n";
inline const std::string kNg = "VP file transfer NG!\n";

// The status line of an accepted data file (entry 0).
inline std::string FileStatus(const std::string& name, std::size_t size) {
  return "File #0 : name:" + name + "\n       size:" + std::to_string(size) + ",status:OK\n";
}

}  // namespace testsupport
