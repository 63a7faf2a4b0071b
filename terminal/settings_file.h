// The port settings file: one word naming the serial port.
#pragma once

#include <cstddef>

namespace linepoke {

// The file lies in the working directory and is named by its bare name.
constexpr const char* kSettingsPath = "comm.txt";
// Room for the word as read: 19 characters and a terminator.
constexpr std::size_t kNameBufferSize = 20;
// Only this many leading characters of the word name the port.
constexpr std::size_t kPortNameLength = 4;

// Reads the first whitespace-delimited word of the file at `path` into
// `name` (leading white space skipped, what follows the word ignored). At
// most size - 1 characters are stored and the text is always terminated; the
// rest of a longer word is left unread. A file that holds no word leaves
// `name` empty. Returns 0 when the file could be opened for reading, whether
// or not it held a word; otherwise a non-zero error code.
int ReadSettingsWord(const char* path, char* name, std::size_t size);

// Creates the file at `path`, or empties it, and writes `text` with no line
// end. Returns 0 only when the text was written and the file closed cleanly.
// `created`, when given, tells whether the file could be opened for writing
// at all (a caller may go on when only the write itself failed).
int WriteSettingsFile(const char* path, const char* text, bool* created = nullptr);

}  // namespace linepoke
