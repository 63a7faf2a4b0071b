// UTF-8 and UTF-16 text on Windows: the programs hold text as UTF-8, and
// Windows takes names in full only as UTF-16 (the "W" functions).
#pragma once

#include <string>

namespace platform::win32 {

// Converts UTF-8 text to UTF-16. 0, or ERROR_NO_UNICODE_TRANSLATION for
// bytes that are not UTF-8 (never a best-fit guess that could name another
// file).
int WideFromUtf8(const char* text, std::wstring* wide);
// Converts UTF-16 text to UTF-8 (an unpaired surrogate becomes U+FFFD).
std::string Utf8FromWide(const wchar_t* wide);

}  // namespace platform::win32
