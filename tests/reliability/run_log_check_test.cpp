// The run log reader that the reliability suites rely on: it must take
// every record form the downloader writes and refuse torn or mixed records,
// or the end-to-end checks prove nothing.
#include <gtest/gtest.h>

#include "tests/reliability/run_log_check.h"

namespace reliability {
namespace {

const std::string kRun =
    "Program start at 2006/04/25 10:00:00 \n"
    "COM3 connect at 2006/04/25 10:00:00 \n"
    "SEND 2006/04/25 10:00:00 size:4 (4)\n     VPL\r\n\n"
    "RECV 2006/04/25 10:00:05 size:3\n     ACK\n\n"
    "BFUL 2006/04/25 10:00:05 \n     " + std::string(128, '\xff') + "\n\n"
    "stop receiving at 2006/04/25 10:00:05 \n"
    "BAUD 2006/04/25 10:00:05 : 19200 -> 115200 \n"
    "SEND 2006/04/25 10:00:06 size:270600 (100000)\n     " + std::string(30, '\n') + "\n\n"
    "Error 2006/04/25 10:00:06 : Send Timeout. \n\n"
    "disconnect at 2006/04/25 10:00:07 \n"
    "Program end at 2006/04/25 23:59:60 \n";

TEST(RunLogReader, TakesEveryRecordFormAndSplitsRuns) {
  std::vector<LogRecord> records;
  ASSERT_EQ(ParseRunLog(kRun + kRun, &records), "");
  ASSERT_EQ(records.size(), 22u);
  EXPECT_EQ(records[1].kind, "connect");
  EXPECT_EQ(records[3].payload, "ACK");
  EXPECT_EQ(records[4].payload, std::string(128, '\xff'));
  EXPECT_EQ(records[6].first, 19200);
  EXPECT_EQ(records[6].second, 115200);
  EXPECT_EQ(records[7].payload, std::string(30, '\n')) << "SEND bytes are raw, LFs included";
  EXPECT_EQ(records[8].payload, "Send Timeout. ");
  EXPECT_EQ(CountKind(records, "SEND"), 4);
  std::vector<std::vector<LogRecord>> runs;
  EXPECT_EQ(SplitRuns(records, &runs), "");
  EXPECT_EQ(runs.size(), 2u);
  EXPECT_EQ(ParseRunLog("", &records), "");
}

TEST(RunLogReader, RefusesTornMixedAndMalformedRecords) {
  const std::string start = "Program start at 2006/04/25 10:00:00 \n";
  const std::string bad[] = {
      kRun.substr(0, kRun.size() - 1),                                  // torn at the end
      start + "RECV 2006/04/25 10:00:05 size:3\n     AC\n\n",           // payload too short
      start + "RECV 2006/04/25 10:00:05 size:3\n     ACK\n",            // one LF missing
      start + "RECV 2006/04/25 10:00:05 size:0\n     \n\n",             // empty line logged
      start + "RECV 2006/04/25 10:00:05 size:3\n     A\rK\n\n",         // CR delivered
      start + "SEND 2006/04/25 10:00:05 size:4 (5)\n     VPL\r\n\n",    // more written than asked
      start + "BFUL 2006/04/25 10:00:05 \n     " + std::string(127, 'x') + "\n\n",
      start + "Error 2006/04/25 10:00:05 : No ACK. \nRECV\n\n",         // two records mixed
      start + "Error 2006/04/25 10:00:05 : No ACK. ",                   // no blank line
      "Program start at 2006/13/25 10:00:00 \n",                        // month 13
      "Program start at 2006/04/25 24:00:00 \n",                        // hour 24
      "Program start at 06/04/25 10:00:00 \n",                          // two-digit year
      "COMX connect at 2006/04/25 10:00:00 \n",
      "Program start at 2006/04/25 10:00:00 Program end at 2006/04/25 10:00:00 \n",
  };
  for (const std::string& log : bad) {
    std::vector<LogRecord> records;
    EXPECT_NE(ParseRunLog(log, &records), "") << log;
  }
}

TEST(RunLogReader, RunsMustBeWhole) {
  std::vector<LogRecord> records;
  std::vector<std::vector<LogRecord>> runs;
  const std::string start = "Program start at 2006/04/25 10:00:00 \n";
  const std::string end = "Program end at 2006/04/25 10:00:00 \n";
  const std::string stop = "stop receiving at 2006/04/25 10:00:00 \n";
  ASSERT_EQ(ParseRunLog(start + start + end, &records), "");
  EXPECT_NE(SplitRuns(records, &runs), "") << "a start inside a run";
  ASSERT_EQ(ParseRunLog(start + stop, &records), "");
  EXPECT_NE(SplitRuns(records, &runs), "") << "a run without its end";
  ASSERT_EQ(ParseRunLog(start + end + stop, &records), "");
  EXPECT_NE(SplitRuns(records, &runs), "") << "a record outside any run";
}

}  // namespace
}  // namespace reliability
