// linepoke run as a user runs it: the test holds a pseudo-terminal, plays
// the unit on its master side and maps COM<n> to the slave through the
// environment. Every run has its own working directory for "comm.txt".
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/pty.h"
#include "tests/support/unitsim.h"

namespace {

using testsupport::BinPath;
using testsupport::FileExists;
using testsupport::Process;
using testsupport::ProcessOptions;
using testsupport::ProcessResult;
using testsupport::PtyPair;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

using Clock = std::chrono::steady_clock;

const std::string kError10 = "\nERROR 10: Can't open serialport \n";
const std::string kCreateFileError = "\n CreateFile error \n";
const std::string kUsage =
    " format : \n"
    " linepoke [COMMAND] [PARAMETER] or linepoke [Option] \n"
    "     Options : \n"
    "     /1    : Use serial port COM1 \n"
    "     /2    : Use serial port COM2 \n"
    "     /3    : Use serial port COM3 \n"
    "     /4    : Use serial port COM4 \n"
    "     /5    : Use serial port COM5 \n"
    "     /6    : Use serial port COM6 \n"
    "     /7    : Use serial port COM7 \n"
    "     /8    : Use serial port COM8 \n"
    "     /9    : Use serial port COM9 \n";

// Generous bounds that only catch a hang.
constexpr int kRunTimeoutMs = 20000;
constexpr int kReceiveTimeoutMs = 10000;

std::vector<std::string> Argv(const std::vector<std::string>& words) {
  std::vector<std::string> argv{BinPath("linepoke")};
  argv.insert(argv.end(), words.begin(), words.end());
  return argv;
}

// True once the process has ended, without reaping it (Process::Wait still
// collects the status). Used where the end must come while standard input
// is still open.
bool EndsWithin(pid_t pid, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < deadline) {
    siginfo_t info{};
    if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// A working directory with "comm.txt" naming COM1, which the environment
// maps to the test's pseudo-terminal.
class Linepoke : public ::testing::Test {
 protected:
  TempDir dir;
  PtyPair unit;

  void SetUp() override { WriteFile(dir.file("comm.txt"), "COM1"); }

  ProcessOptions Options(const std::string& stdin_data = "") const {
    ProcessOptions o;
    o.cwd = dir.path();
    o.env = {"COM1=" + unit.slave_path()};
    o.stdin_data = stdin_data;
    o.timeout_ms = kRunTimeoutMs;
    return o;
  }
  ProcessOptions OpenStdin() const {
    ProcessOptions o = Options();
    o.stdin_open = true;
    return o;
  }
  // Runs with standard input at its end: the command goes out and the run
  // ends at the first quiet poll.
  ProcessResult Run(const std::vector<std::string>& words) {
    return testsupport::RunProcess(Argv(words), Options());
  }
  std::string Wire(std::size_t count) { return unit.Receive(count, kReceiveTimeoutMs); }
};

// ---- Usage and options: nothing touches a port --------------------------

TEST_F(Linepoke, NoWordsPrintsUsageOnly) {
  TempDir empty;
  ProcessOptions o = Options();
  o.cwd = empty.path();
  const ProcessResult r = testsupport::RunProcess(Argv({}), o);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, kUsage);
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(FileExists(empty.file("comm.txt")));
  EXPECT_EQ(unit.Receive(1, 50), "");
}

// --version and --help alone (their text is checked with the other
// programs'): nothing is sent and comm.txt is not touched; beside other words
// they are command text like any word.
TEST_F(Linepoke, VersionAndHelpAloneSendNothing) {
  for (const std::string option : {"--version", "--help"}) {
    SCOPED_TRACE(option);
    EXPECT_EQ(Run({option}).exit_code, 0);
    EXPECT_EQ(unit.Receive(1, 50), "");
    EXPECT_EQ(ReadFile(dir.file("comm.txt")), "COM1");
  }
  const ProcessResult r = Run({"--version", "1"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(Wire(12), "--version 1\r");
}

TEST_F(Linepoke, DigitOptionsStoreThePortAndSendNothing) {
  struct Case {
    std::vector<std::string> words;
    std::string stored;
  };
  const Case cases[] = {{{"/5"}, "COM5"},
                        {{"/57"}, "COM5"},
                        {{"/5abc", "VPL", "x"}, "COM5"},
                        {{"/1"}, "COM1"},
                        {{"/9"}, "COM9"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words[0]);
    WriteFile(dir.file("comm.txt"), "COM3 and a longer old content\n");
    const ProcessResult r = Run(c.words);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFile(dir.file("comm.txt")), c.stored);  // exactly four bytes
  }
  EXPECT_EQ(unit.Receive(1, 50), "");
}

TEST_F(Linepoke, OtherOptionsFailAndLeaveTheSettingsAlone) {
  for (const std::string option : {"/0", "/x", "/", "/:", "/\xb5"}) {
    SCOPED_TRACE(option);
    const ProcessResult r = Run({option, "VPL"});
    EXPECT_EQ(r.exit_code, 10);
    EXPECT_EQ(r.out, kError10);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFile(dir.file("comm.txt")), "COM1");
  }
  TempDir empty;
  ProcessOptions o = Options();
  o.cwd = empty.path();
  EXPECT_EQ(testsupport::RunProcess(Argv({"/0"}), o).exit_code, 10);
  EXPECT_FALSE(FileExists(empty.file("comm.txt")));
  EXPECT_EQ(unit.Receive(1, 50), "");
}

TEST_F(Linepoke, OptionFailsWhenTheSettingsCannotBeWritten) {
  // A directory in the way: the file cannot even be created.
  TempDir blocked;
  ASSERT_EQ(mkdir(blocked.file("comm.txt").c_str(), 0755), 0);
  ProcessOptions o = Options();
  o.cwd = blocked.path();
  ProcessResult r = testsupport::RunProcess(Argv({"/5"}), o);
  EXPECT_EQ(r.exit_code, 10);
  EXPECT_EQ(r.out, kError10);

  // A full device: the file opens but the name never reaches it.
  TempDir full;
  ASSERT_EQ(symlink("/dev/full", full.file("comm.txt").c_str()), 0);
  o.cwd = full.path();
  r = testsupport::RunProcess(Argv({"/5"}), o);
  EXPECT_EQ(r.exit_code, 10);
  EXPECT_EQ(r.out, kError10);
}

// ---- The command on the wire --------------------------------------------

TEST_F(Linepoke, WordsGoOutJoinedByBlanksAndEndedByCr) {
  struct Case {
    std::vector<std::string> words;
    std::string wire;
  };
  const Case cases[] = {
      {{"AB", "7"}, "AB 7\r"},
      {{"", "X"}, " X\r"},                 // an empty word still has its separator
      {{"VPD", "a b", "c"}, "VPD a b c\r"},  // a quoted blank is part of its word
      {{"A", "/5"}, "A /5\r"},             // a later slash word is command text
      {{"\x01\x7f\xff"}, "\x01\x7f\xff\r"},  // bytes as given, untranslated
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wire);
    const ProcessResult r = Run(c.words);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    // Nothing after the CR: no line feed, no echo.
    EXPECT_EQ(unit.Receive(c.wire.size() + 1, 200), c.wire);
  }
  EXPECT_EQ(ReadFile(dir.file("comm.txt")), "COM1");
}

