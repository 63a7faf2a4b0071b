// The Windows programs under Wine against the simulated unit: what a user
// and the unit see must be what the Linux build shows, apart from the
// console's CR LF line ends.
//
// One fresh Wine prefix for the whole run. Ports COM3 and COM4 are
// registered to symlinks that each case points at its own units; the devices that Wine makes
// for the machine's real serial ports are replaced by directories, so no
// case can reach real hardware.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/tonecast_text.h"
#include "tests/support/unitsim.h"

namespace {

using testsupport::BinPath;
using testsupport::ProcessOptions;
using testsupport::ProcessResult;
using testsupport::ReadFile;
using testsupport::RunProcess;
using testsupport::TempDir;
using testsupport::UnitSim;

class WinePrefix : public ::testing::Environment {
 public:
  void SetUp() override {
    env_ = {"WINEPREFIX=" + dir_.file("prefix"), "WINEDEBUG=-all",
            // No .NET or HTML engine prompts at the first start.
            "WINEDLLOVERRIDES=mscoree,mshtml="};
    ASSERT_EQ(Quiet({WINE_PROGRAM, "wineboot", "-i"}), 0);
    Quiet({WINESERVER_PROGRAM, "-w"});
    namespace fs = std::filesystem;
    for (const auto& entry : fs::directory_iterator(dir_.file("prefix/dosdevices"))) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("com", 0) == 0 && fs::is_symlink(entry.symlink_status())) {
        fs::remove(entry.path());
        fs::create_directory(entry.path());
      }
    }
    for (int n : {3, 4})
      ASSERT_EQ(Quiet({WINE_PROGRAM, "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v",
                       "COM" + std::to_string(n), "/d", com(n), "/f"}),
                0);
    // The port table is read when the server starts; from now on it stays.
    Quiet({WINESERVER_PROGRAM, "-k"});
    Quiet({WINESERVER_PROGRAM, "-w"});
    ASSERT_EQ(Quiet({WINESERVER_PROGRAM, "-p"}), 0);
    // Wine's own services start with the first program and outlive it:
    // started here, they do not hold on to a tested program's output.
    ASSERT_EQ(Quiet({WINE_PROGRAM, "wineboot"}), 0);
  }
  void TearDown() override { Quiet({WINESERVER_PROGRAM, "-k"}); }

  // Runs a Wine tool with no output pipes: a server that it starts would
  // inherit them and keep them open for as long as it runs.
  int Quiet(std::vector<std::string> args) const {
    args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" </dev/null >/dev/null 2>&1"});
    ProcessOptions o;
    o.env = env_;
    o.timeout_ms = 120000;
    return RunProcess(args, o).exit_code;
  }
  ProcessResult Wine(std::vector<std::string> args, ProcessOptions o = {}) const {
    args.insert(args.begin(), WINE_PROGRAM);
    o.env.insert(o.env.end(), env_.begin(), env_.end());
    return RunProcess(args, o);
  }
  std::string com3() const { return com(3); }
  // The symlink that port COM<n> (3 or 4) is registered to.
  std::string com(int n) const { return dir_.file("com" + std::to_string(n)); }
  const std::vector<std::string>& env() const { return env_; }

 private:
  TempDir dir_;
  std::vector<std::string> env_;
};

WinePrefix* g_wine = static_cast<WinePrefix*>(::testing::AddGlobalTestEnvironment(new WinePrefix));

std::string WindowsExe(const std::string& name) { return std::string(WINDOWS_BIN) + "/" + name + ".exe"; }

// Each CR LF as LF, in one pass: CR CR LF becomes CR LF.
std::string FoldCrLf(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i)
    if (s[i] != '\r' || i + 1 == s.size() || s[i + 1] != '\n') out += s[i];
  return out;
}

