// tonecast-station against several simulated units at once: every image
// stored, each port's folder holding its own runs, the report's rows, a unit
// that fails among good ones, interrupts passed on to every unit, and a
// start that stops before any port is touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
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

using testsupport::BinPath;
using testsupport::PortIsFree;
using testsupport::Process;
using testsupport::ProcessOptions;
using testsupport::ProcessResult;
using testsupport::ReadFile;
using testsupport::ScreenRows;
using testsupport::TempDir;
using testsupport::Terminal;
using testsupport::UnitSim;

// One simulated unit in a folder of its own (its transcript and the image
// it stored).
struct Unit {
  TempDir dir;
  std::unique_ptr<UnitSim> sim;
  explicit Unit(std::vector<std::string> flags) {
    flags.insert(flags.end(), {"--store", dir.file("stored.vp")});
    sim = std::make_unique<UnitSim>(flags, dir.path());
  }
  std::string stored() const { return ReadFile(dir.file("stored.vp")); }
};

// The bench: a working folder with the image, and the units.
struct Bench {
  TempDir dir;
  std::string image;
  std::vector<std::unique_ptr<Unit>> units;

  explicit Bench(std::vector<std::vector<std::string>> unit_flags) {
    const std::vector<std::uint8_t> bytes = BuildVpImage(8, 7);
    image.assign(bytes.begin(), bytes.end());
    testsupport::WriteFile(dir.file("image.vp"), bytes);
    for (auto& flags : unit_flags) units.push_back(std::make_unique<Unit>(flags));
  }
  ProcessOptions Options(std::vector<std::string> env = {}) const {
    ProcessOptions o;
    o.cwd = dir.path();
    o.env = std::move(env);
    o.timeout_ms = 120000;
    return o;
  }
  std::string logs(const std::string& port = "") const {
    return dir.file("tonecast-logs") + (port.empty() ? "" : "/" + port);
  }
  std::vector<std::string> ReportRows() const {
    std::vector<std::string> rows;
    std::istringstream in(ReadFile(logs() + "/report.csv"));
    for (std::string line; std::getline(in, line);) rows.push_back(line);
    return rows;
  }
};

std::vector<std::string> Station(std::vector<std::string> args) {
  args.insert(args.begin(), BinPath("tonecast-station"));
  return args;
}

std::set<std::string> Folders(const std::string& path) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(path, ec))
    if (e.is_directory()) names.insert(e.path().filename().string());
  return names;
}

// A report row's fields by the header's names (quoted fields unquoted).
std::map<std::string, std::string> Fields(const std::string& header, const std::string& row) {
  auto split = [](const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
      const char c = line[i];
      if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = !quoted;
      } else if (c == ',' && !quoted) {
        fields.emplace_back();
      } else {
        fields.back() += c;
      }
    }
    return fields;
  };
  const std::vector<std::string> names = split(header), values = split(row);
  std::map<std::string, std::string> out;
  for (std::size_t i = 0; i < names.size(); ++i) out[names[i]] = i < values.size() ? values[i] : "";
  if (values.size() != names.size()) out["#"] = "fields: " + std::to_string(values.size());
  return out;
}