// Arrival times of the bytes on the master side.
struct Arrivals {
  std::string bytes;
  std::vector<Clock::time_point> times;
};

Arrivals Record(int fd, std::size_t count) {
  Arrivals a;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kReceiveTimeoutMs);
  while (a.bytes.size() < count && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0 || !(p.revents & POLLIN)) continue;
    char buf[64];
    const ssize_t n = read(fd, buf, sizeof buf);
    const auto now = Clock::now();
    for (ssize_t i = 0; i < n; ++i) {
      a.bytes.push_back(buf[i]);
      a.times.push_back(now);
    }
  }
  return a;
}

// The first pair of bytes that left closer together than the pacing
// allows, or "" when there is none. A pseudo-terminal hands each byte to
// the reading side through deferred kernel work, which has to wait for the
// writer's core while the writer busy-waits, often until the next scheduler
// tick or two; one arrival can thus lag its write by several milliseconds and
// the gap after it looks short by as much. Any window of k gaps is held to
// 10 * k ms less that lag: a missing or shortened pause fails over a long
// enough window.
std::string PacingFault(const Arrivals& a) {
  constexpr std::int64_t kDeliveryLagUs = 12000;
  for (std::size_t i = 0; i < a.times.size(); ++i) {
    for (std::size_t j = i + 1; j < a.times.size(); ++j) {
      const std::int64_t us =
          std::chrono::duration_cast<std::chrono::microseconds>(a.times[j] - a.times[i]).count();
      const std::int64_t least = 10000 * std::int64_t(j - i) - kDeliveryLagUs;
      if (us < least) {
        std::string gaps;
        for (std::size_t k = 1; k < a.times.size(); ++k)
          gaps += " " + std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(
                                           a.times[k] - a.times[k - 1])
                                           .count());
        return "bytes " + std::to_string(i) + ".." + std::to_string(j) + " arrived " +
               std::to_string(us) + " us apart, less than " + std::to_string(least) +
               "; gaps (us):" + gaps;
      }
    }
  }
  return "";
}

