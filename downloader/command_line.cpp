#include "downloader/command_line.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "downloader/errors.h"
#include "downloader/run_state.h"
#include "downloader/vp_file.h"

namespace tonecast {

namespace {

constexpr const char* kUsage =
    "tonecast [-P [COM port] -C [cable type]] file#0 [ file#1 file#2 file#3 ]\n";
constexpr const char* kTooFewParameters = "Error : Number of parameter is small. \n";
constexpr const char* kIllegalParameter = "Error : Illegal parameter\n";
constexpr const char* kFileNameTooLong = "Error : File name is too long.\n";
constexpr const char* kPortNameTooLong = "Error : Port name is too long.\n";

// Plain console lines: not counted as errors and not logged.
void PrintLine(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

// Copies text into a field of kNameSize bytes; false (field untouched) when
// it does not fit with its terminator.
bool CopyField(char (&field)[kNameSize], const char* text) {
  const std::size_t length = std::strlen(text);
  if (length >= sizeof field) return false;
  std::memcpy(field, text, length + 1);
  return true;
}

// "-P <number>": base 0 (decimal, 0x hexadecimal, leading-zero octal),
// conversion stopping at the first unusable character. 0, which includes
// text that is not a number, and numbers beyond the port number's range are
// illegal.
bool ParsePortNumber(const char* text, std::int32_t* port) {
  errno = 0;
  const long value = std::strtol(text, nullptr, 0);
  if (value == 0 || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return false;
  *port = static_cast<std::int32_t>(value);
  return true;
}

// "COM<n>" (any case), also as "\\.\COM<n>": the numbered port n. False
// for anything else, n = 0 included.
bool ParsePortName(const char* text, std::int32_t* port) {
  if (std::strncmp(text, "\\\\.\\", 4) == 0) text += 4;
  if (std::strlen(text) < 4 || std::strlen(text) > 13) return false;
  for (int i = 0; i < 3; ++i)
    if ((text[i] | 0x20) != "com"[i]) return false;
  long long value = 0;
  for (const char* d = text + 3; *d != '\0'; ++d) {
    if (*d < '0' || *d > '9') return false;
    value = value * 10 + (*d - '0');
  }
  if (value == 0 || value > INT32_MAX) return false;
  *port = static_cast<std::int32_t>(value);
  return true;
}

// A value of "-P" that is no number: a port name, or a device path (one
// with a slash or a backslash in it), or illegal. A number keeps its old
// meaning, whatever follows it ("3abc" is 3).
enum class PortArgument { kNumber, kPath, kIllegal, kTooLong };
PortArgument ParsePortArgument(const char* text) {
  if (ParsePortNumber(text, &g_com_port)) return PortArgument::kNumber;
  if (ParsePortName(text, &g_com_port)) return PortArgument::kNumber;
  if (std::strchr(text, '/') == nullptr && std::strchr(text, '\\') == nullptr)
    return PortArgument::kIllegal;
  const std::size_t length = std::strlen(text);
  if (length >= sizeof g_port_path) return PortArgument::kTooLong;
  std::memcpy(g_port_path, text, length + 1);
  return PortArgument::kPath;
}

// An option that needs the next argument: "Error : Option -P needs a value.\n".
void PrintMissingValue(char letter) {
  std::printf("Error : Option -%c needs a value.\n", letter);
  std::fflush(stdout);
}

}  // namespace

int ParseCommandLine(int argc, char** argv) {
  if (argc <= 1) {
    PrintLine(kUsage);
    return 0;
  }
  if (argc == 2) {
    PrintLine(kTooFewParameters);
    return 0;
  }

  int files = 0;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] == '-') {
      switch (arg[1]) {
        case 'P':
          if (i + 1 >= argc) {
            PrintMissingValue('P');
            return 0;
          }
          // The last -P counts: a number after a path is the number.
          g_port_path[0] = '\0';
          switch (ParsePortArgument(argv[++i])) {
            case PortArgument::kNumber:
            case PortArgument::kPath:
              break;
            case PortArgument::kTooLong:
              PrintLine(kPortNameTooLong);
              return 0;
            case PortArgument::kIllegal:
              ReportError(ERR_UNDEFINED, "Illegal COM port No.");
              return 0;
          }
          break;
        case 'C':
          // The cable type is skipped and has no effect; there may be none.
          if (i + 1 < argc) ++i;
          break;
        case '1':
        case '8':
          // Stays in effect for the data files that follow; the last one
          // on the command line is the one the transfer announces.
          if (!CopyField(g_option_text, arg) || DecodeFlashSize(g_option_text) == FLASH_ILLEGAL) {
            PrintLine(kIllegalParameter);
            return 0;
          }
          break;
        default:
          PrintLine(kIllegalParameter);
          return 0;
      }
      continue;
    }

    if (files >= kDataFileCount) {
      ReportError(ERR_UNDEFINED, "Too many data files.");
      return 0;
    }
    if (!CopyField(g_data_files[files].name, arg)) {
      PrintLine(kFileNameTooLong);
      return 0;
    }
    if (!CheckDataFile(files)) return 0;
    ++files;
  }
  return 1;
}

}  // namespace tonecast