// The port's folder in the logs folder: its label, or for a path outside
// the device folders its label and a mark of the path.
std::string FolderOf(const std::string& logs, const std::string& label) {
  for (const std::string& f : Folders(logs))
    if (f == label || (f.rfind(label + "-", 0) == 0 && f.size() == label.size() + 9)) return f;
  return "";
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Four units, named the ways a bench names them: COM<n> mapped by the
// environment, a device path, and a stable link. Two rounds with --loop:
// each port's folder holds its own two runs, the report eight rows under
// one header.
TEST(Station, FourUnitsAtOnceTwoRoundsEachPortWithItsOwnFolder) {
  Bench bench(std::vector<std::vector<std::string>>(4));
  const std::string link = bench.dir.file("usb-Maker_Adapter_A1-if00-port0");
  ASSERT_EQ(symlink(bench.units[3]->sim->path().c_str(), link.c_str()), 0);
  const std::string pts = bench.units[2]->sim->path();
  const std::string pts_label = pts.substr(pts.rfind('/') + 1);
  ProcessOptions o = bench.Options({bench.units[0]->sim->Env(3), bench.units[1]->sim->Env(7)});
  o.stdin_data = "\nq\n";
  const ProcessResult r = RunProcess(Station({"--loop", "image.vp", "COM3", "COM7", pts, link}), o);

  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Count(r.out, "4 of 4 units complete.\n"), 2u) << r.out;
  EXPECT_NE(r.out.find("2 rounds: 8 of 8 units complete.\n"), std::string::npos) << r.out;
  const std::vector<std::string> labels = {"COM3", "COM7", pts_label,
                                           "usb-Maker_Adapter_A1-if00-port0"};
  std::set<std::string> folders;
  for (const std::string& l : labels) folders.insert(FolderOf(bench.logs(), l));
  EXPECT_EQ(Folders(bench.logs()), folders);
  for (std::size_t i = 0; i < labels.size(); ++i) {
    SCOPED_TRACE(labels[i]);
    const std::string folder = FolderOf(bench.logs(), labels[i]);
    // Plain lines: a phase line per step, a verdict line per round.
    EXPECT_EQ(Count(r.out, "\n" + labels[i] + ": Download file#0...\n"), 2u);
    EXPECT_EQ(Count(r.out, "\n" + labels[i] + ": complete\n"), 2u);
    EXPECT_TRUE(bench.units[i]->stored() == bench.image);
    EXPECT_EQ(reliability::CheckLog(bench.logs(folder), 2), "");
    const std::string console = ReadFile(bench.logs(folder) + "/console.txt");
    EXPECT_EQ(Count(console, "VP file transfer complete.\n==== complete, "), 2u) << console;
    EXPECT_EQ(Count(console, "\n#### Tonecast"), 2u);
  }
  const std::vector<std::string> rows = bench.ReportRows();
  ASSERT_EQ(rows.size(), 9u);
  EXPECT_EQ(rows[0],
            "start,round,port,device,image,image_sha256,size,flash_mbit,verdict,error,duration_s,"
            "host,tonecast_version");
  // The image's digest as the system's own tool reckons it.
  const std::string digest =
      RunProcess({"/usr/bin/sha256sum", "image.vp"}, bench.Options()).out.substr(0, 64);
  std::multiset<std::string> ports;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    std::map<std::string, std::string> f = Fields(rows[0], rows[i]);
    SCOPED_TRACE(rows[i]);
    EXPECT_EQ(f.count("#"), 0u);
    EXPECT_EQ(f["image"], "image.vp");
    EXPECT_EQ(f["image_sha256"], digest);
    EXPECT_EQ(f["size"], "270600");
    EXPECT_EQ(f["flash_mbit"], "8");
    EXPECT_EQ(f["verdict"], "complete");
    EXPECT_EQ(f["error"], "");
    // Rows of round 1 first, then round 2; local time with its offset.
    EXPECT_EQ(f["round"], i <= 4 ? "1" : "2");
    EXPECT_TRUE(
        std::regex_match(f["start"], std::regex("[0-9-]{10}T[0-9:]{8}[+-][0-9]{2}:[0-9]{2}")));
    EXPECT_GT(std::stod(f["duration_s"]), 0.0);
    EXPECT_NE(f["host"], "");
    EXPECT_EQ(f["tonecast_version"].rfind("0.", 0), 0u);
    ports.insert(f["port"]);
    if (f["port"] == "COM3") {
      EXPECT_EQ(f["device"], bench.units[0]->sim->path());
    }
  }
  for (const std::string& l : labels) EXPECT_EQ(ports.count(l), 2u) << l;
}

