// Error reporting: the console form, the coded texts, the Error record in
// the run log and the count that decides the verdict.
#include <thread>
#include <vector>

#include "downloader/errors.h"
#include "downloader/run_log.h"
#include "tests/startup/startup_fixture.h"

using namespace tonecast;

namespace {

using startup_test::Captured;
using startup_test::StartupTest;

using ErrorReportTest = StartupTest;

TEST_F(ErrorReportTest, TableTextsInConsoleForm) {
  const std::string out = Captured([] {
    ReportError(ERR_FILE_SIZE, nullptr);
    ReportError(ERR_CHECKSUM, nullptr);
    ReportError(ERR_FIN_NG, nullptr);
    ReportError(ERR_END_CMD, nullptr);
  });
  EXPECT_EQ(out,
            "\nError : File size error. \n"
            "\nError : Check sum NG. \n"
            "\nError : Check sum NG. \n"
            "\nError : End command failure. \n");
  EXPECT_EQ(g_error_count.load(), 4);
}

TEST_F(ErrorReportTest, IndexOutsideTheTableReportsTheUndefinedText) {
  const std::string out = Captured([] {
    ReportError(16, nullptr);
    ReportError(1000, nullptr);
    ReportError(-1, nullptr);
  });
  const std::string undefined = "\nError : An undefined error occurred. \n";
  EXPECT_EQ(out, undefined + undefined + undefined);
  EXPECT_STREQ(ErrorText(16), ErrorText(ERR_UNDEFINED));
  EXPECT_STREQ(ErrorText(14), "End command failure. ");
  EXPECT_STREQ(ErrorText(ERR_INTERRUPTED), "Interrupted.");
}

TEST_F(ErrorReportTest, CallerTextIsPrintedUnchanged) {
  const std::string out = Captured([] { ReportError(ERR_NO_ACK, "Illegal COM port No."); });
  EXPECT_EQ(out, "\nError : Illegal COM port No.\n");
  EXPECT_EQ(g_error_count.load(), 1);
}

TEST_F(ErrorReportTest, CodedTextsKeepTwoSpacesBeforeTheCode) {
  const std::string out = Captured([] {
    ReportErrorCode(ERR_FILE_READ, 5);
    ReportErrorCode(ERR_FILE_FORMAT, -2);
    ReportErrorCode(99, 2147483647);
  });
  EXPECT_EQ(out,
            "\nError : Data file cannot be read .  (code:5)\n"
            "\nError : Illegal file format.  (code:-2)\n"
            "\nError : An undefined error occurred.  (code:2147483647)\n");
  EXPECT_EQ(g_error_count.load(), 3);
}

TEST_F(ErrorReportTest, UndefinedErrorReturnsTheIdleState) {
  int result = -1;
  const std::string out = Captured([&] { result = ReportUndefinedError(); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out, "\nError : An undefined error occurred. \n");
  EXPECT_EQ(g_error_count.load(), 1);
}

TEST_F(ErrorReportTest, ErrorRecordOnlyWhileTheLogIsOpen) {
  Captured([] { ReportError(ERR_CHECKSUM, nullptr); });  // log not open yet: dropped
  OpenRunLog();
  Captured([] {
    ReportError(ERR_NO_ACK, nullptr);
    ReportErrorCode(ERR_SEND, 32);
  });
  CloseRunLog();
  const std::string log = testsupport::ReadFile(dir_.file("tonecast.log"));
  EXPECT_EQ(log.find("Check sum NG."), std::string::npos) << log;
  const std::size_t no_ack = log.find(" : No ACK. \n\n");
  const std::size_t send = log.find(" : Send Error.  (code:32)\n\n");
  ASSERT_NE(no_ack, std::string::npos) << log;
  ASSERT_NE(send, std::string::npos) << log;
  EXPECT_LT(no_ack, send);
  // Each record starts a line with "Error " and the timestamp.
  const std::size_t record = log.rfind("\nError ", no_ack);
  ASSERT_NE(record, std::string::npos);
  EXPECT_EQ(log.substr(record + 7 + 19, 3), " : ");
}

TEST_F(ErrorReportTest, ReportsFromTwoThreadsAreAllCountedAndWhole) {
  constexpr int kEach = 500;
  const std::string out = Captured([] {
    std::thread other([] {
      for (int i = 0; i < kEach; ++i) ReportError(ERR_NO_ACK, nullptr);
    });
    for (int i = 0; i < kEach; ++i) ReportError(ERR_SEND, nullptr);
    other.join();
  });
  EXPECT_EQ(g_error_count.load(), 2 * kEach);
  // Every console line is one whole report.
  std::size_t lines = 0;
  std::size_t pos = 0;
  while ((pos = out.find("\nError : ", pos)) != std::string::npos) {
    const std::size_t end = out.find('\n', pos + 1);
    ASSERT_NE(end, std::string::npos);
    const std::string text = out.substr(pos + 9, end - pos - 9);
    EXPECT_TRUE(text == "No ACK. " || text == "Send Error. ") << text;
    ++lines;
    pos = end;
  }
  EXPECT_EQ(lines, 2u * kEach);
}

}  // namespace
