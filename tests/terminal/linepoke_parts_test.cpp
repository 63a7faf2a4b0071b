// Pieces of linepoke that the end-to-end runs cannot steer: a wrap of the
// millisecond clock, the bounds of the port-name buffer, settings files that
// fail to be written.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "terminal/delay.h"
#include "terminal/settings_file.h"
#include "tests/support/process.h"

namespace {

using linepoke::DelayElapsed;
using linepoke::kNameBufferSize;
using linepoke::ReadSettingsWord;
using linepoke::WriteSettingsFile;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

TEST(Delay, EndsOnlyWhenTheClockHasAdvancedByMoreThanTheArgument) {
  EXPECT_FALSE(DelayElapsed(1000, 1000, 10));
  EXPECT_FALSE(DelayElapsed(1000, 1010, 10));
  EXPECT_TRUE(DelayElapsed(1000, 1011, 10));
  EXPECT_FALSE(DelayElapsed(1000, 1001, 1));
  EXPECT_TRUE(DelayElapsed(1000, 1002, 1));
  EXPECT_TRUE(DelayElapsed(1000, 1001, 0));
  EXPECT_TRUE(DelayElapsed(0, 65536, 65535));
}

TEST(Delay, IsTheSameAcrossAWrapOfTheClock) {
  const std::uint32_t start = 0xFFFFFFFBu;  // five ticks before the wrap
  EXPECT_FALSE(DelayElapsed(start, 0xFFFFFFFFu, 10));
  EXPECT_FALSE(DelayElapsed(start, 0u, 10));
  EXPECT_FALSE(DelayElapsed(start, 5u, 10));  // 10 ticks
  EXPECT_TRUE(DelayElapsed(start, 6u, 10));   // 11 ticks
  EXPECT_TRUE(DelayElapsed(start, 0x7FFFFFFFu, 10));
}

TEST(Delay, WaitsAtLeastTheArgumentPlusOneTick) {
  for (std::uint16_t ms : {0, 1, 10}) {
    const std::uint32_t before = platform::MilliClock();
    linepoke::DelayMs(ms);
    EXPECT_GE(platform::MilliClock() - before, std::uint32_t(ms) + 1u) << ms;
  }
}

class SettingsWord : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.file("comm.txt");

  std::string Read(const std::string& content) {
    WriteFile(path, content);
    char name[kNameBufferSize];
    std::memset(name, '#', sizeof name);
    EXPECT_EQ(ReadSettingsWord(path.c_str(), name, sizeof name), 0);
    EXPECT_NE(std::memchr(name, '\0', sizeof name), nullptr) << "not terminated";
    return name;
  }
};

TEST_F(SettingsWord, IsTheFirstWordAfterWhiteSpace) {
  EXPECT_EQ(Read("COM3"), "COM3");
  EXPECT_EQ(Read("COM12\n"), "COM12");
  EXPECT_EQ(Read(" \t\r\n\v\f COM3 rest\nCOM4"), "COM3");
  EXPECT_EQ(Read("CO"), "CO");
}

TEST_F(SettingsWord, NoWordGivesAnEmptyName) {
  EXPECT_EQ(Read(""), "");
  EXPECT_EQ(Read(" \n\n\t"), "");
}

TEST_F(SettingsWord, ALongWordIsCutToTheBuffer) {
  EXPECT_EQ(Read(std::string(19, 'a')), std::string(19, 'a'));
  EXPECT_EQ(Read(std::string(20, 'b') + " c"), std::string(19, 'b'));
  EXPECT_EQ(Read("COM7" + std::string(5000, 'x')), "COM7" + std::string(15, 'x'));

  // A small buffer is never overrun either.
  WriteFile(path, "COM1234");
  char small[3];
  EXPECT_EQ(ReadSettingsWord(path.c_str(), small, sizeof small), 0);
  EXPECT_STREQ(small, "CO");
}

TEST_F(SettingsWord, AMissingFileIsReported) {
  char name[kNameBufferSize] = "old";
  EXPECT_NE(ReadSettingsWord(dir.file("absent").c_str(), name, sizeof name), 0);
}

TEST(SettingsFile, FailuresToCreateAndToWriteAreToldApart) {
  TempDir dir;
  const std::string blocked = dir.file("comm.txt");
  ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
  bool created = true;
  EXPECT_NE(WriteSettingsFile(blocked.c_str(), "COM1", &created), 0);
  EXPECT_FALSE(created);

  // A device is not a settings file: refused at the open, never written.
  EXPECT_NE(WriteSettingsFile("/dev/full", "COM1", &created), 0);
  EXPECT_FALSE(created);

  // A write past the file-size limit fails after the file was created.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit none = saved;
  none.rlim_cur = 0;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
  created = false;
  const int status = WriteSettingsFile(dir.file("other.txt").c_str(), "COM1", &created);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, old_handler);
  EXPECT_NE(status, 0);
  EXPECT_TRUE(created);
}

}  // namespace