// One unit refuses the image's announcement; the others complete.
TEST(Station, OneUnitThatNaksEndsItsOwnRowNg) {
  Bench bench({{}, {"--nak", "VPD"}, {}});
  std::vector<std::string> env;
  for (int i = 0; i < 3; ++i) env.push_back(bench.units[std::size_t(i)]->sim->Env(3 + i));
  const ProcessResult r =
      RunProcess(Station({"image.vp", "COM3", "COM4", "COM5"}), bench.Options(env));

  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("COM3: complete\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("COM4: NG (Download command failure.)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("2 of 3 units complete. Not complete:\n  COM4: NG (Download command "
                       "failure.)\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(bench.units[0]->stored() == bench.image);
  EXPECT_TRUE(bench.units[2]->stored() == bench.image);
  EXPECT_EQ(bench.units[1]->stored(), "");
  const std::vector<std::string> rows = bench.ReportRows();
  ASSERT_EQ(rows.size(), 4u);
  for (std::size_t i = 1; i < rows.size(); ++i) {
    std::map<std::string, std::string> f = Fields(rows[0], rows[i]);
    const bool nak = f["port"] == "COM4";
    EXPECT_EQ(f["verdict"], nak ? "NG" : "complete") << rows[i];
    // Without tonecast's trailing blank.
    EXPECT_EQ(f["error"], nak ? "Download command failure." : "") << rows[i];
  }
  for (const char* port : {"COM3", "COM4", "COM5"})
    EXPECT_EQ(reliability::CheckLog(bench.logs(port), 1), "") << port;
}

// An interrupt reaches every unit once: each run ends with "Interrupted."
// in a well-formed log, every port is free at once, and the station ends by
// the signal. SIGINT mid-image with the table on a terminal 60 columns wide
// (percent and time left drawn, then the verdicts); SIGTERM while the units
// wait at VPL, with plain lines on a pipe; SIGHUP likewise, on a terminal
// too short for the table (plain lines there).
TEST(Station, InterruptReachesEveryUnitAndTheStationEndsByIt) {
  struct Case {
    int sig;
    std::vector<std::string> flags;
    unsigned short rows;  // the terminal's height; 0: output to a pipe
  };
  for (const Case& c : {Case{SIGINT, {"--pace"}, 30}, Case{SIGTERM, {"--silent", "VPL"}, 0},
                        Case{SIGHUP, {"--silent", "VPL"}, 4}}) {
    SCOPED_TRACE(strsignal(c.sig));
    Bench bench({c.flags, c.flags, c.flags});
    std::vector<std::string> labels;
    std::string command = "exec \"$S\" image.vp";
    for (const auto& u : bench.units) {
      labels.push_back(u->sim->path().substr(u->sim->path().rfind('/') + 1));
      command += " " + u->sim->path();
    }
    testsupport::PtyPair screen;
    winsize size{};
    size.ws_col = 60;
    size.ws_row = c.rows;
    ASSERT_EQ(ioctl(screen.slave(), TIOCSWINSZ, &size), 0);
    const bool on_terminal = c.rows > 0;
    // Three rows and a header line need five lines.
    const bool table = c.rows >= labels.size() + 2;
    if (on_terminal) command += " >" + screen.slave_path();
    Process p({"/bin/bash", "-c", command},
              bench.Options({"S=" + BinPath("tonecast-station"), "TERM=xterm"}));
    std::string shown;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    if (table) {
      // Until every unit's row shows the image's percent and time left.
      for (bool all = false; !all && std::chrono::steady_clock::now() < deadline;) {
        shown += screen.Receive(1 << 20, 300);
        const std::vector<std::string> rows = ScreenRows(shown);
        all = rows.size() > labels.size() + 1;
        for (std::size_t i = 0; all && i < labels.size(); ++i)
          all = rows[i + 2].rfind(labels[i], 0) == 0 &&
                rows[i + 2].find("% ") != std::string::npos &&
                rows[i + 2].find(" left") != std::string::npos;
      }
    } else if (on_terminal) {
      for (const std::string& l : labels) {
        while (shown.find("\n" + l + ": Flash inithalizing...\n") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
          shown += screen.Receive(1 << 20, 300);
      }
    } else {
      for (const std::string& l : labels)
        ASSERT_TRUE(p.WaitForOutput(l + ": Flash inithalizing...", 30000)) << p.Output();
    }
    p.Signal(c.sig);
    const ProcessResult r = p.Wait(60000);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, c.sig);
    EXPECT_EQ(r.err, "");
    const std::string out = on_terminal ? shown + screen.Receive(1 << 20, 500) : r.out;
    EXPECT_NE(out.find("0 of 3 units complete."), std::string::npos) << out;
    if (table) {
      const std::vector<std::string> rows = ScreenRows(out);
      ASSERT_GE(rows.size(), labels.size() + 2) << out;
      EXPECT_EQ(rows[1], "PORT  PROGRESS         PHASE");
      for (std::size_t i = 0; i < labels.size(); ++i) {
        // The phase column shows the verdict in place of the last step.
        EXPECT_EQ(rows[i + 2], labels[i] + std::string(6 - labels[i].size(), ' ') +
                                   std::string(17, ' ') + "NG (Interrupted.)")
            << out;
      }
    } else {
      EXPECT_EQ(out.find("\x1b["), std::string::npos) << out;
    }
    for (std::size_t i = 0; i < labels.size(); ++i) {
      SCOPED_TRACE(labels[i]);
      EXPECT_EQ(PortIsFree(bench.units[i]->sim->path()), "");
      if (!table) {
        EXPECT_NE(out.find("\n" + labels[i] + ": NG (Interrupted.)\n"), std::string::npos);
      }
      std::vector<reliability::LogRecord> records;
      EXPECT_EQ(reliability::CheckLog(bench.logs(labels[i]), 1, &records), "");
      EXPECT_EQ(reliability::CountKind(records, "Error"), 1);
      EXPECT_NE(ReadFile(bench.logs(labels[i]) + "/tonecast.log").find("Interrupted."),
                std::string::npos);
      // Nothing more went to the unit after the interrupt.
      EXPECT_EQ(bench.units[i]->sim->Transcript().find("VPE"), std::string::npos);
    }
    const std::vector<std::string> rows = bench.ReportRows();
    ASSERT_EQ(rows.size(), 4u);
    for (std::size_t i = 1; i < rows.size(); ++i) {
      std::map<std::string, std::string> f = Fields(rows[0], rows[i]);
      EXPECT_EQ(f["verdict"] + " " + f["error"], "NG Interrupted.") << rows[i];
    }
  }
}

// The table on an 80-column terminal (tmux) with names as long as the
// system's stable names of USB adapters, which differ only near their end:
// each row shows its port's distinctive tail, the image's percent and time
// left while it goes out, then its verdict in the phase column, complete in
// green and NG in red; with NO_COLOR the same rows without colour. Control
// characters in the image's name show as '?'.
TEST(Station, TableFitsAnEightyColumnTerminal) {
  if (!testsupport::HaveTmux()) GTEST_SKIP() << "needs tmux (apt-get install tmux)";
  // NO_COLOR unset: the good unit paced, so that its percent is seen.
  for (const bool colour : {true, false}) {
    SCOPED_TRACE(colour ? "colour" : "NO_COLOR");
    Bench bench({colour ? std::vector<std::string>{"--pace"} : std::vector<std::string>{},
                 {"--fin-ng"},
                 {"--nak", "VPD"}});
    const std::string image = "voice\x1b[2J.vp";
    std::filesystem::copy_file(bench.dir.file("image.vp"), bench.dir.file(image));
    std::vector<std::string> env = {"S=" + BinPath("tonecast-station"), "IMG=" + image};
    std::string line =
        std::string(colour ? "unset NO_COLOR; " : "export NO_COLOR=1; ") + "\"$S\" \"$IMG\"";
    std::vector<std::string> tails;
    for (std::size_t i = 0; i < bench.units.size(); ++i) {
      const std::string serial = std::string("A50285B") + char('I' + i);
      const std::string link = bench.dir.file("usb-FTDI_FT232R_USB_UART_" + serial + "-if00-port0");
      ASSERT_EQ(symlink(bench.units[i]->sim->path().c_str(), link.c_str()), 0);
      env.push_back("P" + std::to_string(i) + "=" + link);
      line += " \"$P" + std::to_string(i) + "\"";
      // The port column, 33 wide: the name's head, "...", its last 20.
      tails.push_back("usb-FTDI_F..._" + serial + "-if00-port0");
    }
    Terminal terminal(bench.dir.path(), bench.Options(env), 80, line);
    // The rows of the table, from its header on.
    const auto table = [&](bool colours) {
      std::vector<std::string> rows = terminal.Rows(colours);
      std::size_t header = 0;
      while (header < rows.size() && rows[header].find("PORT ") == std::string::npos) ++header;
      rows.erase(rows.begin(), rows.begin() + long(std::min(header, rows.size())));
      return rows;
    };
    if (colour) {
      const std::regex progress(tails[0] +
                                " +[0-9]+%  ?[0-9]+:[0-9]{2} left  Download file#0\\.\\.\\.");
      bool seen = false;
      for (int i = 0; i < 300 && !seen; ++i) {
        const std::vector<std::string> rows = table(false);
        seen = rows.size() > 1 && std::regex_match(rows[1], progress);
        if (!seen) usleep(100000);
      }
      EXPECT_TRUE(seen) << terminal.Screen();
    }
    EXPECT_EQ(terminal.WaitForEnd(90000), 1);
    const std::string screen = terminal.Screen();
    EXPECT_NE(screen.find("voice?[2J.vp: 8 Mbit image, 270600 bytes, to 3 units"),
              std::string::npos)
        << screen;
    const std::string gap(2 + 15 + 2, ' ');
    const std::vector<std::string> plain = {
        "PORT" + std::string(31, ' ') + "PROGRESS" + std::string(9, ' ') + "PHASE",
        tails[0] + gap + "complete", tails[1] + gap + "NG (Check sum NG.)",
        // The phase column's 27 columns cut the reason, never the verdict.
        tails[2] + gap + "NG (Download command failur"};
    const std::vector<std::string> coloured = table(true);
    ASSERT_GE(coloured.size(), plain.size()) << screen;
    // The rows as drawn; colour on the verdict words only when asked.
    const std::regex sgr("\x1b\\[[0-9;]*m");
    for (std::size_t i = 0; i < plain.size(); ++i) {
      EXPECT_EQ(std::regex_replace(coloured[i], sgr, ""), plain[i]) << coloured[i];
      if (!colour) {
        EXPECT_EQ(coloured[i].find("\x1b["), std::string::npos) << coloured[i];
      }
    }
    EXPECT_EQ(coloured[1].find("\x1b[32mcomplete") != std::string::npos, colour) << coloured[1];
    EXPECT_EQ(coloured[2].find("\x1b[31mNG") != std::string::npos, colour) << coloured[2];
    EXPECT_TRUE(bench.units[0]->stored() == bench.image);
  }
}

// The status after a round: 2 when no unit's tonecast could be started (a
// file bears the name of the port's folder), 1 when a unit completed but
// its row could not be written to report.csv (a folder bears that name).
TEST(Station, StatusWhenNoUnitStartsOrTheReportLosesARow) {
  struct Case {
    bool report_blocked;
    int exit_code;
    std::string out;  // found in standard output
    std::string err;  // found in standard error
  };
  const Case cases[] = {
      {false, 2, ": no verdict (Cannot make the folder ", ""},
      {true, 1, "1 of 1 unit complete.\n", "cannot write 1 row to "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exit_code);
    Bench bench(std::vector<std::vector<std::string>>(1));
    const std::string port = bench.units[0]->sim->path();
    const std::string label = port.substr(port.rfind('/') + 1);
    std::filesystem::create_directories(bench.logs());
    if (c.report_blocked) {
      std::filesystem::create_directory(bench.logs() + "/report.csv");
    } else {
      testsupport::WriteFile(bench.logs(label), std::string("in the way"));
    }
    const ProcessResult r = RunProcess(Station({"image.vp", port}), bench.Options());
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    bench.units[0]->sim->Stop();
    EXPECT_EQ(bench.units[0]->sim->Transcript().find("VPL") == std::string::npos,
              !c.report_blocked);
    if (!c.report_blocked) {
      EXPECT_NE(bench.ReportRows().back().find(",no verdict,Cannot make the folder "),
                std::string::npos);
    }
  }
}

// A start that stops early touches no port and starts nothing: status 2,
// the image's problem in tonecast's own words.
TEST(Station, NothingStartsWhenTheStartIsRefused) {
  Bench bench(std::vector<std::vector<std::string>>(1));
  std::vector<std::uint8_t> sum = BuildVpImage(8, 8, VpBreak::kChecksum);
  testsupport::WriteFile(bench.dir.file("sum.vp"), sum);
  testsupport::WriteFile(bench.dir.file("marker.vp"), BuildVpImage(8, 8, VpBreak::kHeadMarker));
  const std::string port = bench.units[0]->sim->path();
  const std::string deep = std::string(120, 'd') + "/" + std::string(120, 'e');
  std::filesystem::create_directories(bench.dir.file(deep));
  std::filesystem::copy_file(bench.dir.file("image.vp"), bench.dir.file(deep + "/image.vp"));
  struct Case {
    std::vector<std::string> args;
    std::string out;  // standard output, whole
    std::string err;  // found in standard error
  };
  const Case cases[] = {
      {{"sum.vp", port}, "\nError : Check sum NG. \n", ""},
      {{"marker.vp", port}, "\nError : Illegal file format.  (code:1)\n", ""},
      {{"-16M", "image.vp", port}, "\nError : File size error. \n", ""},
      {{"missing.vp", port}, "\nError : File not found. \n", ""},
      {{"image.vp"}, "", "no port named"},
      {{"image.vp", port, port}, "", "the same port named twice"},
      {{"image.vp", port, bench.dir.file("no-such-tty")}, "", "no such device"},
      {{"--bogus", "image.vp", port}, "", "unknown option --bogus"},
      // tonecast takes file names of up to 259 bytes.
      {{deep + "/image.vp", port}, "", "the image's path is too long for tonecast (2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.err);
    const ProcessResult r = RunProcess(Station(c.args), bench.Options());
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, c.out);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_FALSE(testsupport::FileExists(bench.logs()));
  }
  bench.units[0]->sim->Stop();
  EXPECT_EQ(bench.units[0]->sim->Transcript().find("VPL"), std::string::npos);
}

}  // namespace

// SIGQUIT asks for an end at once: the station passes it on, so no unit
// goes on flashing unwatched, and every port is free at once.
TEST(Station, QuitEndsEveryUnitAtOnce) {
  Bench bench({{"--pace"}, {"--pace"}});
  Process p(Station({"image.vp", bench.units[0]->sim->path(), bench.units[1]->sim->path()}),
            bench.Options());
  for (const auto& u : bench.units)
    ASSERT_TRUE(u->sim->WaitForTranscript("image first byte", 30000));
  p.Signal(SIGQUIT);
  EXPECT_EQ(p.Wait(20000).signal, SIGQUIT);
  for (const auto& u : bench.units) {
    // A unit left running would hold its port until its image ends.
    for (int i = 0; i < 100 && PortIsFree(u->sim->path()) != ""; ++i) usleep(20000);
    EXPECT_EQ(PortIsFree(u->sim->path()), "");
  }
}

// The record a repair line keeps: a true verdict, a report never corrupted,
// no row lost, folders that never move or collide.
namespace {

// The processes that pid started and that still run (tonecast children).
std::vector<pid_t> ChildPids(pid_t pid) {
  std::vector<pid_t> pids;
  std::error_code ec;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::istringstream in(ReadFile(task.path().string() + "/children"));
    for (pid_t child; in >> child;) pids.push_back(child);
  }
  return pids;
}

// Every line of a report file whole: a line end at the end, the header's
// number of fields on every line, never a start time inside a line.
std::string CheckReportFile(const std::string& path, std::size_t rows) {
  const std::string text = ReadFile(path);
  if (text.empty() || text.back() != '\n') return path + ": no line end at its end";
  std::istringstream in(text);
  std::string header, line;
  std::getline(in, header);
  std::size_t n = 0;
  while (std::getline(in, line)) {
    ++n;
    if (Fields(header, line).count("#")) return path + ": a line of another shape: " + line;
    if (Count(line, "T") > 0 && Count(line, ":") > 4) return path + ": two rows glued: " + line;
  }
  if (n != rows) return path + ": " + std::to_string(n) + " rows, expected " + std::to_string(rows);
  return "";
}

// The report files of a logs folder other than report.csv.
std::vector<std::string> SideReports(const std::string& logs) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(logs, ec))
    if (e.is_regular_file() && e.path().filename() != "report.csv") files.push_back(e.path());
  return files;
}

}  // namespace

