#include "terminal/settings_file.h"

#include <cctype>
#include <cstring>

#include "platform/file.h"

namespace linepoke {
namespace {

// Reads the file a chunk at a time and hands it out a byte per call; -1 at
// its end or after a read error (what was read before it still counts).
class ByteReader {
 public:
  explicit ByteReader(platform::File* file) : file_(file) {}
  int Next() {
    if (pos_ == len_) {
      if (ended_) return -1;
      pos_ = 0;
      len_ = 0;
      platform::FileRead(file_, buffer_, sizeof buffer_, &len_);
      if (len_ == 0) {
        ended_ = true;
        return -1;
      }
    }
    return static_cast<unsigned char>(buffer_[pos_++]);
  }

 private:
  platform::File* file_;
  char buffer_[256];
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  bool ended_ = false;
};

bool IsSpace(int c) { return c >= 0 && std::isspace(c); }

}  // namespace

int ReadSettingsWord(const char* path, char* name, std::size_t size) {
  if (size == 0) return platform::ErrorCode(platform::Failure::kInvalid);
  name[0] = '\0';
  // Regular files only: a FIFO or a device is not read, and never waited on.
  platform::File* file = nullptr;
  if (const int status = platform::FileOpenRead(path, &file); status != 0) return status;

  ByteReader reader(file);
  int c = reader.Next();
  while (IsSpace(c)) c = reader.Next();
  std::size_t length = 0;
  while (c >= 0 && !IsSpace(c) && length + 1 < size) {
    name[length++] = static_cast<char>(c);
    c = reader.Next();
  }
  name[length] = '\0';
  platform::FileClose(file);
  return 0;
}

int WriteSettingsFile(const char* path, const char* text, bool* created) {
  platform::File* file = nullptr;
  const int opened = platform::FileOpenReplace(path, &file);
  if (created) *created = opened == 0;
  if (opened != 0) return opened;
  const int status = platform::FileAppend(file, text, std::strlen(text));
  platform::FileClose(file);
  return status;
}

}  // namespace linepoke
