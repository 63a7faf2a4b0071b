#include "downloader/vp_file.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "downloader/errors.h"
#include "downloader/vp_format.h"
#include "platform/file.h"

namespace tonecast {

DataFileEntry g_data_files[kDataFileCount];
char g_option_text[kNameSize];
std::uint8_t* g_loaded_data = nullptr;

namespace {

// Reads exactly size bytes of an open file into buffer. A file that ends
// early (it changed since its size was taken) counts as a read failure, so
// that no byte of the buffer is left unread. Returns 0 or the error code.
int ReadWhole(platform::File* file, std::uint8_t* buffer, std::uint32_t size) {
  std::size_t got = 0;
  const int err = platform::FileRead(file, buffer, size, &got);
  if (err != 0) return err;
  if (got != size) return platform::ErrorCode(platform::Failure::kIo);
  return 0;
}

void UpperCaseM(char* text, std::size_t length, std::size_t position) {
  if (position < length && text[position] == 'm') text[position] = 'M';
}

// Reports the first failure of the head block and the sum length; true when
// there was one.
bool ReportHeadProblem(unsigned problems) {
  if (problems & VP_BAD_HEAD_MARKER) {
    ReportErrorCode(ERR_FILE_FORMAT, 1);
    return true;
  }
  if (problems & (VP_BAD_COUNT | VP_BAD_HEAD_PATTERN | VP_BAD_SUM_LENGTH)) {
    ReportErrorCode(ERR_FILE_FORMAT, 2);
    return true;
  }
  return false;
}

// The checks after the file has been opened; the caller closes it.
int CheckOpenFile(DataFileEntry& entry, int index, platform::File* file,
                  const VpGeometry& geometry) {
  std::uint32_t size = 0;
  const int size_err = platform::FileSize(file, &size);
  if (platform::ErrorIs(size_err, platform::Failure::kTooLarge)) {
    ReportError(ERR_FILE_SIZE, nullptr);
    return 0;
  }
  if (size_err != 0) {
    ReportErrorCode(ERR_FILE_READ, size_err);
    return 0;
  }
  entry.size = size;
  if (size != geometry.file_size) {
    ReportError(ERR_FILE_SIZE, nullptr);
    return 0;
  }

  std::uint8_t* buffer = new (std::nothrow) std::uint8_t[std::size_t(size) + 1]();
  if (buffer == nullptr) {
    ReportError(ERR_UNDEFINED, nullptr);
    return 0;
  }
  const int read_err = ReadWhole(file, buffer, size);
  if (read_err != 0) {
    ReportErrorCode(ERR_FILE_READ, read_err);
    delete[] buffer;
    return 0;
  }

  const unsigned problems = ExamineVpImage(buffer, size, geometry);
  delete[] buffer;
  if (ReportHeadProblem(problems)) return 0;

  if (problems & VP_BAD_CHECKSUM) {
    ReportError(ERR_CHECKSUM, nullptr);
  } else {
    entry.valid = 1;
    std::printf("File #%d : name:%s\n       size:%d,", index, entry.name, static_cast<int>(size));
    std::printf("status:%s\n", "OK");
    std::fflush(stdout);
  }
  if (problems & VP_BAD_TAIL) {
    ReportErrorCode(ERR_END_CMD, 2);
    return 0;
  }
  return static_cast<int>(entry.valid);
}

}  // namespace

int DecodeFlashSize(char* text) {
  if (text == nullptr || text[0] != '-') return FLASH_ILLEGAL;
  const std::size_t length = std::strlen(text);
  UpperCaseM(text, length, 3);
  UpperCaseM(text, length, 2);
  if (std::strcmp(text, "-16M") == 0) return FLASH_16M;
  if (std::strcmp(text, "-8M") == 0) return FLASH_8M;
  return FLASH_ILLEGAL;
}

int CheckDataFile(int index) {
  if (index < 0 || index >= kDataFileCount) return 0;
  const VpGeometry& geometry = GeometryFor(DecodeFlashSize(g_option_text));
  DataFileEntry& entry = g_data_files[index];
  entry.size = 0;
  entry.valid = 0;

  platform::File* file = nullptr;
  if (platform::FileOpenRead(entry.name, &file) != 0) {
    ReportError(ERR_FILE_NOT_FOUND, nullptr);
    return 0;
  }
  const int valid = CheckOpenFile(entry, index, file, geometry);
  platform::FileClose(file);
  return valid;
}

void InitDataFiles() {
  std::memset(g_data_files, 0, sizeof g_data_files);
  std::memset(g_option_text, 0, sizeof g_option_text);
  ReleaseLoadedData();
}

void ReleaseLoadedData() {
  delete[] g_loaded_data;
  g_loaded_data = nullptr;
}

int LoadDataFile(const char* name, std::uint32_t size) {
  ReleaseLoadedData();
  platform::File* file = nullptr;
  if (platform::FileOpenRead(name, &file) != 0) {
    ReportError(ERR_FILE_NOT_FOUND, nullptr);
    return 1;
  }
  std::uint8_t* buffer = new (std::nothrow) std::uint8_t[std::size_t(size) + 10]();
  if (buffer == nullptr) {
    platform::FileClose(file);
    return -1;
  }
  const int read_err = ReadWhole(file, buffer, size);
  platform::FileClose(file);
  if (read_err != 0) {
    ReportErrorCode(ERR_FILE_READ, read_err);
    delete[] buffer;
    return 1;
  }
  g_loaded_data = buffer;
  return 0;
}

}  // namespace tonecast