// A unit's tonecast killed mid-image, with the verdict's text in the
// image's path (which tonecast echoes): no verdict, with why.
TEST(StationRecord, AKilledUnitHasNoVerdictWhateverItsConsoleSaid) {
  Bench bench({{"--pace"}, {}});
  const std::string folder = bench.dir.file("VP file transfer complete.");
  std::filesystem::create_directory(folder);
  std::filesystem::copy_file(bench.dir.file("image.vp"), folder + "/image.vp");
  Process p(Station({"VP file transfer complete./image.vp", bench.units[0]->sim->path(),
                     bench.units[1]->sim->path()}),
            bench.Options());
  ASSERT_TRUE(bench.units[0]->sim->WaitForTranscript("image first byte", 30000));
  // The paced unit's tonecast is the one still running once the other's
  // row is written.
  for (int i = 0; i < 500 && bench.ReportRows().size() < 2; ++i) usleep(20000);
  const std::vector<pid_t> children = ChildPids(p.pid());
  ASSERT_EQ(children.size(), 1u);
  kill(children[0], SIGKILL);
  const ProcessResult r = p.Wait(60000);
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  const std::vector<std::string> rows = bench.ReportRows();
  ASSERT_EQ(rows.size(), 3u);
  std::map<std::string, std::string> killed = Fields(rows[0], rows[2]);
  EXPECT_EQ(killed["verdict"] + ": " + killed["error"], "no verdict: tonecast ended by signal 9");
  EXPECT_EQ(Fields(rows[0], rows[1])["verdict"], "complete");
  const std::string label = bench.units[0]->sim->path().substr(5 + 4);  // after /dev/pts/
  EXPECT_NE(ReadFile(bench.logs(label) + "/console.txt").find("==== no verdict, "),
            std::string::npos);
}

