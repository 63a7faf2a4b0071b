// The programs as a technician meets them around a run: which version they
// are, what they say after an error and what to do about it, and device
// paths for tonecast's -P. Each run has a working directory of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "project_version.h"
#include "tests/support/process.h"
#include "tests/support/pty.h"
#include "tests/support/tonecast_text.h"
#include "tests/support/unitsim.h"
#include "tools/vpimage/vp_builder.h"

namespace {

using testsupport::BinPath;
using testsupport::ProcessOptions;
using testsupport::ProcessResult;
using testsupport::PtyPair;
using testsupport::ReadFile;
using testsupport::RunProcess;
using testsupport::TempDir;
using testsupport::WriteFile;

ProcessOptions In(const TempDir& dir, std::vector<std::string> env = {}) {
  ProcessOptions o;
  o.cwd = dir.path();
  o.env = std::move(env);
  o.timeout_ms = 60000;
  return o;
}

// ---- --version and --help ------------------------------------------------

TEST(ProgramInfo, EveryProgramShowsTheOneVersionAndItsHelp) {
  const std::vector<std::string> programs = {"tonecast", "linepoke", "tonecast-station", "vpimage",
                                             "unitsim"};
  for (const std::string& program : programs) {
    for (const std::string option : {"--version", "--help"}) {
      SCOPED_TRACE(program + " " + option);
      TempDir dir;
      const ProcessResult r = RunProcess({BinPath(program), option}, In(dir));
      EXPECT_EQ(r.exit_code, 0);
      EXPECT_EQ(r.err, "");
      if (option == "--version") {
        EXPECT_EQ(r.out, program + " " + kProjectVersionText + "\n");
      } else {
        EXPECT_NE(r.out.find("usage: " + program), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("--version"), std::string::npos) << r.out;
      }
      // Nothing opened or written: no run log, no comm.txt.
      EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    }
  }
}

TEST(ProgramInfo, TonecastTakesThemWhereAnOptionStandsOnly) {
  TempDir dir;
  // After other options: the banner is not shown, nothing is checked.
  ProcessResult r =
      RunProcess({BinPath("tonecast"), "-P", "3", "missing.vp", "--version"}, In(dir));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, std::string("tonecast ") + kProjectVersionText + "\n");
  // As the value of -C it is a cable type, skipped as ever: the file is
  // checked and the run stops on it.
  r = RunProcess({BinPath("tonecast"), "-C", "--help", "missing.vp"}, In(dir));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, testsupport::kBanner + "\nError : File not found. \n");
}

// ---- The line after an error that says what to do ------------------------

