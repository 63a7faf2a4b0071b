// tonecast_bench: figures for the downloader, the station and the command
// terminal, measured against the simulated unit on pseudo-terminals and
// printed side by side. Nothing here passes or fails on timing; a run that goes wrong
// (no "transfer complete", an image the unit refused) is named, its figures
// are left out and the exit status is 1.
//
//   tonecast_bench [--bin DIR] [--reps N] [--enter-reps N] [--quick] [--no-paced]
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_transcript.h"
#include "bench/plain_peer.h"
#include "bench/station_round.h"
#include "tests/support/process.h"
#include "tests/support/pty.h"
#include "tests/support/unitsim.h"
#include "tools/vpimage/vp_builder.h"

namespace {

using testsupport::Process;
using testsupport::ProcessOptions;
using testsupport::ProcessResult;
using testsupport::UnitSim;

constexpr int kPausesMs = 1000;  // the two 500 ms pauses after the speed changes
constexpr double kImageBaud = 115200;
constexpr int kComPort = 3;
// Units at once through the station.
constexpr int kStationUnits = 8;
// ~20 bytes on the wire: the words, two blanks and the closing CR.
const std::vector<std::string> kCommandWords = {"VER", "0123456789", "ABCDE"};
const char kCommandQuoted[] = "VER 0123456789 ABCDE\\r";

struct Settings {
  std::string bin;
  int reps = 5;
  int enter_reps = 10;
  bool paced = true;
  bool paced_16 = true;
};

struct Context {
  Settings settings;
  std::string dir;  // scratch directory
  std::string image_path[2];
  std::vector<std::uint8_t> image[2];
  int runs = 0;  // numbers the transcripts
};

int FlashMbit(int k) { return k == 0 ? 8 : 16; }

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Max(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }
double Min(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

// The simulated unit in the scratch directory, with a transcript of its own
// per run. Null when it did not start.
std::unique_ptr<UnitSim> StartUnit(Context* c, std::vector<std::string> flags) {
  flags.push_back("--transcript");
  flags.push_back(c->dir + "/unit-" + std::to_string(++c->runs) + ".transcript");
  try {
    return std::make_unique<UnitSim>(flags, c->dir, c->settings.bin + "/unitsim");
  } catch (const std::exception&) {
    return nullptr;
  }
}

// Stops the unit and gives its transcript.
std::string StopUnit(UnitSim* u) {
  u->Stop();
  return u->Transcript();
}

// Options for a program run in the scratch directory on port COM3 of unit.
ProcessOptions OnUnit(const Context* c, const UnitSim& unit, int timeout_ms) {
  ProcessOptions o;
  o.env = {unit.Env(kComPort)};
  o.cwd = c->dir;
  o.timeout_ms = timeout_ms;
  return o;
}

// A unit started for one tonecast run, and that run's command line and
// options: tonecast -P 3 [-16M] <image k> in the scratch directory.
struct TonecastRun {
  std::unique_ptr<UnitSim> unit;  // null when it did not start
  std::vector<std::string> argv;
  ProcessOptions options;
};

// The transfer and the interrupt start their unit and tonecast alike.
TonecastRun StartTonecastRun(Context* c, int k, const std::vector<std::string>& flags,
                             int timeout_ms) {
  TonecastRun run;
  run.unit = StartUnit(c, flags);
  if (!run.unit) return run;
  run.argv = {c->settings.bin + "/tonecast", "-P", std::to_string(kComPort)};
  if (k == 1) run.argv.push_back("-16M");
  run.argv.push_back(c->image_path[k]);
  run.options = OnUnit(c, *run.unit, timeout_ms);
  return run;
}

struct TransferFigures {
  bool ok = false;
  std::string problem;
  double wall_s = 0;
  double cpu_s = 0;
  double image_s = 0;  // first to last image byte as the unit read them
};

// stopped_console: standard error is a terminal that the user stopped
// (Ctrl+S) before the run and lets go (Ctrl+Q) only once the unit has the
// whole image, so the progress line cannot be drawn meanwhile.
TransferFigures RunTransfer(Context* c, int k, bool paced, bool stopped_console = false) {
  TransferFigures f;
  std::vector<std::string> flags = {"--trailing-line"};
  if (paced) flags.push_back("--pace");
  TonecastRun run = StartTonecastRun(c, k, flags, 300000);
  if (!run.unit) {
    f.problem = "unitsim did not start";
    return f;
  }
  const std::unique_ptr<UnitSim>& unit = run.unit;
  std::vector<std::string>& argv = run.argv;
  ProcessOptions& options = run.options;
  const std::string ok_end = "image end bytes=" + std::to_string(c->image[k].size()) + " OK";
  ProcessResult end;
  if (stopped_console) {
    testsupport::PtyPair screen;
    termios t{};
    tcgetattr(screen.slave(), &t);
    t.c_iflag |= IXON;
    tcsetattr(screen.slave(), TCSANOW, &t);
    screen.Send("\x13");
    argv.insert(argv.begin(), {"/bin/bash", "-c", "exec \"$@\" 2>" + screen.slave_path(), "-"});
    options.env.push_back("TERM=xterm");
    Process tonecast(argv, options);
    unit->WaitForTranscript(ok_end, 300000);
    screen.Send("\x11");
    end = tonecast.Wait(300000);
  } else {
    end = testsupport::RunProcess(argv, options);
  }
  const std::string transcript = StopUnit(unit.get());
  const std::string& out = end.out;
  f.wall_s = end.wall_s;
  f.cpu_s = end.cpu_s;
  std::int64_t first = 0, last = 0;
  if (end.timed_out) {
    f.problem = "tonecast ran over 300 s";
  } else if (out.find("VP file transfer complete.\n") == std::string::npos) {
    f.problem = "no \"VP file transfer complete.\"";
  } else if (!bench::RecordTime(transcript, "image first byte", &first) ||
             !bench::RecordTime(transcript, ok_end, &last)) {
    f.problem = "the unit's transcript lacks the image records";
  } else {
    f.image_s = double(last - first) / 1e6;
    f.ok = true;
  }
  return f;
}

// SIGINT during the image on a paced line: the time from the signal to the
// process's end (the write cut short, the port closed, the log ended, the
// verdict printed, the default action raised again).
struct InterruptFigures {
  bool ok = false;
  std::string problem;
  double to_exit_ms = 0;
};

InterruptFigures RunInterrupt(Context* c) {
  InterruptFigures f;
  const TonecastRun run = StartTonecastRun(c, 0, {"--pace"}, 60000);
  if (!run.unit) {
    f.problem = "unitsim did not start";
    return f;
  }
  const std::unique_ptr<UnitSim>& unit = run.unit;
  Process p(run.argv, run.options);
  const bool in_image = p.WaitForOutput("Download file#0...", 20000);
  std::this_thread::sleep_for(std::chrono::seconds(2));  // well into the image
  const auto sent = std::chrono::steady_clock::now();
  p.Signal(SIGINT);
  // The end, seen at once (the child is reaped below).
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(p.pid()), &info, WEXITED | WNOWAIT) != 0 &&
         errno == EINTR) {
  }
  const auto ended = std::chrono::steady_clock::now();
  const ProcessResult end = p.Wait(20000);
  StopUnit(unit.get());
  if (!in_image) {
    f.problem = "the image write never began";
  } else if (end.timed_out || end.signal != SIGINT) {
    f.problem = "tonecast did not end by the signal";
  } else if (end.out.find("\nError : Interrupted.\n") == std::string::npos) {
    f.problem = "no \"Error : Interrupted.\"";
  } else {
    f.to_exit_ms = std::chrono::duration<double, std::milli>(ended - sent).count();
    f.ok = true;
  }
  return f;
}