// A report whose last line has no line end; then a run with the disk full
// (a file-size limit: the row's write is cut short, then refused); then a
// run with room again. Every line of every report file stays whole, and
// no row is lost.
TEST(StationRecord, AFullDiskNeverLeavesAPartialRowAndLosesNoRow) {
  Bench bench(std::vector<std::vector<std::string>>(1));
  const std::string port = bench.units[0]->sim->path();
  std::filesystem::create_directories(bench.logs());
  const std::string header =
      "start,round,port,device,image,image_sha256,size,flash_mbit,verdict,error,duration_s,host,"
      "tonecast_version\n";
  // 3021 bytes without a line end: with the line end added, 51 bytes below
  // a limit of 3 KiB, less than a row.
  std::string old = header + "2026-12-09T10:34:44+01:00,1,COM3,COM3,image.vp,,270600,8,NG,";
  const std::string tail = ",1.0,bench,0.5.0";
  old += std::string(3021 - old.size() - tail.size(), 'x') + tail;
  testsupport::WriteFile(bench.logs() + "/report.csv", old);
  const std::string command = "ulimit -f 3; exec \"$S\" image.vp " + port;
  const ProcessResult full =
      RunProcess({"/bin/bash", "-c", command}, bench.Options({"S=" + BinPath("tonecast-station")}));
  EXPECT_EQ(full.exit_code, 1) << full.out << full.err;
  EXPECT_NE(full.out.find("1 of 1 unit complete."), std::string::npos) << full.out;
  EXPECT_NE(full.err.find("cannot write 1 row to "), std::string::npos) << full.err;
  EXPECT_EQ(ReadFile(bench.logs() + "/report.csv"), old + "\n");
  const std::vector<std::string> side = SideReports(bench.logs());
  ASSERT_EQ(side.size(), 1u);
  EXPECT_NE(full.err.find(std::filesystem::path(side[0]).filename().string()), std::string::npos);
  EXPECT_EQ(CheckReportFile(side[0], 1), "");

  const ProcessResult freed = RunProcess(Station({"image.vp", port}), bench.Options());
  EXPECT_EQ(freed.exit_code, 0) << freed.out << freed.err;
  EXPECT_EQ(freed.err, "");
  EXPECT_EQ(CheckReportFile(bench.logs() + "/report.csv", 2), "");
  EXPECT_EQ(CheckReportFile(side[0], 1), "");
  EXPECT_EQ(Fields(header, bench.ReportRows()[2])["verdict"], "complete");
}