// The run log's lines with dates and times masked, in sorted order: the two
// threads' records (a command sent, its reply received) may fall either way
// round in two runs.
std::vector<std::string> LogLines(std::string log) {
  for (char& c : log)
    if (c >= '0' && c <= '9') c = '#';
  std::vector<std::string> lines;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// One run of a program in its own directory with its own unit on COM3, the
// Windows build under Wine or the Linux build for comparison.
struct ProgramRun {
  TempDir dir;
  std::unique_ptr<UnitSim> unit;
  ProcessResult result;

  // `image`, when given, is copied to image.vp in the run's directory.
  ProgramRun(bool windows, std::vector<std::string> unit_flags, const std::string& program,
      std::vector<std::string> args, const std::string& image = "") {
    if (!image.empty()) testsupport::WriteFile(dir.file("image.vp"), image);
    if (windows) unit_flags.insert(unit_flags.end(), {"--link", g_wine->com3()});
    unit_flags.insert(unit_flags.end(), {"--store", dir.file("stored.vp")});
    unit = std::make_unique<UnitSim>(unit_flags, dir.path());
    ProcessOptions o;
    o.cwd = dir.path();
    o.env = {unit->Env(3)};
    o.timeout_ms = 90000;
    if (windows) {
      args.insert(args.begin(), WindowsExe(program));
      result = g_wine->Wine(args, o);
    } else {
      args.insert(args.begin(), BinPath(program));
      result = RunProcess(args, o);
    }
    unit->Stop();
  }
  std::string file(const std::string& name) const { return ReadFile(dir.file(name)); }
};

void MakeImage(int flash, const std::string& path) {
  ASSERT_EQ(RunProcess({BinPath("vpimage"), "build", "--flash", std::to_string(flash), "-o", path})
                .exit_code,
            0);
}

void ExpectCleanEnd(const ProcessResult& r) {
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.err.find("Unhandled exception"), std::string::npos) << r.err;
}

TEST(WineTonecast, HappyTransfersMatchTheLinuxBuild) {
  for (const int flash : {8, 16}) {
    SCOPED_TRACE(flash);
    TempDir images;
    MakeImage(flash, images.file("image.vp"));
    const std::string image = ReadFile(images.file("image.vp"));
    std::vector<std::string> args = {"-P", "3", "image.vp"};
    if (flash == 16) args.insert(args.begin() + 2, "-16M");
    ProgramRun win(true, {}, "tonecast", args, image);
    ProgramRun lin(false, {}, "tonecast", args, image);
    ExpectCleanEnd(win.result);
    EXPECT_EQ(win.result.exit_code, 1);
    EXPECT_EQ(FoldCrLf(win.result.out), testsupport::kBanner +
                                            testsupport::FileStatus("image.vp", image.size()) +
                                            testsupport::kGoodDialogue + testsupport::kComplete);
    EXPECT_EQ(FoldCrLf(win.result.out), lin.result.out);
    EXPECT_TRUE(win.file("stored.vp") == image);
    // The log is binary on Windows too: the same records, byte for byte.
    const std::string log = win.file("tonecast.log");
    EXPECT_NE(log.find("FIN OK"), std::string::npos);
    EXPECT_EQ(LogLines(log), LogLines(lin.file("tonecast.log")));
    if (flash == 8)
      std::printf("[ figure ] happy 8 Mbit run: %.2f s under Wine, %.2f s on Linux\n",
                  win.result.wall_s, lin.result.wall_s);
  }
}

// A 16 Mbit image at the real line rate: 82 s on the line, longer than the
// stall rule's 30 s, through a driver (Wine's) whose queued count reads 0
// while the request is pending. It completes, byte for byte, and the SEND
// record counts every byte.
TEST(WineTonecast, PacedSixteenMbitImageCompletesByteExact) {
  TempDir dir;
  MakeImage(16, dir.file("image.vp"));
  const std::string image = ReadFile(dir.file("image.vp"));
  UnitSim unit({"--pace", "--link", g_wine->com3(), "--store", dir.file("stored.vp")},
               dir.path());
  ProcessOptions o;
  o.cwd = dir.path();
  o.timeout_ms = 180000;
  const ProcessResult r =
      g_wine->Wine({WindowsExe("tonecast"), "-P", "3", "-16M", "image.vp"}, o);
  unit.Stop();
  ExpectCleanEnd(r);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(FoldCrLf(r.out), testsupport::kBanner +
                                 testsupport::FileStatus("image.vp", image.size()) +
                                 testsupport::kGoodDialogue + testsupport::kComplete);
  EXPECT_TRUE(ReadFile(dir.file("stored.vp")) == image);
  const std::string size = std::to_string(image.size());
  EXPECT_NE(ReadFile(dir.file("tonecast.log")).find("size:" + size + " (" + size + ")"),
            std::string::npos);
  std::printf("[ figure ] paced 16 Mbit run under Wine: %.2f s (82.18 s of image on the line)\n",
              r.wall_s);
}