struct TerminalFigures {
  bool ok = false;
  std::string problem;
  std::vector<double> gaps_ms;
  double min_pair_ms = 0;  // shortest sum of two neighbouring gaps, halved
  double enter_to_exit_ms = 0;
  double cpu_share = 0;
};

TerminalFigures RunTerminal(Context* c) {
  TerminalFigures f;
  const std::unique_ptr<UnitSim> unit = StartUnit(c, {"--no-eot"});
  if (!unit) {
    f.problem = "unitsim did not start";
    return f;
  }
  testsupport::WriteFile(c->dir + "/comm.txt", std::string("COM3"));
  std::vector<std::string> argv = {c->settings.bin + "/linepoke"};
  argv.insert(argv.end(), kCommandWords.begin(), kCommandWords.end());
  ProcessOptions o = OnUnit(c, *unit, 10000);
  o.stdin_open = true;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point spawned = Clock::now();
  Process child(argv, o);
  const bool answered = child.WaitForOutput("READY\r\n", 10000);
  Clock::time_point enter = spawned;
  if (answered) {
    // A quiet line for a moment, then Enter.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    enter = Clock::now();
    child.WriteStdin("\n");
  }
  const ProcessResult end = child.Wait(answered ? 10000 : 1000);
  const std::string transcript = StopUnit(unit.get());
  if (!answered) {
    f.problem = "no answer shown";
  } else if (end.timed_out || end.exit_code != 0) {
    f.problem = "linepoke did not end with status 0 after Enter";
  } else {
    for (const auto g : bench::Gaps(bench::CommandArrivals(transcript, kCommandQuoted)))
      f.gaps_ms.push_back(double(g) / 1000.0);
    for (std::size_t i = 1; i < f.gaps_ms.size(); ++i) {
      const double pair = (f.gaps_ms[i - 1] + f.gaps_ms[i]) / 2;
      if (i == 1 || pair < f.min_pair_ms) f.min_pair_ms = pair;
    }
    if (f.gaps_ms.empty()) {
      f.problem = "the unit's transcript lacks the command";
    } else {
      // The exit as seen by the reaper, which looks every 2 ms.
      f.enter_to_exit_ms =
          std::chrono::duration<double, std::milli>(spawned - enter).count() + end.wall_s * 1e3;
      f.cpu_share = end.wall_s > 0 ? end.cpu_s / end.wall_s : 0;
      f.ok = true;
    }
  }
  return f;
}