// A report with another header (an older station's) gets no row of this
// shape: the rows go to a file beside it, and the station says so.
TEST(StationRecord, AReportWithAnotherHeaderIsLeftAsItIs) {
  Bench bench(std::vector<std::vector<std::string>>(1));
  std::filesystem::create_directories(bench.logs());
  const std::string old =
      "start,port,device,image,size,flash_mbit,verdict,error,seconds\n"
      "2026-12-09 06:32:59,COM3,COM3,image.vp,270600,8,complete,,14.2\n";
  testsupport::WriteFile(bench.logs() + "/report.csv", old);
  for (int run = 1; run <= 2; ++run) {
    const ProcessResult r =
        RunProcess(Station({"image.vp", bench.units[0]->sim->path()}), bench.Options());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("report.csv has other columns: its rows go to "), std::string::npos)
        << r.err;
  }
  EXPECT_EQ(ReadFile(bench.logs() + "/report.csv"), old);
  EXPECT_EQ(CheckReportFile(bench.logs() + "/report-2.csv", 2), "");
}

// SIGQUIT mid-image, and a second interrupt hard on the first, end every
// unit at once, and still leave a row for each and every console file's
// closing line.
TEST(StationRecord, AnEndAtOnceMidImageLeavesARowForEveryUnit) {
  for (const std::vector<int>& signals :
       {std::vector<int>{SIGQUIT}, std::vector<int>{SIGINT, SIGINT}}) {
    SCOPED_TRACE(signals.size());
    Bench bench({{"--pace"}, {"--pace"}, {"--pace"}});
    std::vector<std::string> args = {"image.vp"};
    for (const auto& u : bench.units) args.push_back(u->sim->path());
    Process p(Station(args), bench.Options());
    for (const auto& u : bench.units)
      ASSERT_TRUE(u->sim->WaitForTranscript("image first byte", 30000));
    for (int sig : signals) p.Signal(sig);
    const ProcessResult r = p.Wait(20000);
    EXPECT_EQ(r.signal, signals[0]);
    EXPECT_EQ(CheckReportFile(bench.logs() + "/report.csv", 3), "");
    const std::vector<std::string> rows = bench.ReportRows();
    for (std::size_t i = 1; i < rows.size(); ++i) {
      std::map<std::string, std::string> f = Fields(rows[0], rows[i]);
      EXPECT_EQ(f["error"], "Interrupted.") << rows[i];
      EXPECT_TRUE(f["verdict"] == "no verdict" || (signals.size() == 2 && f["verdict"] == "NG"))
          << rows[i];
    }
    for (const auto& u : bench.units) {
      const std::string label = u->sim->path().substr(9);
      EXPECT_NE(ReadFile(bench.logs(label) + "/console.txt").find(" s ====\n"), std::string::npos)
          << label;
      EXPECT_EQ(PortIsFree(u->sim->path()), "");
    }
  }
}