// Names outside any ANSI code page: the folder the run works in and the
// image's name. The image opens, the name prints back as typed (UTF-8
// bytes on standard output) and the run log lands in that folder.
TEST(WineTonecast, NonAsciiFolderAndImageNamesWork) {
  TempDir root;
  const std::string folder = root.file("prüfung-звук-音");
  const std::string name = "образ-ü.vp";
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  MakeImage(8, folder + "/" + name);
  const std::string image = ReadFile(folder + "/" + name);
  UnitSim unit({"--link", g_wine->com3(), "--store", root.file("stored.vp")}, root.path());
  ProcessOptions o;
  o.cwd = folder;
  // Wine converts the Unix command line and folder by the locale's code set.
  o.env = {"LC_ALL=C.UTF-8"};
  o.timeout_ms = 90000;
  const ProcessResult r = g_wine->Wine({WindowsExe("tonecast"), "-P", "3", name}, o);
  unit.Stop();
  ExpectCleanEnd(r);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(FoldCrLf(r.out), testsupport::kBanner + testsupport::FileStatus(name, image.size()) +
                                 testsupport::kGoodDialogue + testsupport::kComplete);
  EXPECT_TRUE(ReadFile(root.file("stored.vp")) == image);
  EXPECT_NE(ReadFile(folder + "/tonecast.log").find("FIN OK"), std::string::npos);
}

TEST(WineTonecast, FailuresEndWithTheLinuxVerdict) {
  TempDir images;
  MakeImage(8, images.file("image.vp"));
  const std::string image = ReadFile(images.file("image.vp"));
  const std::vector<std::string> args = {"-P", "3", "image.vp"};
  const std::vector<std::vector<std::string>> faults = {
      {"--nak", "VPL"}, {"--fin-ng"}, {"--vanish-after", "100000"}};
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault[0]);
    ProgramRun win(true, fault, "tonecast", args, image);
    ProgramRun lin(false, fault, "tonecast", args, image);
    ExpectCleanEnd(win.result);
    EXPECT_EQ(win.result.exit_code, lin.result.exit_code);
    const std::string out = FoldCrLf(win.result.out);
    EXPECT_TRUE(out.ends_with(testsupport::kNg)) << out;
    // The error codes differ by platform when the unit vanishes; the rest
    // of the console text is the same.
    if (fault[0] != "--vanish-after") {
      EXPECT_EQ(out, lin.result.out);
    }
  }
}

TEST(WineTonecast, APortThatDoesNotExistShowsTheWindowsCode) {
  TempDir dir;
  MakeImage(8, dir.file("image.vp"));
  ProcessOptions o;
  o.cwd = dir.path();
  const ProcessResult r = g_wine->Wine({WindowsExe("tonecast"), "-P", "9", "image.vp"}, o);
  ExpectCleanEnd(r);
  const std::string out = FoldCrLf(r.out);
  EXPECT_NE(out.find("Cannot open COM9. (code:2)"), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with(testsupport::kNg)) << out;
}

TEST(WineTonecast, CtrlCMidImageEndsTheRunAsOnLinux) {
  // Under Wine SIGINT reaches the program as a Ctrl+C console event.
  TempDir dir;
  MakeImage(8, dir.file("image.vp"));
  UnitSim unit({"--pace", "--link", g_wine->com3()}, dir.path());
  ProcessOptions o;
  o.cwd = dir.path();
  o.env = g_wine->env();
  o.timeout_ms = 60000;
  testsupport::Process p({WINE_PROGRAM, WindowsExe("tonecast"), "-P", "3", "image.vp"}, o);
  ASSERT_TRUE(p.WaitForOutput("Download file#0...", 20000)) << p.Output();
  p.Signal(SIGINT);
  const ProcessResult r = p.Wait(30000);
  unit.Stop();
  ExpectCleanEnd(r);
  const std::string out = FoldCrLf(r.out);
  EXPECT_TRUE(out.ends_with("\nError : Interrupted.\nClose COM port.\n" + testsupport::kNg))
      << out;
  // Ended as Ctrl+C ends a program: STATUS_CONTROL_C_EXIT, of which a Linux
  // parent sees the low byte.
  EXPECT_EQ(r.exit_code, 0xC000013A & 0xFF);
  const std::string log = ReadFile(dir.file("tonecast.log"));
  EXPECT_NE(log.find("Interrupted."), std::string::npos);
  // The image's SEND record, if the write had begun, counts what left the
  // port: never the whole image, whose write was cut short.
  if (const auto at = log.find("size:270600 ("); at != std::string::npos) {
    EXPECT_LT(std::stol(log.substr(at + 13)), 270600) << log;
  }
}