// Progress on a terminal's standard error, overwritten in place; nothing
// when it is not a terminal, so that a captured table stays clean.
void Progress(const std::string& text) {
  static const bool shown = isatty(2) == 1;
  if (shown) std::fprintf(stderr, "\r%-70s\r%s", "", text.c_str());
}

// Table output: a label and one cell per column.
void Row(const char* label, const std::string& a, const std::string& b) {
  std::printf("  %-50s %14s %14s\n", label, a.c_str(), b.c_str());
}

std::string Fmt(const char* format, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

std::string Note(const std::vector<std::string>& problems) {
  return problems.empty() ? "" : problems.front();
}

int ParseArgs(int argc, char** argv, Settings* s) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](int* out) {
      if (i + 1 >= argc) return false;
      *out = std::atoi(argv[++i]);
      return *out > 0;
    };
    if (a == "--bin" && i + 1 < argc) s->bin = argv[++i];
    else if (a == "--reps") { if (!value(&s->reps)) return 1; }
    else if (a == "--enter-reps") { if (!value(&s->enter_reps)) return 1; }
    else if (a == "--quick") s->paced_16 = false;
    else if (a == "--no-paced") s->paced = false;
    else return 1;
  }
  return 0;
}

// The directory this program was started from: the programs it runs are
// built beside it.
std::string OwnDirectory() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : self.parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  signal(SIGPIPE, SIG_IGN);
  Context c;
  c.settings.bin = OwnDirectory();
  if (ParseArgs(argc, argv, &c.settings) != 0) {
    std::fprintf(stderr,
                 "usage: tonecast_bench [--bin DIR] [--reps N] [--enter-reps N] [--quick] "
                 "[--no-paced]\n"
                 "  --quick      paced run of the 8 Mbit image only (saves ~85 s)\n"
                 "  --no-paced   no paced runs at all\n");
    return 2;
  }
  for (const char* p : {"tonecast", "tonecast-station", "linepoke", "unitsim"}) {
    if (access((c.settings.bin + "/" + p).c_str(), X_OK) != 0) {
      std::fprintf(stderr, "tonecast_bench: %s/%s not found (build it, or name --bin)\n",
                   c.settings.bin.c_str(), p);
      return 2;
    }
  }
  std::unique_ptr<testsupport::TempDir> scratch;
  try {
    scratch = std::make_unique<testsupport::TempDir>();
  } catch (const std::exception&) {
    std::perror("tonecast_bench: scratch directory");
    return 1;
  }
  c.dir = scratch->path();
  for (int k = 0; k < 2; ++k) {
    c.image[k] = BuildVpImage(FlashMbit(k), 7);
    c.image_path[k] = c.dir + "/image" + std::to_string(FlashMbit(k)) + ".vp";
    testsupport::WriteFile(c.image_path[k], c.image[k]);
  }
  double load[1] = {0};
  getloadavg(load, 1);
  std::printf("tonecast benchmark: %u cpus, load %.2f, %d repetitions (median), programs in %s\n\n",
              std::thread::hardware_concurrency(), load[0], c.settings.reps,
              c.settings.bin.c_str());

  // Unpaced transfers and the plain pseudo-terminal peer.
  std::vector<double> wall[2], cpu[2], phase[2], plain[2];
  std::vector<std::string> problems[2];
  for (int r = 0; r < c.settings.reps; ++r) {
    for (int k = 0; k < 2; ++k) {
      Progress("measuring: transfer " + std::to_string(FlashMbit(k)) + " Mbit, run " +
               std::to_string(r + 1) + " of " + std::to_string(c.settings.reps));
      const TransferFigures f = RunTransfer(&c, k, false);
      if (!f.ok) {
        problems[k].push_back(f.problem);
        continue;
      }
      wall[k].push_back(f.wall_s - kPausesMs / 1000.0);
      cpu[k].push_back(f.cpu_s);
      phase[k].push_back(f.image_s);
      double s = 0;
      if (bench::PlainPeerTransfer(c.image[k], &s) == 0) plain[k].push_back(s);
      else problems[k].push_back("plain pseudo-terminal peer failed");
    }
  }

  // Paced transfers: one each, they take as long as the real line.
  TransferFigures paced[2];
  bool paced_run[2] = {c.settings.paced, c.settings.paced && c.settings.paced_16};
  for (int k = 0; k < 2; ++k) {
    if (!paced_run[k]) continue;
    Progress("measuring: paced transfer " + std::to_string(FlashMbit(k)) + " Mbit (~" +
             std::to_string(int(double(c.image[k].size()) * 10 / kImageBaud + 1.5)) + " s)");
    paced[k] = RunTransfer(&c, k, true);
  }
  TransferFigures stopped;
  if (c.settings.paced) {
    Progress("measuring: paced transfer 8 Mbit with the console stopped (~24 s)");
    stopped = RunTransfer(&c, 0, true, true);
  }

  // Eight units at the line rate through the station.
  bench::StationFigures station;
  if (c.settings.paced) {
    Progress("measuring: " + std::to_string(kStationUnits) +
             " paced units through tonecast-station (~25 s)");
    station = bench::RunStationRound(c.settings.bin, c.dir, c.image_path[0], c.image[0].size(),
                                     kStationUnits);
  }

  // Interrupts mid-image.
  std::vector<double> to_exit;
  std::vector<std::string> int_problems;
  for (int r = 0; c.settings.paced && r < c.settings.reps; ++r) {
    Progress("measuring: SIGINT mid-image, run " + std::to_string(r + 1) + " of " +
             std::to_string(c.settings.reps));
    const InterruptFigures f = RunInterrupt(&c);
    if (f.ok)
      to_exit.push_back(f.to_exit_ms);
    else
      int_problems.push_back(f.problem);
  }

  // The terminal.
  std::vector<double> gaps, pairs, enter, lp_share;
  std::vector<std::string> lp_problems;
  for (int r = 0; r < c.settings.enter_reps; ++r) {
    Progress("measuring: linepoke, run " + std::to_string(r + 1) + " of " +
             std::to_string(c.settings.enter_reps));
    const TerminalFigures f = RunTerminal(&c);
    if (!f.ok) {
      lp_problems.push_back(f.problem);
      continue;
    }
    gaps.insert(gaps.end(), f.gaps_ms.begin(), f.gaps_ms.end());
    pairs.push_back(f.min_pair_ms);
    enter.push_back(f.enter_to_exit_ms);
    lp_share.push_back(f.cpu_share);
  }
  Progress("");

  // The table.
  auto cell = [](const std::vector<double>& v, const char* format) {
    return v.empty() ? std::string("n/a") : Fmt(format, Median(v));
  };
  std::printf("tonecast against the simulated unit (no pacing)\n");
  Row("", "8 Mbit", "16 Mbit");
  Row("image bytes", std::to_string(c.image[0].size()), std::to_string(c.image[1].size()));
  Row("good runs", std::to_string(wall[0].size()), std::to_string(wall[1].size()));
  Row("wall time minus the 2 x 500 ms pauses, median (s)", cell(wall[0], "%.3f"),
      cell(wall[1], "%.3f"));
  Row("  slowest run (s)", wall[0].empty() ? "n/a" : Fmt("%.3f", Max(wall[0])),
      wall[1].empty() ? "n/a" : Fmt("%.3f", Max(wall[1])));
  Row("CPU time user+sys, median (s)", cell(cpu[0], "%.3f"), cell(cpu[1], "%.3f"));
  Row("image phase at the unit, first to last byte (s)", cell(phase[0], "%.3f"),
      cell(phase[1], "%.3f"));
  Row("image phase, plain writer on a fresh pty (s)", cell(plain[0], "%.3f"),
      cell(plain[1], "%.3f"));
  auto ratio = [](const std::vector<double>& a, const std::vector<double>& b) {
    return a.empty() || b.empty() || Median(b) <= 0 ? std::string("n/a")
                                                    : Fmt("%.2fx", Median(a) / Median(b));
  };
  Row("  ratio unit / plain", ratio(phase[0], plain[0]), ratio(phase[1], plain[1]));
  Row("  throughput at the unit (MB/s)",
      phase[0].empty() ? "n/a" : Fmt("%.1f", double(c.image[0].size()) / Median(phase[0]) / 1e6),
      phase[1].empty() ? "n/a" : Fmt("%.1f", double(c.image[1].size()) / Median(phase[1]) / 1e6));
  for (int k = 0; k < 2; ++k)
    if (!problems[k].empty())
      std::printf("  note: %d Mbit: %zu failure(s), first: %s\n", FlashMbit(k), problems[k].size(),
                  Note(problems[k]).c_str());

  if (paced_run[0] || paced_run[1]) {
    std::printf("\ntonecast against the unit reading at the line rate (unitsim --pace)\n");
    Row("", "8 Mbit", "16 Mbit");
    auto pcell = [&](int k, double v, const char* format) {
      if (!paced_run[k]) return std::string("skipped");
      if (!paced[k].ok) return std::string("n/a");
      return Fmt(format, v);
    };
    double floor_s[2];
    for (int k = 0; k < 2; ++k) floor_s[k] = double(c.image[k].size()) * 10 / kImageBaud;
    Row("physical floor, bytes x 10 / 115200 (s)", Fmt("%.3f", floor_s[0]), Fmt("%.3f", floor_s[1]));
    Row("image phase at the unit (s)", pcell(0, paced[0].image_s, "%.3f"),
        pcell(1, paced[1].image_s, "%.3f"));
    Row("  ratio phase / floor", pcell(0, paced[0].image_s / floor_s[0], "%.4f"),
        pcell(1, paced[1].image_s / floor_s[1], "%.4f"));
    Row("image phase, console stopped (Ctrl+S) throughout (s)",
        stopped.ok ? Fmt("%.3f", stopped.image_s) : "n/a", "");
    Row("wall time of the run (s)", pcell(0, paced[0].wall_s, "%.3f"),
        pcell(1, paced[1].wall_s, "%.3f"));
    Row("CPU time user+sys (s)", pcell(0, paced[0].cpu_s, "%.3f"), pcell(1, paced[1].cpu_s, "%.3f"));
    Row("  CPU share while it waits (CPU / wall)",
        pcell(0, 100 * paced[0].cpu_s / (paced[0].wall_s > 0 ? paced[0].wall_s : 1), "%.2f%%"),
        pcell(1, 100 * paced[1].cpu_s / (paced[1].wall_s > 0 ? paced[1].wall_s : 1), "%.2f%%"));
    for (int k = 0; k < 2; ++k)
      if (paced_run[k] && !paced[k].ok)
        std::printf("  note: %d Mbit paced: %s\n", FlashMbit(k), paced[k].problem.c_str());
    if (!stopped.ok) std::printf("  note: console stopped: %s\n", stopped.problem.c_str());
  }

  if (c.settings.paced) {
    std::printf("\ntonecast-station: %d units at once at the line rate (unitsim --pace), 8 Mbit\n",
                kStationUnits);
    const bool both = station.ok && paced[0].ok;
    std::printf("  %-50s %29s\n", "one unit alone, tonecast: wall time (s)",
                paced[0].ok ? Fmt("%.3f", paced[0].wall_s).c_str() : "n/a");
    std::printf("  %-50s %29s\n", "all units through the station: wall time (s)",
                station.ok ? Fmt("%.3f", station.wall_s).c_str() : "n/a");
    std::printf("  %-50s %29s\n", "  ratio station / one alone (goal <= 1.03)",
                both ? Fmt("%.4f", station.wall_s / paced[0].wall_s).c_str() : "n/a");
    std::printf("  %-50s %29s\n", "  slowest image phase at a unit (s)",
                station.ok ? Fmt("%.3f", station.slowest_image_s).c_str() : "n/a");
    std::printf("  %-50s %29s\n", "the station's own CPU time, user+sys (s)",
                station.ok ? Fmt("%.3f", station.own_cpu_s).c_str() : "n/a");
    std::printf("  %-50s %29s\n", "  share of its wall time (goal <= 1 %)",
                station.ok ? Fmt("%.3f%%", 100 * station.own_cpu_s / station.wall_s).c_str()
                           : "n/a");
    std::printf("  %-50s %29s\n", "its tonecasts' CPU time together, user+sys (s)",
                station.ok ? Fmt("%.3f", station.children_cpu_s).c_str() : "n/a");
    std::printf("  how: the station's utime+stime from /proc/<pid>/stat, read after it ended and\n"
                "  before it was reaped (waitid WNOWAIT): its own time only; its reaped children's\n"
                "  is cutime+cstime, shown apart (wait4's figure would hold both)\n");
    if (!station.ok) std::printf("  note: %s\n", station.problem.c_str());

    std::printf("\ntonecast interrupted mid-image on a paced line (SIGINT, %zu good runs)\n",
                to_exit.size());
    std::printf("  %-50s %29s\n", "SIGINT to process end, median / max (ms)",
                to_exit.empty()
                    ? "n/a"
                    : (Fmt("%.1f", Median(to_exit)) + " / " + Fmt("%.1f", Max(to_exit))).c_str());
    if (!int_problems.empty())
      std::printf("  note: %zu failure(s), first: %s\n", int_problems.size(),
                  int_problems[0].c_str());
  }

  std::printf("\nlinepoke against the simulated unit (command of %zu bytes, %zu good runs)\n",
              std::string(kCommandQuoted).size() - 1, enter.size());
  auto ms3 = [&](const std::vector<double>& v) {
    return v.empty() ? std::string("n/a")
                     : Fmt("%.2f", Min(v)) + " / " + Fmt("%.2f", Median(v)) + " / " +
                           Fmt("%.2f", Max(v));
  };
  std::printf("  %-50s %29s\n", "gaps between bytes at the unit, min/median/max (ms)",
              ms3(gaps).c_str());
  double span_ms = 0;
  std::size_t span_gaps = 0;
  for (const double g : gaps) span_ms += g, ++span_gaps;
  std::printf("  %-50s %29s\n", "average gap (all gaps / their number) (ms)",
              span_gaps ? Fmt("%.2f", span_ms / double(span_gaps)).c_str() : "n/a");
  const long short_gaps = std::count_if(gaps.begin(), gaps.end(), [](double g) { return g < 10; });
  std::printf("  %-50s %29s\n", "gaps under 10 ms at the unit (count / all)",
              (std::to_string(short_gaps) + " / " + std::to_string(gaps.size())).c_str());
  // A byte that reaches the unit late shortens the gap after it by as much
  // as it lengthens the one before: two neighbouring gaps together still
  // show the pacing.
  std::printf("  %-50s %29s\n", "shortest two neighbouring gaps, halved (ms)",
              pairs.empty() ? "n/a" : Fmt("%.2f", Min(pairs)).c_str());
  std::printf("  %-50s %29s\n", "Enter to exit on a quiet line, median / max (ms)",
              enter.empty() ? "n/a"
                            : (Fmt("%.2f", Median(enter)) + " / " + Fmt("%.2f", Max(enter))).c_str());
  std::printf("  %-50s %29s\n", "CPU / wall of a run (busy-wait pacing), median",
              lp_share.empty() ? "n/a" : Fmt("%.0f%%", 100 * Median(lp_share)).c_str());
  if (!lp_problems.empty())
    std::printf("  note: %zu failure(s), first: %s\n", lp_problems.size(), lp_problems[0].c_str());

  scratch.reset();  // removes the scratch directory
  // Timing never fails the benchmark; a run that went wrong does.
  bool failed = !problems[0].empty() || !problems[1].empty() || !lp_problems.empty() ||
                !int_problems.empty();
  for (int k = 0; k < 2; ++k) failed = failed || (paced_run[k] && !paced[k].ok);
  failed = failed || (c.settings.paced && !stopped.ok);
  failed = failed || (c.settings.paced && !station.ok);
  return failed ? 1 : 0;
}