// The same two devices named in opposite orders on two runs, and a port
// whose name is the report's: each device keeps its folder, whose log
// holds its own runs only, and the report stays a file.
TEST(StationRecord, AFolderDependsOnItsDeviceAlone) {
  Bench bench(std::vector<std::vector<std::string>>(3));
  std::filesystem::create_directory(bench.dir.file("a"));
  std::filesystem::create_directory(bench.dir.file("b"));
  const std::vector<std::string> links = {bench.dir.file("a/unit"), bench.dir.file("b/unit"),
                                          bench.dir.file("report.csv")};
  for (std::size_t i = 0; i < links.size(); ++i)
    ASSERT_EQ(symlink(bench.units[i]->sim->path().c_str(), links[i].c_str()), 0);
  for (const auto& order : {std::vector<int>{0, 1, 2}, std::vector<int>{2, 1, 0}}) {
    std::vector<std::string> args = {"image.vp"};
    for (int i : order) args.push_back(links[std::size_t(i)]);
    const ProcessResult r = RunProcess(Station(args), bench.Options());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  }
  EXPECT_EQ(CheckReportFile(bench.logs() + "/report.csv", 6), "");
  const std::set<std::string> folders = Folders(bench.logs());
  ASSERT_EQ(folders.size(), 3u);
  for (const std::string& folder : folders) {
    SCOPED_TRACE(folder);
    EXPECT_EQ(reliability::CheckLog(bench.logs(folder), 2), "");
    const std::string console = ReadFile(bench.logs(folder) + "/console.txt");
    std::size_t named = 0;
    for (const std::string& link : links) named += Count(console, " on " + link + " ====") > 0;
    EXPECT_EQ(named, 1u) << console;
    EXPECT_EQ(Count(console, " ====\n"), 4u);
  }
  EXPECT_EQ(FolderOf(bench.logs(), "port-report.csv").empty(), false);
}

// An Enter typed on the terminal while a --loop round runs is thrown away:
// the next round starts only on an Enter typed at the prompt.
TEST(StationRecord, EnterTypedDuringALoopRoundStartsNoRound) {
  if (!testsupport::HaveTmux()) GTEST_SKIP() << "needs tmux (apt-get install tmux)";
  Bench bench(std::vector<std::vector<std::string>>{{"--delay", "VPL=3000"}});
  Terminal terminal(bench.dir.path(), bench.Options({"S=" + BinPath("tonecast-station")}), 100,
                    "\"$S\" --loop image.vp " + bench.units[0]->sim->path());
  ASSERT_TRUE(bench.units[0]->sim->WaitForTranscript("VPL", 30000)) << terminal.Screen();
  terminal.Keys("Enter");
  std::string shown;
  for (int i = 0; i < 600 && Count(shown, "Round 1 done.") == 0; ++i) {
    usleep(50000);
    shown = terminal.Screen();
  }
  terminal.Keys("q");
  terminal.Keys("Enter");
  EXPECT_EQ(terminal.WaitForEnd(30000), 0) << terminal.Screen();
  shown = terminal.Screen();
  EXPECT_EQ(Count(shown, "Round 1 done."), 1u) << shown;
  EXPECT_EQ(Count(shown, "Round 2 done."), 0u) << shown;
  EXPECT_EQ(CheckReportFile(bench.logs() + "/report.csv", 1), "");
}

