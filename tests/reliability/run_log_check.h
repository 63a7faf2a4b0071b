// Reads "tonecast.log" record by record and refuses anything that is not a
// whole record of a known kind: a torn record, interleaved writes, a bad
// timestamp or a payload that does not end with its blank line.
#pragma once

#include <string>
#include <vector>

namespace reliability {

struct LogRecord {
  std::string kind;     // "start", "connect", "speed", "disconnect", "stop",
                        // "RECV", "BFUL", "SEND", "Error", "end"
  std::string header;   // the header as written
  std::string payload;  // RECV/BFUL/SEND bytes, or the Error text
  long first = 0;       // RECV size, SEND size asked, BAUD previous rate
  long second = 0;      // SEND size written, BAUD new rate
};

// Parses the whole log. Returns "" when every byte belongs to a whole
// record, else what is wrong and where. *records receives what parsed.
std::string ParseRunLog(const std::string& log, std::vector<LogRecord>* records);

// One run of the program in the log: from its start record to its end
// record. Returns "" when the records form whole runs (each start followed
// by an end before the next start, nothing outside), else what is wrong.
// *runs receives the records of each run.
std::string SplitRuns(const std::vector<LogRecord>& records,
                      std::vector<std::vector<LogRecord>>* runs);

// Counts the records of a kind.
int CountKind(const std::vector<LogRecord>& records, const std::string& kind);

}  // namespace reliability
