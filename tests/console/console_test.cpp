// tonecast and linepoke at the edge of their console, against the simulated
// unit: closed standard descriptors, interrupts at every phase, outputs that
// break, a settings file that is not a file, and the progress line on a
// terminal. What counts is what the user and the unit see: console text and
// screen, exit status or signal, the bytes on the wire, the run log, and
// whether the port is free for the next program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/reliability/harness.h"
#include "tests/support/process.h"
#include "tests/support/pty.h"
#include "tests/support/screen.h"
#include "tests/support/terminal.h"
#include "tests/support/unitsim.h"
#include "tools/vpimage/vp_builder.h"

namespace {

using namespace testsupport;  // NOLINT: the helpers of every end-to-end test
using Clock = std::chrono::steady_clock;

const std::string kUpToImage =
    "\nFlash inithalizing...end. \nPrepare downloading...end. \n"
    "Changing baudrate (UP)...end. \n\nDownload file#0...";
const std::string kInterruptedEnd = "\nError : Interrupted.\nClose COM port.\n" + kNg;
const std::string kError10 = "\nERROR 10: Can't open serialport \n";

// Runs a shell command line; "$T" and "$L" name tonecast and linepoke.
ProcessOptions ShellOptions(const std::string& dir, const UnitSim& unit, int com = 3) {
  ProcessOptions o;
  o.cwd = dir;
  o.env = {unit.Env(com), "T=" + BinPath("tonecast"), "L=" + BinPath("linepoke"), "TERM=xterm"};
  o.timeout_ms = 120000;
  return o;
}
std::vector<std::string> Shell(const std::string& line) { return {"/bin/bash", "-c", line}; }

class Console : public ::testing::Test {
 protected:
  std::string Image() {
    image_ = BuildVpImage(8, 7);
    testsupport::WriteFile(dir_->file("voice.vp"), image_);
    return "voice.vp";
  }
  bool StoredWhole() {
    return ReadFile(dir_->file("stored.vp")) == std::string(image_.begin(), image_.end());
  }
  // "" when the log holds one whole run, closed, with one Error record: text.
  // The port was opened and closed again, unless `port_may_be_unopened`: a
  // run interrupted before its port opened logs start, the error and end.
  std::string CheckLog(const std::string& text, bool port_may_be_unopened = false) {
    std::vector<reliability::LogRecord> records;
    const std::string wrong = reliability::CheckLog(dir_->path(), 1, &records);
    if (!wrong.empty()) return wrong;
    const int connects = reliability::CountKind(records, "connect");
    if (connects != (port_may_be_unopened ? connects : 1)) return "no connect record";
    if (reliability::CountKind(records, "disconnect") != connects)
      return "connect and disconnect records do not pair";
    const bool found = ReadFile(dir_->file("tonecast.log")).find(": " + text + "\n\n") !=
                       std::string::npos;
    return reliability::CountKind(records, "Error") == 1 && found ? "" : "not one Error: " + text;
  }