TEST_F(Linepoke, BytesArePacedMoreThanTenMillisecondsApart) {
  const std::vector<std::string> words = {"VPD", "0123456789", "abcdefghij"};
  const std::string wire = "VPD 0123456789 abcdefghij\r";
  // A loaded machine can delay the delivery more than the allowance once
  // in a while; a program that does not pace fails every attempt.
  std::string fault;
  for (int attempt = 0; attempt < 3; ++attempt) {
    Process p(Argv(words), Options());
    const Arrivals a = Record(unit.master(), wire.size());
    ASSERT_EQ(p.Wait(kRunTimeoutMs).exit_code, 0);
    ASSERT_EQ(a.bytes, wire);
    fault = PacingFault(a);
    if (fault.empty()) break;
  }
  EXPECT_EQ(fault, "");
}

// ---- The answer ---------------------------------------------------------

TEST_F(Linepoke, ShowsTheAnswerUpToEotAndNothingAfter) {
  Process p(Argv({"VER"}), OpenStdin());
  ASSERT_EQ(Wire(4), "VER\r");
  unit.Send(std::string("OK\r\n\x04Z", 6));
  ASSERT_TRUE(EndsWithin(p.pid(), kRunTimeoutMs));  // EOT ends it, not the console
  const ProcessResult r = p.Wait();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "OK\r\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(Linepoke, ControlBytesAndNulPassThroughUnchanged) {
  Process p(Argv({"DUMP"}), OpenStdin());
  ASSERT_EQ(Wire(5), "DUMP\r");
  const std::string answer("A\0B\x1b[\xff\n", 7);
  unit.Send(answer + "\x04");
  ASSERT_TRUE(EndsWithin(p.pid(), kRunTimeoutMs));
  const ProcessResult r = p.Wait();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, answer);
}

TEST_F(Linepoke, EachByteShowsAsItArrives) {
  Process p(Argv({"X"}), OpenStdin());
  ASSERT_EQ(Wire(2), "X\r");
  unit.Send("partial");  // no line end: must still show
  EXPECT_TRUE(p.WaitForOutput("partial", kReceiveTimeoutMs));
  unit.Send("\x04");
  EXPECT_EQ(p.Wait().exit_code, 0);
}