TEST(WineLinepoke, RemembersThePortAndPacesTheCommandByteByByte) {
  ProgramRun chosen(true, {}, "linepoke", {"/3"});
  EXPECT_EQ(chosen.result.exit_code, 0);
  EXPECT_EQ(chosen.file("comm.txt").substr(0, 4), "COM3");

  TempDir dir;
  testsupport::WriteFile(dir.file("comm.txt"), chosen.file("comm.txt"));
  UnitSim unit({"--link", g_wine->com3()}, dir.path());
  ProcessOptions o;
  o.cwd = dir.path();
  o.stdin_open = true;  // Enter never pressed: the answer's EOT ends it
  o.timeout_ms = 30000;
  const ProcessResult r = g_wine->Wine({WindowsExe("linepoke"), "VER", "1"}, o);
  unit.Stop();
  ExpectCleanEnd(r);
  EXPECT_EQ(r.exit_code, 0);
  // The unit's CR LF arrives as CR CR LF on a console in text mode.
  EXPECT_EQ(FoldCrLf(r.out), "OK VER 1\r\nREADY\r\n");

  // Byte gaps as the unit measured them (microseconds).
  std::istringstream in(unit.Transcript());
  std::string line;
  std::vector<long long> times;
  const std::string key = "\"VER 1\\r\" arrivals=";
  while (std::getline(in, line))
    if (const auto at = line.find(key); at != std::string::npos) {
      std::istringstream list(line.substr(at + key.size()));
      for (std::string item; std::getline(list, item, ',');) times.push_back(std::stoll(item));
    }
  ASSERT_EQ(times.size(), 6u);
  // As the unit reads them: one late read makes the gap after it look short
  // by as much, so any window of k gaps is held to 10 * k ms less that lag
  // (as in the native suite); a missing pause still fails its window.
  constexpr long long kDeliveryLagUs = 12000;
  for (std::size_t i = 0; i < times.size(); ++i)
    for (std::size_t j = i + 1; j < times.size(); ++j)
      EXPECT_GE(times[j] - times[i], 10000 * static_cast<long long>(j - i) - kDeliveryLagUs)
          << "bytes " << i << ".." << j;
  long long shortest = times[1] - times[0];
  for (std::size_t i = 1; i < times.size(); ++i) shortest = std::min(shortest, times[i] - times[i - 1]);
  std::printf("[ figure ] linepoke under Wine: shortest gap %.2f ms, average %.2f ms\n",
              shortest / 1000.0, (times.back() - times.front()) / 5 / 1000.0);
}

// The station starts tonecast.exe once per port through the Windows process
// backend and reads both at once through pipes.
TEST(WineStation, TwoUnitsAtOnce) {
  TempDir dir, unit_dirs[2];
  MakeImage(8, dir.file("image.vp"));
  const std::string image = ReadFile(dir.file("image.vp"));
  std::vector<std::unique_ptr<UnitSim>> units;
  for (int i = 0; i < 2; ++i)
    units.push_back(std::make_unique<UnitSim>(
        std::vector<std::string>{"--link", g_wine->com(3 + i), "--store",
                                 unit_dirs[i].file("stored.vp")},
        unit_dirs[i].path()));
  ProcessOptions o;
  o.cwd = dir.path();
  o.timeout_ms = 90000;
  const ProcessResult r =
      g_wine->Wine({WindowsExe("tonecast-station"), "image.vp", "COM3", "COM4"}, o);
  for (auto& u : units) u->Stop();
  ExpectCleanEnd(r);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  const std::string out = FoldCrLf(r.out);
  EXPECT_NE(out.find("\nCOM3: complete\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nCOM4: complete\n"), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with("2 of 2 units complete.\n")) << out;
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(ReadFile(unit_dirs[i].file("stored.vp")) == image);
    // COM3 is a device's name in every Windows folder: the folder is COM3_.
    const std::string folder = dir.file("tonecast-logs/COM" + std::to_string(3 + i) + "_");
    EXPECT_NE(ReadFile(folder + "/tonecast.log").find("FIN OK"), std::string::npos);
    const std::string console = FoldCrLf(ReadFile(folder + "/console.txt"));
    EXPECT_NE(console.find("VP file transfer complete.\n==== complete, "), std::string::npos)
        << console;
  }
  const std::string report = ReadFile(dir.file("tonecast-logs/report.csv"));
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 3) << report;
  EXPECT_NE(report.find(",1,COM4,COM4,image.vp,"), std::string::npos) << report;
  EXPECT_NE(report.find(",270600,8,complete,,"), std::string::npos) << report;
  std::printf("[ figure ] two units through the station under Wine: %.2f s\n", r.wall_s);
}