// tonecast's lines for the station, asked by TONECAST_PROGRESS=plain: its
// version, each step, each error and the verdict on standard error, while
// its console text and exit status are the same as without them.
TEST(StationRecord, TonecastTellsTheStationOnItsOwnChannel) {
  struct Case {
    std::vector<std::string> flags;
    std::string error, verdict;  // the channel's lines for them
  };
  const Case cases[] = {
      {{}, "", "step Close COM port.\nverdict complete\n"},
      {{"--fin-ng"}, "step Now waiting FIN...\nerror Check sum NG. \n", "verdict NG\n"},
  };
  for (const Case& c : cases) {
    Bench bench({c.flags});
    std::string out[2], err[2];
    int status[2] = {0, 0};
    for (int plain = 0; plain < 2; ++plain) {
      ProcessOptions o = bench.Options({bench.units[0]->sim->Env(3)});
      if (plain) o.env.push_back("TONECAST_PROGRESS=plain");
      const ProcessResult r = RunProcess({BinPath("tonecast"), "-P", "3", "image.vp"}, o);
      out[plain] = r.out;
      status[plain] = r.exit_code;
      std::istringstream in(r.err);
      for (std::string line; std::getline(in, line);)
        if (line.rfind("progress ", 0) != 0 && line.rfind("time ", 0) != 0)
          err[plain] += line + "\n";
    }
    EXPECT_EQ(out[1], out[0]);
    EXPECT_EQ(status[1], status[0]);
    EXPECT_EQ(status[1], 1);
    EXPECT_EQ(err[0], "");
    EXPECT_EQ(err[1].rfind("version 0.", 0), 0u) << err[1];
    EXPECT_NE(err[1].find("\nstep Download file#0...\n" + c.error), std::string::npos) << err[1];
    EXPECT_EQ(err[1].substr(err[1].size() - std::min(err[1].size(), c.verdict.size())), c.verdict);
  }
}

// The row's duration is the unit's own run time: a station stopped (as by
// Ctrl+Z) while its unit runs to its end does not count the stop. And the
// image is checked again before each --loop round: a round whose image
// fails starts no unit, and the prompt comes back.
TEST(StationRecord, OwnRunTimeAndTheImageCheckedBeforeEachRound) {
  Bench bench(std::vector<std::vector<std::string>>(1));
  ProcessOptions o = bench.Options();
  o.stdin_open = true;
  const auto began = std::chrono::steady_clock::now();
  Process p(Station({"--loop", "image.vp", bench.units[0]->sim->path()}), o);
  ASSERT_TRUE(bench.units[0]->sim->WaitForTranscript("VPL", 30000));
  const std::vector<pid_t> children = ChildPids(p.pid());
  ASSERT_EQ(children.size(), 1u);
  p.Signal(SIGSTOP);
  // The unit's tonecast runs to its end meanwhile (a zombie that the
  // stopped station has not reaped); the station stays stopped 3 s more.
  const std::string stat = "/proc/" + std::to_string(children[0]) + "/stat";
  for (int i = 0; i < 600; ++i) {
    const std::string text = ReadFile(stat);
    if (text.size() > text.rfind(')') + 2 && text[text.rfind(')') + 2] == 'Z') break;
    usleep(50000);
  }
  sleep(3);
  p.Signal(SIGCONT);
  ASSERT_TRUE(p.WaitForOutput("Round 1 done.", 30000)) << p.Output();
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  testsupport::WriteFile(bench.dir.file("image.vp"), BuildVpImage(8, 7, VpBreak::kChecksum));
  p.WriteStdin("\n");
  ASSERT_TRUE(p.WaitForOutput("Check sum NG", 30000)) << p.Output();
  p.WriteStdin("q\n");
  const ProcessResult r = p.Wait(30000);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(Count(r.out, "Round 1 done."), 2u) << r.out;
  EXPECT_NE(r.err.find("no unit started this round: the image failed its check"), std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("\nError : Check sum NG. \n"), std::string::npos) << r.out;
  EXPECT_EQ(CheckReportFile(bench.logs() + "/report.csv", 1), "");
  const std::vector<std::string> rows = bench.ReportRows();
  const double seconds = std::stod(Fields(rows[0], rows[1])["duration_s"]);
  EXPECT_LT(seconds, wall - 2.5) << "wall " << wall;
}
