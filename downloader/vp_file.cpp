#include "downloader/vp_file.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "downloader/errors.h"
#include "platform/file.h"
#include "vpformat/vp_file_check.h"

namespace tonecast {

DataFileEntry g_data_files[kDataFileCount];
char g_option_text[kNameSize];
std::uint8_t* g_loaded_data = nullptr;

namespace {

void UpperCaseM(char* text, std::size_t length, std::size_t position) {
  if (position < length && text[position] == 'm') text[position] = 'M';
}

void PrintStatusLine(int index, const DataFileEntry& entry) {
  std::printf("File #%d : name:%s\n       size:%d,", index, entry.name,
              static_cast<int>(entry.size));
  std::printf("status:%s\n", "OK");
  std::fflush(stdout);
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
  entry.valid = 0;
  const VpFileCheck check = CheckVpFile(entry.name, geometry);
  entry.size = check.size;
  switch (check.problem) {
    case VpFileProblem::kNotFound:
      ReportError(ERR_FILE_NOT_FOUND, nullptr);
      break;
    case VpFileProblem::kSize:
      ReportError(ERR_FILE_SIZE, nullptr);
      break;
    case VpFileProblem::kRead:
      ReportErrorCode(ERR_FILE_READ, check.code);
      break;
    case VpFileProblem::kNoMemory:
      ReportError(ERR_UNDEFINED, nullptr);
      break;
    case VpFileProblem::kFormat:
      ReportErrorCode(ERR_FILE_FORMAT, check.code);
      break;
    case VpFileProblem::kChecksum:
      ReportError(ERR_CHECKSUM, nullptr);
      if (check.tail_bad) ReportErrorCode(ERR_END_CMD, 2);
      break;
    case VpFileProblem::kTail:
    case VpFileProblem::kNone:
      break;
  }
  if (check.problem != VpFileProblem::kTail && check.problem != VpFileProblem::kNone) {
    ReportAdvice(VpFileAdvice(entry.name, check, geometry));
    return 0;
  }
  // The checksum is good: the file's status line, then a bad tail if any.
  entry.valid = 1;
  PrintStatusLine(index, entry);
  if (check.problem == VpFileProblem::kTail) {
    ReportErrorCode(ERR_END_CMD, check.code);
    ReportAdvice(VpFileAdvice(entry.name, check, geometry));
    return 0;
  }
  return 1;
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
  // The file was checked at start-up: a failure now means it changed since.
  VpFileCheck gone;
  gone.size = size;
  if (const int err = platform::FileOpenRead(name, &file); err != 0) {
    ReportError(ERR_FILE_NOT_FOUND, nullptr);
    gone.problem = VpFileProblem::kNotFound;
    gone.code = err;
    ReportAdvice(VpFileAdvice(name, gone, GeometryFor(DecodeFlashSize(g_option_text))));
    return 1;
  }
  std::uint8_t* buffer = new (std::nothrow) std::uint8_t[std::size_t(size) + 10]();
  if (buffer == nullptr) {
    platform::FileClose(file);
    return -1;
  }
  const int read_err = VpReadWhole(file, buffer, size);
  platform::FileClose(file);
  if (read_err != 0) {
    ReportErrorCode(ERR_FILE_READ, read_err);
    gone.problem = VpFileProblem::kRead;
    gone.code = read_err;
    ReportAdvice(VpFileAdvice(name, gone, GeometryFor(DecodeFlashSize(g_option_text))));
    delete[] buffer;
    return 1;
  }
  g_loaded_data = buffer;
  return 0;
}

}  // namespace tonecast
