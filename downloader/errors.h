// Error reporting: every failure that turns the verdict to NG goes through
// ReportError, which prints it, logs it and counts it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tonecast {

enum ErrorIndex {
  ERR_UNDEFINED = 0,
  ERR_FILE_NOT_FOUND = 1,
  ERR_FILE_FORMAT = 2,
  ERR_FILE_SIZE = 3,
  ERR_FILE_READ = 4,
  ERR_CHECKSUM = 5,
  ERR_NO_ACK = 6,
  ERR_FIN_NG = 7,
  ERR_DATA_SIZE = 8,
  ERR_SEND = 9,
  ERR_SEND_TIMEOUT = 10,
  ERR_INIT = 11,
  ERR_DOWNLOAD_CMD = 12,
  ERR_ADM_BLOCK = 13,
  ERR_END_CMD = 14,
  ERR_INTERRUPTED = 15,
};

// Number of errors reported in this run; both threads report.
extern std::atomic<std::int32_t> g_error_count;

// Sets the error count of a new run to 0.
void InitErrors();
// Prints "\nError : <text>\n", writes an Error record, counts the error.
// text may be null: the table text of index is used (index 0 when index is
// out of range).
void ReportError(int index, const char* text);
// Shows "tonecast: <line>" on standard error: what an error just reported
// means and what to do about it. Not counted and not logged; standard output
// and the run log read as they did without it. Empty lines are not shown.
void ReportAdvice(const std::string& line);
// Reports "<table text> (code:<code>)" as one error.
void ReportErrorCode(int index, std::int32_t code);
// Reports ERR_UNDEFINED and returns 0 (the sequencer's idle state).
int ReportUndefinedError();
// The table text of index (index 0 when out of range).
const char* ErrorText(int index);

}  // namespace tonecast