  std::unique_ptr<TempDir> dir_ = std::make_unique<TempDir>();
  std::vector<std::uint8_t> image_;
};

// ---- Closed standard descriptors ------------------------------------------

TEST_F(Console, ClosedStandardDescriptorsNeverBecomeThePort) {
  const std::string name = Image();
  UnitSim unit({"--store", dir_->file("stored.vp")}, dir_->path());
  // With the log a directory too, the port was the first free descriptor.
  ASSERT_EQ(mkdir(dir_->file("tonecast.log").c_str(), 0755), 0);
  ProcessResult r = testsupport::RunProcess(
      Shell("\"$T\" -P 3 " + name + " <&- >&- 2>&-"), ShellOptions(dir_->path(), unit));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(StoredWhole());

  // linepoke: its output closed (the answer was echoed to the unit), then
  // its input closed (the port was read as the user's input).
  testsupport::WriteFile(dir_->file("comm.txt"), "COM3");
  ProcessOptions waiting = ShellOptions(dir_->path(), unit);
  waiting.stdin_open = true;  // only the unit's EOT ends this run
  r = testsupport::RunProcess(Shell("exec \"$L\" VER >&-"), waiting);
  EXPECT_EQ(r.exit_code, 0);
  r = testsupport::RunProcess(Shell("exec \"$L\" VER <&-"), ShellOptions(dir_->path(), unit));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(r.out.empty() || std::string("OK VER\r\nREADY\r\n").rfind(r.out, 0) == 0) << r.out;

  // The unit saw exactly the dialogue and two commands, nothing else.
  const std::string summary = unit.Stop();
  EXPECT_NE(summary.find("commands 5, terminal 2, garbled 0, images ok 1"), std::string::npos)
      << summary;
  EXPECT_NE(summary.find("bytes in " + std::to_string(4 + 15 + 270600 + 4 + 4 + 4)),
            std::string::npos)
      << summary;
}

// ---- Interrupts ------------------------------------------------------------

// SIGINT mid-image on a paced line, shown on a terminal (both streams on one
// pseudo-terminal: the progress line is drawn, then erased for the error),
// and SIGTERM while waiting for the reply to "VPL", with plain pipes.
TEST_F(Console, InterruptEndsTheRunCleanlyAndBySignal) {
  struct Case {
    int sig;
    std::vector<std::string> unit_flags;
    std::string wait_for;
    bool on_terminal;
  };
  for (const Case& c : {Case{SIGINT, {"--pace"}, "Download file#0...", true},
                        Case{SIGTERM, {"--silent", "VPL"}, "Flash inithalizing...", false}}) {
    SCOPED_TRACE(strsignal(c.sig));
    dir_ = std::make_unique<TempDir>();
    const std::string name = Image();
    std::vector<std::string> flags = {"--store", dir_->file("stored.vp")};
    flags.insert(flags.end(), c.unit_flags.begin(), c.unit_flags.end());
    UnitSim unit(flags, dir_->path());
    testsupport::PtyPair screen;
    ProcessOptions o = ShellOptions(dir_->path(), unit);
    const std::string redirect = c.on_terminal ? " >" + screen.slave_path() + " 2>&1" : "";
    Process p(Shell("exec \"$T\" -P 3 " + name + redirect), o);
    std::string shown;
    if (c.on_terminal) {
      shown = screen.ReceiveUntil(c.wait_for, 20000);
      shown += screen.Receive(1 << 20, 4000);  // four seconds of the image
    } else {
      ASSERT_TRUE(p.WaitForOutput(c.wait_for, 20000));
    }
    const auto sent = Clock::now();
    p.Signal(c.sig);
    const ProcessResult r = p.Wait(20000);
    const double took = std::chrono::duration<double>(Clock::now() - sent).count();
    EXPECT_LT(took, 5.0);  // generous: it takes milliseconds
    EXPECT_EQ(r.signal, c.sig);
    EXPECT_EQ(PortIsFree(unit.path()), "");
    EXPECT_EQ(CheckLog("Interrupted."), "");
    EXPECT_EQ(r.err, "");
    const std::string summary = unit.Stop();
    EXPECT_NE(summary.find("images ok 0"), std::string::npos) << summary;
    // No further dialogue: the unit heard nothing after the interrupted step.
    EXPECT_EQ(unit.Transcript().find("VPE"), std::string::npos);
    if (!c.on_terminal) {
      EXPECT_EQ(r.out, kBanner + FileStatus(name, 270600) + "\nFlash inithalizing..." +
                           kInterruptedEnd);
      continue;
    }
    shown += screen.Receive(1 << 20, 200);
    const std::string expected =
        kBanner + FileStatus(name, 270600) + kUpToImage + kInterruptedEnd;
    EXPECT_EQ(ScreenRows(shown), ScreenRows(expected));
    // Progress: redrawn at most 10 times a second, its percent rising.
    std::regex draw("\r\x1b\\[18C +([0-9]+)% ([0-9]+)/270600 bytes");
    std::vector<long> taken;
    for (auto it = std::sregex_iterator(shown.begin(), shown.end(), draw);
         it != std::sregex_iterator(); ++it)
      taken.push_back(std::stol((*it)[2]));
    // A pseudo-terminal takes the bytes in chunks of kilobytes: a count or
    // two a second at the line rate.
    EXPECT_GE(taken.size(), 3u);
    EXPECT_LE(taken.size(), 10 * 4 + 10u);  // about four seconds were shown
    for (std::size_t i = 1; i < taken.size(); ++i) EXPECT_LE(taken[i - 1], taken[i]);
    if (!taken.empty()) {
      EXPECT_GT(taken.back(), taken.front());
      // What the paced line took, not what was handed to it.
      EXPECT_LT(taken.back(), 270600 / 2);
    }
  }
}

// A console whose output is suspended (Ctrl+S, or a click in a Windows
// console window with QuickEdit) never holds up the run's end after an
// interrupt: the erase is given up; console text, log and port end as always.
TEST_F(Console, InterruptEndsTheRunWhileTheConsoleHoldsTheProgressLine) {
  const std::string name = Image();
  UnitSim unit({"--pace", "--store", dir_->file("stored.vp")}, dir_->path());
  testsupport::PtyPair screen;
  Process p(Shell("exec \"$T\" -P 3 " + name + " >out.txt 2>" + screen.slave_path()),
            ShellOptions(dir_->path(), unit));
  ASSERT_NE(screen.ReceiveUntil("/270600 bytes", 20000).find("/270600 bytes"), std::string::npos);
  ASSERT_EQ(tcflow(screen.slave(), TCOOFF), 0);
  usleep(500000);  // the next drawing, due within 0.1 s, is held
  p.Signal(SIGINT);
  const ProcessResult r = p.Wait(20000);
  tcflow(screen.slave(), TCOON);
  EXPECT_FALSE(r.timed_out) << "the run's end waited for the console";
  EXPECT_EQ(r.signal, SIGINT);
  EXPECT_EQ(ReadFile(dir_->file("out.txt")),
            kBanner + FileStatus(name, 270600) + kUpToImage + kInterruptedEnd);
  EXPECT_EQ(CheckLog("Interrupted."), "");
  EXPECT_EQ(PortIsFree(unit.path()), "");
}

TEST_F(Console, LinepokeInterruptedWhileWaitingForTheAnswer) {
  UnitSim unit({"--no-eot"}, dir_->path());
  testsupport::WriteFile(dir_->file("comm.txt"), "COM3");
  ProcessOptions o = ShellOptions(dir_->path(), unit);
  o.stdin_open = true;
  Process p({BinPath("linepoke"), "STATUS"}, o);
  ASSERT_TRUE(p.WaitForOutput("READY\r\n", 20000));
  p.Signal(SIGINT);
  const ProcessResult r = p.Wait(20000);
  EXPECT_EQ(r.signal, SIGINT);
  EXPECT_EQ(r.out, "OK STATUS\r\nREADY\r\n");
  EXPECT_EQ(PortIsFree(unit.path()), "");
}

// ---- Broken outputs ---------------------------------------------------------

TEST_F(Console, BrokenOutputsDoNotStopTheTransfer) {
  const std::string name = Image();
  // A closed pipe on standard output, then a log past the file-size limit.
  for (const std::string& line :
       {"\"$T\" -P 3 " + name + " | head -c 20 >/dev/null; exit ${PIPESTATUS[0]}",
        "ulimit -f 1; exec \"$T\" -P 3 " + name}) {
    SCOPED_TRACE(line);
    std::remove(dir_->file("tonecast.log").c_str());
    std::remove(dir_->file("stored.vp").c_str());
    UnitSim unit({"--store", dir_->file("stored.vp")}, dir_->path());
    const ProcessResult r = testsupport::RunProcess(Shell(line), ShellOptions(dir_->path(), unit));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(StoredWhole());
    EXPECT_EQ(PortIsFree(unit.path()), "");
  }
  UnitSim unit({}, dir_->path());
  testsupport::WriteFile(dir_->file("comm.txt"), "COM3");
  ProcessOptions waiting = ShellOptions(dir_->path(), unit);
  waiting.stdin_open = true;  // only the unit's EOT ends this run
  const ProcessResult r = testsupport::RunProcess(
      Shell("\"$L\" VER | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}"), waiting);
  EXPECT_EQ(r.exit_code, 0);
}

// ---- The progress line never holds up the wire, and fits its screen ------

// The terminal stopped (Ctrl+S) a second into an image that the unit reads
// at the line rate: the image goes on to its end meanwhile, and once the
// terminal runs again (Ctrl+Q) the run ends complete, the screen as without
// the progress line.
TEST_F(Console, StoppedTerminalNeverPausesTheImage) {
  if (!HaveTmux()) GTEST_SKIP() << "needs tmux (apt-get install tmux)";
  const std::string name = Image();
  UnitSim unit({"--pace", "--store", dir_->file("stored.vp")}, dir_->path());
  Terminal terminal(dir_->path(), ShellOptions(dir_->path(), unit), 100,
                    "\"$T\" -P 3 " + name);
  ASSERT_TRUE(unit.WaitForTranscript("image first byte", 20000));
  usleep(1000000);
  terminal.Keys("C-s");
  // The whole image takes 23.5 s at the line rate; stopped for good, it
  // would never end.
  ASSERT_TRUE(unit.WaitForTranscript("image end", 40000)) << "the image waited for the console";
  const std::string transcript = unit.Transcript();
  const auto at = [&](const std::string& text) {
    const std::size_t p = transcript.find(text);
    return std::stoll(transcript.substr(transcript.rfind('\n', p) + 1));
  };
  std::printf("[ figure ] image with the console stopped: %.2f s (23.49 s at the line rate)\n",
              double(at("image end") - at("image first byte")) / 1e6);
  terminal.Keys("C-q");
  EXPECT_EQ(terminal.WaitForEnd(20000), 1);
  EXPECT_TRUE(StoredWhole());
  EXPECT_EQ(terminal.Screen(),
            Terminal::Lines(kBanner + FileStatus(name, 270600) + kGoodDialogue + kComplete));
}

// Where the progress line stands: after "Download file#0..." only when
// standard output shares the terminal; cut to a terminal that narrows
// mid-image; not at all on a terminal without redraw sequences.
TEST_F(Console, ProgressLineFitsTheScreenItIsOn) {
  if (!HaveTmux()) GTEST_SKIP() << "needs tmux (apt-get install tmux)";
  const std::string name = Image();
  const std::string text = kBanner + FileStatus(name, 270600) + kGoodDialogue + kComplete;
  struct Case {
    std::string what, redirect;
    bool paced_and_narrowed;
    std::string screen;
  };
  for (const Case& c : {Case{"output to a file", " >out.txt; printf X", false, "X"},
                        Case{"narrowed to 40 columns", "", true, Terminal::Lines(text)}}) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> flags = {"--store", dir_->file("stored.vp")};
    if (c.paced_and_narrowed) flags.push_back("--pace");
    UnitSim unit(flags, dir_->path());
    Terminal terminal(dir_->path(), ShellOptions(dir_->path(), unit), 80,
                      "\"$T\" -P 3 " + name + c.redirect);
    if (c.paced_and_narrowed) {
      ASSERT_TRUE(unit.WaitForTranscript("image first byte", 20000));
      usleep(2000000);
      terminal.Resize(40);
    }
    EXPECT_EQ(terminal.WaitForEnd(60000), c.redirect.empty() ? 1 : 0);
    EXPECT_EQ(terminal.Screen(), c.screen);
    std::remove(dir_->file("status").c_str());
  }
  // TERM=dumb: not a byte on standard error.
  UnitSim unit({}, dir_->path());
  testsupport::PtyPair screen;
  ProcessOptions o = ShellOptions(dir_->path(), unit);
  o.env.push_back("TERM=dumb");
  const ProcessResult r =
      testsupport::RunProcess(Shell("exec \"$T\" -P 3 " + name + " 2>" + screen.slave_path()), o);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(screen.Receive(1 << 20, 200), "");
}