// Runs a program as an unprivileged user when this test runs as root (root
// opens any device whatever its mode); empty when there is no way to.
std::vector<std::string> AsUnprivileged() {
  if (geteuid() != 0) return {{}};
  for (const char* setpriv : {"/usr/bin/setpriv", "/bin/setpriv"})
    if (access(setpriv, X_OK) == 0)
      return {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  return {};
}

// Both programs name the device that COM3 stood for and the likely fix, on
// standard error after their unchanged error lines: a device that is not
// there (code 2), one the user may not open (13), one another program holds
// (16).
TEST(ErrorAdvice, PortThatDoesNotOpenNamesTheDeviceAndTheFix) {
  const std::pair<int, std::string> cases[] = {
      {2, "no such device; tonecast-station --list shows the serial ports of this machine"},
      {13,
       "permission denied; add the user to the dialout group (sudo usermod -aG dialout $USER) "
       "and log in again"},
      {16, "in use; another program has the port open: close it, then try again"},
  };
  for (const auto& [code, advice] : cases) {
    for (const std::string program : {"tonecast", "linepoke"}) {
      SCOPED_TRACE(program + " code " + std::to_string(code));
      TempDir dir;
      PtyPair line;
      const std::string device = code == 2 ? dir.file("no-such-tty") : line.slave_path();
      std::vector<std::string> argv;
      if (code == 13) {
        argv = AsUnprivileged();
        if (argv.empty()) GTEST_SKIP() << "running as root without setpriv: no unprivileged user";
        // As root, the unprivileged user reads the folder and its files, and
        // may write its log there, but not open the device; a user that is
        // not root may not open it at all.
        const bool root = !argv[0].empty();
        if (!root) argv.clear();
        chmod(dir.path().c_str(), 0777);
        ASSERT_EQ(chmod(device.c_str(), root ? 0600 : 0000), 0);
      }
      const int holder =
          code == 16 ? open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;
      ASSERT_TRUE(code != 16 || flock(holder, LOCK_EX | LOCK_NB) == 0);
      WriteFile(dir.file("image.vp"), BuildVpImage(8, 1));
      WriteFile(dir.file("comm.txt"), "COM3");
      for (const char* file : {"image.vp", "comm.txt"}) chmod(dir.file(file).c_str(), 0644);
      argv.push_back(BinPath(program));
      const bool tonecast = program == "tonecast";
      for (const char* word : tonecast ? std::vector<const char*>{"-P", "3", "image.vp"}
                                       : std::vector<const char*>{"VER"})
        argv.push_back(word);
      const ProcessResult r = RunProcess(argv, In(dir, {"COM3=" + device}));
      if (holder >= 0) close(holder);

      EXPECT_EQ(r.out,
                tonecast
                    ? testsupport::kBanner + testsupport::FileStatus("image.vp", 270600) +
                          "\nError : Cannot open COM3. (code:" + std::to_string(code) + ")\n" +
                          testsupport::kNg
                    : std::string("\n CreateFile error \n\nERROR 10: Can't open serialport \n"));
      EXPECT_EQ(r.exit_code, tonecast ? 1 : 10);
      EXPECT_EQ(r.err, program + ": COM3 is " + device + ": " + advice + "\n");
    }
  }
}

// A bad image is named with what is wrong and what to do, by tonecast and
// in the same words by the station, which checks the image before it
// touches a port.
TEST(ErrorAdvice, ImageThatIsRefusedIsNamedWithWhatToDo) {
  struct Case {
    std::string file;
    std::vector<std::uint8_t> bytes;  // none: the file is missing
    std::string advice;
  };
  const Case cases[] = {
      {"missing.vp", {}, "missing.vp: no such file; check the name and the working directory"},
      {"big.vp", BuildVpImage(16, 1),
       "big.vp: 946704 bytes, but an 8 Mbit image has 270600; it is the size of a 16 Mbit "
       "image: give -16M"},
      {"sum.vp", BuildVpImage(8, 1, VpBreak::kChecksum),
       "sum.vp: not a valid 8 Mbit VP image (damaged, or not an image); vpimage check sum.vp "
       "tells what is wrong"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TempDir dir;
    if (!c.bytes.empty()) WriteFile(dir.file(c.file), c.bytes);
    const ProcessResult t = RunProcess({BinPath("tonecast"), "-P", "3", c.file}, In(dir));
    EXPECT_EQ(t.exit_code, 0);
    EXPECT_EQ(t.err, "tonecast: " + c.advice + "\n");
    const ProcessResult s = RunProcess({BinPath("tonecast-station"), c.file, "COM3"}, In(dir));
    EXPECT_EQ(s.exit_code, 2);
    EXPECT_EQ(s.err, "tonecast-station: " + c.advice + "\n");
  }
}

// ---- -P with a device path ---------------------------------------------

// A pseudo-terminal reached through a by-id style link takes a whole
// transfer; the run log's connect record names the port as -P gave it.
TEST(DevicePath, TonecastDownloadsThroughAPathAsThroughCOMn) {
  TempDir dir;
  testsupport::UnitSim unit({"--store", dir.file("stored.vp")}, dir.path());
  const std::vector<std::uint8_t> image = BuildVpImage(8, 5);
  WriteFile(dir.file("image.vp"), image);
  const std::string by_id = dir.file("serial/by-id/usb-Bench_USB_Serial_A10KX9Q2-if00-port0");
  std::filesystem::create_directories(std::filesystem::path(by_id).parent_path());
  std::filesystem::create_symlink(unit.path(), by_id);
  const ProcessResult r = RunProcess({BinPath("tonecast"), "-P", by_id, "image.vp"}, In(dir));
  EXPECT_EQ(r.out, testsupport::kBanner + testsupport::FileStatus("image.vp", 270600) +
                       testsupport::kGoodDialogue + testsupport::kComplete);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(ReadFile(dir.file("stored.vp")) == std::string(image.begin(), image.end()));
  EXPECT_NE(ReadFile(dir.file("tonecast.log")).find("\n" + by_id + " connect at "),
            std::string::npos);
}

}  // namespace
