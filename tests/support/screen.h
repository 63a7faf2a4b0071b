// What a terminal shows after some bytes, for tests that check a screen
// drawn with cursor moves: CR, LF (to the next line's start), ESC[nA (n lines
// up), ESC[nC (n columns right), ESC[K and ESC[2K (erase to the end of the
// line, or all of it), ESC[J (erase to the end of the screen); text
// overwrites what stands. Rows come without trailing blanks.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

std::vector<std::string> ScreenRows(const std::string& bytes);

}  // namespace testsupport
