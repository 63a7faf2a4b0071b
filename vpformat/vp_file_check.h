// The check of a VP image file, shared by tonecast and the station: open
// it, take its size, read it whole and examine it, and say which problem
// wins, with its code. Neither prints anything here; each program shows the
// result in its own way, with the texts below (tonecast's error table holds
// the same ones, from here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"
#include "vpformat/vp_format.h"

namespace tonecast {

// The texts of the file check, as tonecast's error table holds them: each
// ends with one space, so the coded form "<text> (code:N)" has two spaces.
inline constexpr char kTextUndefined[] = "An undefined error occurred. ";
inline constexpr char kTextFileNotFound[] = "File not found. ";
inline constexpr char kTextFileFormat[] = "Illegal file format. ";
inline constexpr char kTextFileSize[] = "File size error. ";
inline constexpr char kTextFileRead[] = "Data file cannot be read . ";
inline constexpr char kTextChecksum[] = "Check sum NG. ";
inline constexpr char kTextEndCommand[] = "End command failure. ";

// What the check found first, in the order the checks run.
enum class VpFileProblem {
  kNone,      // the image passed every check
  kNotFound,  // not opened: missing, not a regular file, or not readable;
              // code: the platform's
  kSize,      // too large to take its size, or not the flash size's length
  kRead,      // its size or its bytes could not be read; code: the platform's
  kNoMemory,  // no buffer to read it into
  kFormat,    // the head block; code 1 (its marker) or 2 (count, pattern, sum length)
  kChecksum,  // the words do not sum to 0; tail_bad: the tail block is bad too
  kTail,      // the checksum is good, the tail block is not; code 2
};

struct VpFileCheck {
  VpFileProblem problem = VpFileProblem::kNone;
  int code = 0;
  bool tail_bad = false;
  std::uint32_t size = 0;  // the file's size, when it could be taken
};

// Checks the file at path against the geometry.
VpFileCheck CheckVpFile(const char* path, const VpGeometry& geometry);

// Reads exactly size bytes of an open file into buffer. A file that ends
// early (it changed since its size was taken) counts as a read failure, so
// that no byte of the buffer is left unread. Returns 0 or the error code.
int VpReadWhole(platform::File* file, std::uint8_t* buffer, std::uint32_t size);

// The error texts of a check result, as tonecast prints them after
// "Error : ", in its order: none for kNone, two for a bad checksum with a bad
// tail, else one ("Illegal file format.  (code:1)"). Returns how many.
constexpr std::size_t kVpErrorTextSize = 64;
struct VpErrorText {
  char text[kVpErrorTextSize];
};
int VpFileErrorTexts(const VpFileCheck& check, VpErrorText texts[2]);

// One line for a user after the error texts, without the program's name or
// a line end: the file, what is wrong with it and what to do.
// "image.vp: 1000 bytes, but an 8 Mbit image has 270600; ..." Empty for kNone.
std::string VpFileAdvice(const char* path, const VpFileCheck& check, const VpGeometry& geometry);

}  // namespace tonecast
