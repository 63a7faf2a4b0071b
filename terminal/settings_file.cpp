#include "terminal/settings_file.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace linepoke {
namespace {

int LastError() { return errno != 0 ? errno : EIO; }

}  // namespace

int ReadSettingsWord(const char* path, char* name, std::size_t size) {
  if (size == 0) return EINVAL;
  name[0] = '\0';
  errno = 0;
  std::FILE* file = std::fopen(path, "r");
  if (!file) return LastError();

  int c = std::fgetc(file);
  while (c != EOF && std::isspace(static_cast<unsigned char>(c))) c = std::fgetc(file);
  std::size_t length = 0;
  while (c != EOF && !std::isspace(static_cast<unsigned char>(c)) && length + 1 < size) {
    name[length++] = static_cast<char>(c);
    c = std::fgetc(file);
  }
  name[length] = '\0';
  std::fclose(file);
  return 0;
}

int WriteSettingsFile(const char* path, const char* text, bool* created) {
  errno = 0;
  std::FILE* file = std::fopen(path, "w");
  if (created) *created = file != nullptr;
  if (!file) return LastError();
  const std::size_t length = std::strlen(text);
  int status = 0;
  if (std::fwrite(text, 1, length, file) != length) status = LastError();
  // The text is still in the stream's buffer: a full disk shows only here.
  if (std::fclose(file) != 0 && status == 0) status = LastError();
  return status;
}

}  // namespace linepoke