// ---- Signal edges ------------------------------------------------------------

// An interrupt in the first milliseconds (every run has its verdict and a
// whole log, or ended before the log existed), SIGQUIT mid-image (ends at
// once, the port free), and SIGINT while the speed comes back down (the
// error is shown before the port is closed, as in every other phase).
TEST_F(Console, SignalsAtTheEdges) {
  const std::string name = Image();
  // Each run gets a unit of its own: an interrupt that lands just after the
  // unit acknowledged VPD leaves it waiting for an image, as a real unit
  // would, and it would take the next run's commands as image bytes.
  for (int i = 0; i < 40; ++i) {
    std::remove(dir_->file("tonecast.log").c_str());
    UnitSim unit({"--pace"}, dir_->path());
    Process p(Shell("exec \"$T\" -P 3 " + name), ShellOptions(dir_->path(), unit));
    usleep(useconds_t(500 + (i * 137) % 6000));
    p.Signal(SIGINT);
    const ProcessResult r = p.Wait(20000);
    SCOPED_TRACE("run " + std::to_string(i) + ": " + r.out);
    EXPECT_EQ(r.signal, SIGINT);
    if (!testsupport::FileExists(dir_->file("tonecast.log"))) continue;
    EXPECT_NE(r.out.find("\nError : Interrupted.\n"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - kNg.size()), kNg);
    EXPECT_EQ(CheckLog("Interrupted.", true), "");
    EXPECT_EQ(PortIsFree(unit.path()), "");
  }

  UnitSim unit({"--pace"}, dir_->path());
  Process quit(Shell("ulimit -c 0; exec \"$T\" -P 3 " + name), ShellOptions(dir_->path(), unit));
  ASSERT_TRUE(quit.WaitForOutput("Download file#0...", 20000));
  usleep(300000);
  quit.Signal(SIGQUIT);
  EXPECT_EQ(quit.Wait(20000).signal, SIGQUIT);
  EXPECT_EQ(PortIsFree(unit.path()), "");

  UnitSim quick({}, dir_->path());
  ProcessOptions q = ShellOptions(dir_->path(), quick);
  Process down(Shell("exec \"$T\" -P 3 " + name), q);
  ASSERT_TRUE(down.WaitForOutput("Changing baudrate (DOWN)...", 20000));
  down.Signal(SIGINT);
  const ProcessResult r = down.Wait(20000);
  EXPECT_EQ(r.signal, SIGINT);
  EXPECT_EQ(r.out.substr(r.out.size() - kInterruptedEnd.size()), kInterruptedEnd) << r.out;
}

// ---- Settings file that is not a file ----------------------------------

TEST_F(Console, SettingsFileThatIsNotARegularFileIsLeftAlone) {
  UnitSim unit({}, dir_->path());
  for (const bool fifo : {true, false}) {
    const std::string path = dir_->file("comm.txt");
    ASSERT_EQ(fifo ? mkfifo(path.c_str(), 0644) : mkdir(path.c_str(), 0755), 0);
    ProcessOptions o = ShellOptions(dir_->path(), unit);
    o.timeout_ms = 10000;
    const ProcessResult r = testsupport::RunProcess({BinPath("linepoke"), "VER"}, o);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, "\n Can't open comm.txt \n" + kError10);
    EXPECT_EQ(r.exit_code, 10);
    EXPECT_EQ(testsupport::RunProcess({BinPath("linepoke"), "/3"}, o).exit_code, 10);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(fifo ? S_ISFIFO(st.st_mode) : S_ISDIR(st.st_mode), true);
    fifo ? unlink(path.c_str()) : rmdir(path.c_str());
  }
  EXPECT_NE(unit.Stop().find("bytes in 0"), std::string::npos);
}

}  // namespace
