#include "platform/win32/text.h"

#include <windows.h>

#include "platform/win32/last_error.h"

namespace platform::win32 {

int WideFromUtf8(const char* text, std::wstring* wide) {
  wide->clear();
  if (!text || !*text) return 0;
  // -1: the terminating NUL is converted and counted too.
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (n <= 0) return LastError();
  wide->resize(std::size_t(n));
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide->data(), n) != n) {
    const int err = LastError();
    wide->clear();
    return err;
  }
  wide->resize(std::size_t(n) - 1);
  return 0;
}

std::string Utf8FromWide(const wchar_t* wide) {
  std::string text;
  if (!wide || !*wide) return text;
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return text;
  text.resize(std::size_t(n));
  if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), n, nullptr, nullptr) != n) return {};
  text.resize(std::size_t(n) - 1);
  return text;
}

}  // namespace platform::win32