TEST_F(Linepoke, EnterOnAQuietLineEndsTheRun) {
  Process p(Argv({"WAIT"}), OpenStdin());
  ASSERT_EQ(Wire(5), "WAIT\r");
  EXPECT_FALSE(EndsWithin(p.pid(), 100));  // waits for the unit meanwhile
  p.WriteStdin("\n");
  ASSERT_TRUE(EndsWithin(p.pid(), kRunTimeoutMs));  // stdin still open
  const ProcessResult r = p.Wait();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST_F(Linepoke, InputAtItsEndOrTypedAheadEndsTheRunWithoutEot) {
  for (const std::string input : {"", "typed ahead\n"}) {
    SCOPED_TRACE(input);
    const ProcessResult r = testsupport::RunProcess(Argv({"A"}), Options(input));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    // The command still went out whole; typed text is not sent.
    EXPECT_EQ(unit.Receive(3, 200), "A\r");
  }
}

TEST_F(Linepoke, AHungUpPortEndsTheRunAsAFailure) {
  Process p(Argv({"X"}), OpenStdin());
  ASSERT_EQ(Wire(2), "X\r");
  unit.Send("half");
  ASSERT_TRUE(p.WaitForOutput("half", kReceiveTimeoutMs));
  unit.HangUp();  // the unit's side is gone
  ASSERT_TRUE(EndsWithin(p.pid(), kRunTimeoutMs)) << "still polling a dead port";
  const ProcessResult r = p.Wait();
  EXPECT_EQ(r.exit_code, 10);
  EXPECT_EQ(r.out, "half" + kError10);
  EXPECT_EQ(r.err, "");
}

// ---- The port -----------------------------------------------------------

TEST_F(Linepoke, MissingSettingsFileIsCreatedWithCom1) {
  ASSERT_EQ(unlink(dir.file("comm.txt").c_str()), 0);
  const ProcessResult r = Run({"HI"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(Wire(3), "HI\r");
  EXPECT_EQ(ReadFile(dir.file("comm.txt")), "COM1");
}

TEST_F(Linepoke, SettingsFileThatCannotBeCreatedStopsTheRun) {
  // A dangling link into a missing directory: neither readable nor creatable.
  ASSERT_EQ(unlink(dir.file("comm.txt").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("gone/comm.txt").c_str(), dir.file("comm.txt").c_str()), 0);
  const ProcessResult r = Run({"HI"});
  EXPECT_EQ(r.exit_code, 10);
  EXPECT_EQ(r.out, "\n Can't open comm.txt \n" + kError10);
  EXPECT_EQ(r.err,
            "linepoke: comm.txt: cannot be created in the working directory (code:2); run "
            "linepoke where it may write\n");
  EXPECT_EQ(unit.Receive(1, 50), "");
}

TEST_F(Linepoke, PortIsTheFirstFourCharactersOfTheFirstWord) {
  PtyPair other;
  struct Case {
    std::string settings;
    std::string env_name;  // mapped to the test's unit
  };
  const Case cases[] = {
      {"COM12", "COM1"},
      {"  \t\n COM3 more words\nCOM4\n", "COM3"},
      {"COM2" + std::string(200, 'x'), "COM2"},  // far beyond the name buffer
      {"COM6\n", "COM6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    WriteFile(dir.file("comm.txt"), c.settings);
    ProcessOptions o = Options();
    // Every other name the file could select leads to the other pty.
    o.env = {c.env_name + "=" + unit.slave_path()};
    for (const char* n : {"COM1", "COM12", "COM2", "COM3", "COM4", "COM6"})
      if (n != c.env_name) o.env.push_back(std::string(n) + "=" + other.slave_path());
    const ProcessResult r = testsupport::RunProcess(Argv({"Q"}), o);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Wire(2), "Q\r");
    EXPECT_EQ(ReadFile(dir.file("comm.txt")), c.settings);  // read, never rewritten
  }
  EXPECT_EQ(other.Receive(1, 50), "");
}

TEST_F(Linepoke, UnusablePortNamesFailWithCreateFileError) {
  TempDir missing_dir;
  const std::string no_port =
      "linepoke: comm.txt: names no port; linepoke /n stores COMn (n from 1 to 9)\n";
  const std::pair<std::string, std::string> settings[] = {
      {"", no_port},
      {"  \n\t ", no_port},
      {"COM7", "linepoke: COM7 is " + missing_dir.file("no-such-port") +
                   ": no such device; tonecast-station --list shows the serial ports of this "
                   "machine\n"}};
  for (const auto& [s, advice] : settings) {
    SCOPED_TRACE("settings: [" + s + "]");
    WriteFile(dir.file("comm.txt"), s);
    ProcessOptions o = Options();
    o.env.push_back("COM7=" + missing_dir.file("no-such-port"));
    const ProcessResult r = testsupport::RunProcess(Argv({"VPL"}), o);
    EXPECT_EQ(r.exit_code, 10);
    EXPECT_EQ(r.out, kCreateFileError + kError10);
    EXPECT_EQ(r.err, advice);
    EXPECT_EQ(ReadFile(dir.file("comm.txt")), s);
  }
  EXPECT_EQ(unit.Receive(1, 50), "");
}

TEST_F(Linepoke, APortHeldByAnotherRunCannotBeOpened) {
  Process holder(Argv({"FIRST"}), OpenStdin());
  ASSERT_EQ(Wire(6), "FIRST\r");

  const ProcessResult r = Run({"SECOND"});
  EXPECT_EQ(r.exit_code, 10);
  EXPECT_EQ(r.out, kCreateFileError + kError10);
  EXPECT_EQ(unit.Receive(1, 100), "");

  holder.WriteStdin("\n");
  EXPECT_EQ(holder.Wait().exit_code, 0);
  // Released on the way out: the port can be opened again.
  EXPECT_EQ(Run({"THIRD"}).exit_code, 0);
  EXPECT_EQ(Wire(6), "THIRD\r");
}

TEST_F(Linepoke, LineIsSetTo19200EightBitsWithoutFlowControl) {
  // Start from settings a previous user might have left behind.
  termios t{};
  ASSERT_EQ(tcgetattr(unit.slave(), &t), 0);
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  t.c_cflag |= CRTSCTS | CSTOPB;
  t.c_iflag |= IXON | IXOFF | IXANY | ICRNL;
  t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  t.c_cc[VMIN] = 1;
  ASSERT_EQ(tcsetattr(unit.slave(), TCSANOW, &t), 0);
  ASSERT_EQ(unit.SlaveBaud(), 9600u);

  Process p(Argv({"S"}), OpenStdin());
  ASSERT_EQ(Wire(2), "S\r");
  ASSERT_EQ(tcgetattr(unit.slave(), &t), 0);
  EXPECT_EQ(unit.SlaveBaud(), 19200u);
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
  EXPECT_EQ(t.c_cflag & (CRTSCTS | CSTOPB | PARENB), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  // Raw: an echo would send the unit's answer back to it.
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  p.WriteStdin("\n");
  EXPECT_EQ(p.Wait().exit_code, 0);
}

}  // namespace

// ---- Against the simulated unit -----------------------------------------

namespace {

class LinepokeWithUnit : public ::testing::Test {
 protected:
  TempDir dir;

  ProcessOptions Options(const testsupport::UnitSim& unit) const {
    ProcessOptions o;
    o.cwd = dir.path();
    o.env = {unit.Env(3)};
    o.timeout_ms = kRunTimeoutMs;
    return o;
  }
};

TEST_F(LinepokeWithUnit, SelectedPortCarriesTheCommandAndTheAnswer) {
  testsupport::UnitSim unit({}, dir.path());
  ASSERT_EQ(testsupport::RunProcess(Argv({"/3"}), Options(unit)).exit_code, 0);
  ProcessOptions o = Options(unit);
  o.stdin_open = true;  // only the unit's EOT may end this run
  Process p(Argv({"VER", "1"}), o);
  ASSERT_TRUE(EndsWithin(p.pid(), kRunTimeoutMs));
  const ProcessResult r = p.Wait();
  EXPECT_EQ(r.exit_code, 0);
  // The unit takes commands only at 19200 baud.
  EXPECT_EQ(r.out, "OK VER 1\r\nREADY\r\n");
  EXPECT_EQ(r.err, "");
  unit.Stop();
  EXPECT_EQ(unit.error_output(), "");
}

TEST_F(LinepokeWithUnit, AnswerWithoutEotEndsOnEnter) {
  testsupport::UnitSim unit({"--no-eot"}, dir.path());
  WriteFile(dir.file("comm.txt"), "COM3");
  ProcessOptions o = Options(unit);
  o.stdin_open = true;
  Process p(Argv({"STATUS"}), o);
  ASSERT_TRUE(p.WaitForOutput("READY\r\n", kReceiveTimeoutMs));
  EXPECT_FALSE(EndsWithin(p.pid(), 100));
  p.WriteStdin("\n");
  ASSERT_TRUE(EndsWithin(p.pid(), kRunTimeoutMs));
  const ProcessResult r = p.Wait();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "OK STATUS\r\nREADY\r\n");
}

}  // namespace