// report.csv held open through a whole round by another program, as a
// spreadsheet holds it (reading, sharing only reading): Windows refuses the
// station every write, and still every row is found in the logs folder
// afterwards, in a report file of its own that the station names.
TEST(WineStation, EveryRowIsKeptWhileAnotherProgramHoldsTheReport) {
  TempDir dir, unit_dirs[2];
  MakeImage(8, dir.file("image.vp"));
  std::vector<std::unique_ptr<UnitSim>> units;
  for (int i = 0; i < 2; ++i)
    units.push_back(std::make_unique<UnitSim>(
        std::vector<std::string>{"--link", g_wine->com(3 + i), "--store",
                                 unit_dirs[i].file("stored.vp")},
        unit_dirs[i].path()));
  std::filesystem::create_directory(dir.file("tonecast-logs"));
  ProcessOptions o;
  o.cwd = dir.path();
  o.env = g_wine->env();
  o.timeout_ms = 150000;
  testsupport::Process holder({WINE_PROGRAM, WindowsExe("hold_file"), "tonecast-logs\\report.csv"},
                              o);
  ASSERT_TRUE(holder.WaitForOutput("held", 60000)) << holder.Output();
  o.env.clear();
  o.timeout_ms = 90000;
  const ProcessResult r =
      g_wine->Wine({WindowsExe("tonecast-station"), "image.vp", "COM3", "COM4"}, o);
  testsupport::WriteFile(dir.file("tonecast-logs/report.csv.release"), std::string());
  holder.Wait(60000);
  for (auto& u : units) u->Stop();
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_NE(FoldCrLf(r.out).find("2 of 2 units complete.\n"), std::string::npos) << r.out;
  EXPECT_EQ(ReadFile(dir.file("tonecast-logs/report.csv")), "");
  const std::size_t at = r.err.find("they are in ");
  ASSERT_NE(at, std::string::npos) << r.err;
  std::string rows;
  for (const auto& e : std::filesystem::directory_iterator(dir.file("tonecast-logs")))
    if (e.path().filename().string().rfind("report-unsaved-", 0) == 0) rows += ReadFile(e.path());
  EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 3) << rows;
  for (const char* port : {",COM3,COM3,", ",COM4,COM4,"}) {
    const std::size_t row = rows.find(port);
    ASSERT_NE(row, std::string::npos) << rows;
    EXPECT_NE(rows.find(",complete,,", row), std::string::npos) << rows;
  }
}

// Enter, or Ctrl+C, ends the wait for an answer that has no EOT. The input
// watcher reads standard input (here a pipe) through the platform, so the
// program's end never waits for it; after Ctrl+C the program ends with
// Ctrl+C's status and prints nothing more.
TEST(WineLinepoke, EnterOrCtrlCEndsAnAnswerWithoutEot) {
  for (const bool ctrl_c : {false, true}) {
    SCOPED_TRACE(ctrl_c ? "Ctrl+C" : "Enter");
    TempDir dir;
    testsupport::WriteFile(dir.file("comm.txt"), "COM3");
    UnitSim unit({"--no-eot", "--link", g_wine->com3()}, dir.path());
    ProcessOptions o;
    o.cwd = dir.path();
    o.env = g_wine->env();
    o.stdin_open = true;
    o.timeout_ms = 30000;
    testsupport::Process p({WINE_PROGRAM, WindowsExe("linepoke"), "STATUS"}, o);
    // The whole answer, CR LF as the C runtime's text mode writes it.
    ASSERT_TRUE(p.WaitForOutput("READY\r\r\n", 20000)) << p.Output();
    if (ctrl_c) {
      p.Signal(SIGINT);  // Wine passes it on as the console's Ctrl+C event
    } else {
      p.WriteStdin("\n");
    }
    const ProcessResult r = p.Wait(20000);
    unit.Stop();
    ExpectCleanEnd(r);
    EXPECT_EQ(r.exit_code, ctrl_c ? 0xC000013A & 0xFF : 0);
    EXPECT_EQ(FoldCrLf(r.out), "OK STATUS\r\nREADY\r\n");
  }
}

TEST(WinePlatform, ThePortableContractSuitePassesOnTheWindowsBackend) {
  TempDir dir;
  UnitSim unit({"--link", g_wine->com3()}, dir.path());
  ProcessOptions o;
  o.cwd = dir.path();
  o.env = {"CONTRACT_PORT=COM3", "CONTRACT_MISSING_PORT=COM9"};
  o.timeout_ms = 60000;
  const ProcessResult r = g_wine->Wine({WindowsExe("platform_contract_test")}, o);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("[  PASSED  ]"), std::string::npos) << r.out;
}

}  // namespace
