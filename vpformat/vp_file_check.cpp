#include "vpformat/vp_file_check.h"

#include <cstdio>
#include <new>

namespace tonecast {

namespace {

VpFileCheck Found(VpFileProblem problem, int code, std::uint32_t size) {
  VpFileCheck check;
  check.problem = problem;
  check.code = code;
  check.size = size;
  return check;
}

// The checks after the file has been opened; the caller closes it.
VpFileCheck CheckOpenFile(platform::File* file, const VpGeometry& geometry) {
  std::uint32_t size = 0;
  const int size_err = platform::FileSize(file, &size);
  if (platform::ErrorIs(size_err, platform::Failure::kTooLarge))
    return Found(VpFileProblem::kSize, 0, 0);
  if (size_err != 0) return Found(VpFileProblem::kRead, size_err, 0);
  if (size != geometry.file_size) return Found(VpFileProblem::kSize, 0, size);

  std::uint8_t* buffer = new (std::nothrow) std::uint8_t[std::size_t(size) + 1]();
  if (buffer == nullptr) return Found(VpFileProblem::kNoMemory, 0, size);
  const int read_err = VpReadWhole(file, buffer, size);
  if (read_err != 0) {
    delete[] buffer;
    return Found(VpFileProblem::kRead, read_err, size);
  }
  const unsigned problems = ExamineVpImage(buffer, size, geometry);
  delete[] buffer;

  // The first failure of the head block and the sum length stops the check.
  if (problems & VP_BAD_HEAD_MARKER) return Found(VpFileProblem::kFormat, 1, size);
  if (problems & (VP_BAD_COUNT | VP_BAD_HEAD_PATTERN | VP_BAD_SUM_LENGTH))
    return Found(VpFileProblem::kFormat, 2, size);
  // The checksum and the tail are both examined.
  const bool tail_bad = (problems & VP_BAD_TAIL) != 0;
  if (problems & VP_BAD_CHECKSUM) {
    VpFileCheck check = Found(VpFileProblem::kChecksum, 0, size);
    check.tail_bad = tail_bad;
    return check;
  }
  if (tail_bad) return Found(VpFileProblem::kTail, 2, size);
  return Found(VpFileProblem::kNone, 0, size);
}

void Put(VpErrorText* out, const char* text) {
  std::snprintf(out->text, kVpErrorTextSize, "%s", text);
}

void PutCoded(VpErrorText* out, const char* text, int code) {
  std::snprintf(out->text, kVpErrorTextSize, "%s (code:%d)", text, code);
}

}  // namespace

int VpReadWhole(platform::File* file, std::uint8_t* buffer, std::uint32_t size) {
  std::size_t got = 0;
  const int err = platform::FileRead(file, buffer, size, &got);
  if (err != 0) return err;
  if (got != size) return platform::ErrorCode(platform::Failure::kIo);
  return 0;
}

VpFileCheck CheckVpFile(const char* path, const VpGeometry& geometry) {
  platform::File* file = nullptr;
  if (path == nullptr) return Found(VpFileProblem::kNotFound, 0, 0);
  if (const int err = platform::FileOpenRead(path, &file); err != 0)
    return Found(VpFileProblem::kNotFound, err, 0);
  const VpFileCheck check = CheckOpenFile(file, geometry);
  platform::FileClose(file);
  return check;
}

int VpFileErrorTexts(const VpFileCheck& check, VpErrorText texts[2]) {
  switch (check.problem) {
    case VpFileProblem::kNone:
      return 0;
    case VpFileProblem::kNotFound:
      Put(&texts[0], kTextFileNotFound);
      return 1;
    case VpFileProblem::kSize:
      Put(&texts[0], kTextFileSize);
      return 1;
    case VpFileProblem::kRead:
      PutCoded(&texts[0], kTextFileRead, check.code);
      return 1;
    case VpFileProblem::kNoMemory:
      Put(&texts[0], kTextUndefined);
      return 1;
    case VpFileProblem::kFormat:
      PutCoded(&texts[0], kTextFileFormat, check.code);
      return 1;
    case VpFileProblem::kChecksum:
      Put(&texts[0], kTextChecksum);
      if (!check.tail_bad) return 1;
      PutCoded(&texts[1], kTextEndCommand, 2);
      return 2;
    case VpFileProblem::kTail:
      PutCoded(&texts[0], kTextEndCommand, check.code);
      return 1;
  }
  return 0;
}

std::string VpFileAdvice(const char* path, const VpFileCheck& check, const VpGeometry& geometry) {
  const std::string file = path ? path : "";
  const std::string flash = std::to_string(geometry.flash_size) + " Mbit";
  switch (check.problem) {
    case VpFileProblem::kNone:
      return "";
    case VpFileProblem::kNotFound:
      if (check.code == 0 || platform::ErrorIs(check.code, platform::Failure::kNotFound))
        return file + ": no such file; check the name and the working directory";
      return file + ": cannot be opened as a file (code:" + std::to_string(check.code) +
             "); it must be a readable regular file";
    case VpFileProblem::kSize: {
      const VpGeometry& other = GeometryFor(geometry.flash_size == 16 ? 8 : 16);
      std::string line = file + ": " + std::to_string(check.size) + " bytes, but an " + flash +
                         " image has " + std::to_string(geometry.file_size);
      if (check.size == other.file_size)
        return line + "; it is the size of a " + std::to_string(other.flash_size) +
               " Mbit image: give -" + std::to_string(other.flash_size) + "M";
      return line + "; check that this is the right file";
    }
    case VpFileProblem::kRead:
      return file + ": cannot be read (code:" + std::to_string(check.code) + ")";
    case VpFileProblem::kNoMemory:
      return file + ": not enough memory to read it";
    case VpFileProblem::kFormat:
    case VpFileProblem::kChecksum:
    case VpFileProblem::kTail:
      return file + ": not a valid " + flash +
             " VP image (damaged, or not an image); vpimage check " + file + " tells what is wrong";
  }
  return "";
}

}  // namespace tonecast
