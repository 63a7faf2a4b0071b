#include "downloader/errors.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "downloader/progress_line.h"
#include "downloader/run_log.h"
#include "downloader/station_channel.h"
#include "platform/console.h"
#include "vpformat/vp_file_check.h"

namespace tonecast {

std::atomic<std::int32_t> g_error_count{0};

void InitErrors() { g_error_count.store(0); }

namespace {

constexpr int kErrorCount = 16;
constexpr std::size_t kCodedTextSize = 256;

// Every text of the unit's dialogue ends with one space; the FIN NG text
// repeats the checksum text. The interrupt's text, added later, has none:
// its console form reads "\nError : Interrupted.\n". The texts of the file
// check are kept once, with the check (vpformat/), which the station shows
// as well.
const char* const kErrorTexts[kErrorCount] = {
    kTextUndefined,                // ERR_UNDEFINED
    kTextFileNotFound,             // ERR_FILE_NOT_FOUND
    kTextFileFormat,               // ERR_FILE_FORMAT
    kTextFileSize,                 // ERR_FILE_SIZE
    kTextFileRead,                 // ERR_FILE_READ
    kTextChecksum,                 // ERR_CHECKSUM
    "No ACK. ",                    // ERR_NO_ACK
    "Check sum NG. ",              // ERR_FIN_NG
    "Data Size Error. ",           // ERR_DATA_SIZE
    "Send Error. ",                // ERR_SEND
    "Send Timeout. ",              // ERR_SEND_TIMEOUT
    "Initialization failure. ",    // ERR_INIT
    "Download command failure. ",  // ERR_DOWNLOAD_CMD
    "ADM block invalid. ",         // ERR_ADM_BLOCK
    kTextEndCommand,               // ERR_END_CMD
    "Interrupted.",                // ERR_INTERRUPTED
};

}  // namespace

const char* ErrorText(int index) {
  if (index < 0 || index >= kErrorCount) index = ERR_UNDEFINED;
  return kErrorTexts[index];
}

void ReportError(int index, const char* text) {
  if (text == nullptr) text = ErrorText(index);
  ProgressErase();  // the error line starts on a clean screen line
  // One call, so that a report from the other thread cannot split the line.
  std::printf("\nError : %s\n", text);
  std::fflush(stdout);
  WriteLogRecord(LOG_ERROR, {}, text, std::strlen(text));
  StationError(text);
  g_error_count.fetch_add(1);
}

void ReportAdvice(const std::string& line) {
  if (line.empty()) return;
  const std::string text = "tonecast: " + line + "\n";
  platform::ConsoleWrite(platform::ConsoleStream::kError, text.data(), text.size());
}

void ReportErrorCode(int index, std::int32_t code) {
  char* buffer = new (std::nothrow) char[kCodedTextSize];
  if (buffer == nullptr) {
    ReportError(ERR_UNDEFINED, nullptr);
    return;
  }
  // The table text ends with a space, so two spaces stand before "(code:".
  std::snprintf(buffer, kCodedTextSize, "%s (code:%d)", ErrorText(index), static_cast<int>(code));
  ReportError(ERR_UNDEFINED, buffer);
  delete[] buffer;
}

int ReportUndefinedError() {
  ReportError(ERR_UNDEFINED, nullptr);
  return 0;
}

}  // namespace tonecast
