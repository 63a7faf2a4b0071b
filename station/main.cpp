// tonecast-station: downloads one VP image to many units at once, one
// tonecast per port, each in a folder of its own under the logs folder,
// with a row per unit in the logs folder's report.csv.
#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/arguments.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/port_list.h"
#include "platform/process.h"
#include "platform/serial.h"
#include "project_version.h"
#include "station/board.h"
#include "station/children.h"
#include "station/image_check.h"
#include "station/options.h"
#include "station/paths.h"
#include "station/port_listing.h"
#include "station/port_plan.h"
#include "station/report.h"
#include "station/round.h"
#include "station/screen_text.h"
#include "station/unit_run.h"

using namespace station;

namespace {

// Exit status: every unit completed; some did not (or a report row was not
// written); nothing was started, not even one unit's tonecast.
constexpr int kAllComplete = 0;
constexpr int kSomeNotComplete = 1;
constexpr int kNothingStarted = 2;

// Never destroyed: the platform calls OnInterrupt on a thread of its own,
// which may still run while static objects are destroyed after main returns.
Children* const g_children = new Children;
// The report, once the logs folder is known; the station's last words on
// every end go through FinishReport.
Report* g_report = nullptr;
std::atomic<bool> g_report_ready{false};
// Set while the station waits at the prompt between rounds: no unit runs,
// so an interrupt ends the station at once.
std::atomic<bool> g_idle{false};

void Print(const std::string& text) {
  platform::ConsoleWrite(platform::ConsoleStream::kOutput, text.data(), text.size());
}

void PrintError(const std::string& text) {
  // Names in the text (ports, files) may carry control characters; its
  // line ends stay.
  std::string line = "tonecast-station: ";
  for (std::size_t at = 0;;) {
    const std::size_t end = text.find('\n', at);
    line += Printable(text.substr(at, end - at)) + "\n";
    if (end == std::string::npos || end + 1 == text.size()) break;
    at = end + 1;
  }
  platform::ConsoleWrite(platform::ConsoleStream::kError, line.data(), line.size());
}

// What the report could not take yet is tried again; said on standard error.
void SayReportNotes() {
  for (const std::string& note : g_report->TakeNotes()) PrintError(note);
}

// The end of the station's record: rows still kept are tried once more, and
// what still cannot be written goes to a file of its own in the logs
// folder. True when the report is whole.
bool FinishReport() {
  if (!g_report_ready.load()) return true;
  g_report->Retry(platform::InterruptLeavesLittleTime());
  SayReportNotes();
  const std::size_t kept = g_report->kept();
  if (kept == 0) return true;
  const int code = g_report->last_error();
  int err = 0;
  std::string unsaved;
  const std::string rescue = g_report->Rescue(&err, &unsaved);
  const std::string rows = std::to_string(kept) + (kept == 1 ? " row" : " rows");
  if (err == 0) {
    PrintError("cannot write " + rows + " to " + g_report->path() +
               " (code:" + std::to_string(code) + "): they are in " + rescue);
  } else {
    PrintError("cannot write " + rows + " to " + g_report->path() +
               " (code:" + std::to_string(code) + ") nor to " + rescue +
               " (code:" + std::to_string(err) + "); here they are:");
    platform::ConsoleWrite(platform::ConsoleStream::kError, unsaved.data(), unsaved.size());
  }
  return false;
}

void OnInterrupt() {
  g_children->Interrupt(platform::InterruptKind());
  if (g_idle.load()) {
    FinishReport();
    platform::InterruptExit();
  }
}

// An end at once (SIGQUIT, a second interrupt): every unit is ended now;
// the round then writes their rows and the station ends by it.
void OnEndNow() {
  g_children->EndNow(platform::InterruptUrgentReceived());
  if (g_idle.load()) {
    FinishReport();
    platform::InterruptExit();
  }
}

int Usage(const std::string& problem) {
  PrintError(problem);
  const std::string usage = UsageText();
  platform::ConsoleWrite(platform::ConsoleStream::kError, usage.data(), usage.size());
  return kNothingStarted;
}

int ListPorts() {
  std::vector<platform::SerialPortInfo> ports;
  if (const int err = platform::SerialPortList(&ports); err != 0) {
    PrintError("cannot list the serial ports (code:" + std::to_string(err) + ")");
    return kNothingStarted;
  }
  if (ports.empty()) {
    Print("No serial port found.\n");
    return kAllComplete;
  }
  Print(PortTable(ports));
  return kAllComplete;
}

// The units of a round: the ports as named, or every USB adapter found
// now. Before the first round, any problem stops the station; later, it
// leaves the round without units.
bool PlanRound(const Options& o, bool first, std::vector<UnitPort>* units) {
  units->clear();
  std::vector<std::string> names = o.ports;
  if (o.all) {
    std::vector<platform::SerialPortInfo> ports;
    if (const int err = platform::SerialPortList(&ports); err != 0) {
      PrintError("cannot list the serial ports (code:" + std::to_string(err) + ")");
      return false;
    }
    names = AdapterNames(ports);
    if (names.empty()) {
      PrintError("no USB serial adapter found");
      return false;
    }
  }
  const std::string problem = PlanUnits(names, platform::ChildPortFromEnvironment(), units);
  if (!problem.empty()) {
    PrintError(problem);
    units->clear();
    return false;
  }
  if (!first) return true;
  // A device path that is not there stops the start, as a bad argument does.
  std::error_code ec;
  for (const UnitPort& u : *units) {
    if (!u.env.empty() && !std::filesystem::exists(PathOf(u.device), ec)) {
      // Worded as tonecast words a port that does not open.
      PrintError(platform::SerialOpenAdvice(u.device.c_str(),
                                            platform::ErrorCode(platform::Failure::kNotFound)));
      units->clear();
      return false;
    }
  }
  return true;
}

// Waits at the prompt for the next round: true for Enter, false for q or
// the end of input.
bool NextRound(int round) {
  // What was typed while the round ran (an Enter to see whether the
  // station is alive) must not start the next round on half-swapped units.
  platform::ConsoleDiscardInput();
  Print("\nRound " + std::to_string(round) +
        " done. Replace the units, then press Enter for the next round (q to quit): ");
  g_idle.store(true);
  std::string line;
  for (;;) {
    int byte = -1;
    if (platform::ConsoleReadByte(&byte) != 0 || byte < 0) {
      line = "q";
      break;
    }
    if (byte == '\n') break;
    line += char(byte);
  }
  g_idle.store(false);
  // An interrupt that came just as Enter did: no round starts.
  if (g_children->interrupted()) {
    FinishReport();
    platform::InterruptExit();
  }
  const bool quit = line.find_first_of("qQ") != std::string::npos;
  if (quit) Print("\n");
  return !quit;
}

// Checks the image (again before each round: it may have changed since) and
// takes what the rows say of it. False, with why on the console, when it
// fails.
bool TakeImage(const Options& o, RunSettings* settings) {
  std::string errors;
  if (!CheckImage(o.image, o.flash, &settings->image_size, &errors)) {
    Print(errors);
    PrintError(ImageAdvice(o.image, o.flash));
    return false;
  }
  settings->image_path = AbsoluteText(o.image);
  settings->image_name = TextOf(PathOf(o.image).filename());
  // tonecast takes a file name of at most this many bytes, and is handed
  // the absolute one.
  if (settings->image_path.size() > kMaxImagePath) {
    PrintError("the image's path is too long for tonecast (" +
               std::to_string(settings->image_path.size()) + " bytes, at most " +
               std::to_string(kMaxImagePath) + "): " + settings->image_path);
    return false;
  }
  if (const int err = ImageSha256(o.image, &settings->image_sha256); err != 0) {
    PrintError("cannot read the image " + o.image + " (code:" + std::to_string(err) + ")");
    return false;
  }
  return true;
}

std::string TonecastPath() {
  const std::string folder = platform::ProgramFolder();
  const std::string name = platform::ProgramFileName("tonecast");
  return folder.empty() ? name : folder + "/" + name;
}

}  // namespace

int main(int argc, char** argv) {
  platform::ConsoleGuardStandardStreams();
  platform::ConsoleSurviveBrokenOutputs();

  // Names as typed, whatever their characters: UTF-8 from here on.
  const std::vector<std::string> args = platform::ProgramArguments(argc, argv);
  Options o;
  const std::string problem =
      ParseOptions(std::vector<std::string>(args.begin() + (args.empty() ? 0 : 1), args.end()), &o);
  if (o.help) {
    Print(UsageText());
    return kAllComplete;
  }
  if (o.version) {
    Print(std::string("tonecast-station ") + kProjectVersionText + "\n");
    return kAllComplete;
  }
  if (!problem.empty()) return Usage(problem);
  if (o.list) return ListPorts();

  // The image, before any port is touched.
  RunSettings settings;
  settings.flash = o.flash;
  if (!TakeImage(o, &settings)) return kNothingStarted;
  std::error_code ec;
  settings.host = platform::HostName();
  settings.tonecast = TonecastPath();
  if (!std::filesystem::is_regular_file(PathOf(settings.tonecast), ec)) {
    PrintError("tonecast not found at " + settings.tonecast);
    return kNothingStarted;
  }
  std::vector<UnitPort> units;
  if (!PlanRound(o, true, &units)) return kNothingStarted;
  settings.logs = o.logs;
  std::filesystem::create_directories(PathOf(settings.logs), ec);
  // What counts is a folder at the end: some runtimes report an existing
  // parent as an error.
  if (!std::filesystem::is_directory(PathOf(settings.logs), ec)) {
    PrintError("cannot make the logs folder " + settings.logs);
    return kNothingStarted;
  }
  g_report = new Report(settings.logs);
  Report& report = *g_report;
  g_report_ready.store(true);
  const bool table = platform::ConsoleCanRedraw(platform::ConsoleStream::kOutput);

  // From here an interrupt is passed on to the units; the station ends by
  // it once they have. An end at once ends the units at once, and still
  // leaves a row for each.
  if (platform::InterruptWatch(OnInterrupt) == 0) platform::InterruptHoldUrgent(OnEndNow);
  int rounds = 0;
  std::size_t units_run = 0, units_complete = 0;
  bool image_ok = true;
  for (;;) {
    if (!units.empty() && !image_ok) {
      PrintError("no unit started this round: the image failed its check");
    } else if (!units.empty()) {
      ++rounds;
      settings.round = rounds;
      report.Prepare();
      SayReportNotes();
      Print(Printable(settings.image_name) + ": " + std::to_string(o.flash) + " Mbit image, " +
            std::to_string(settings.image_size) + " bytes, to " + std::to_string(units.size()) +
            (units.size() == 1 ? " unit" : " units") + "; logs in " + Printable(settings.logs) +
            "\n");
      const std::vector<UnitView> views = RunRound(settings, units, table, g_children, &report);
      Print(SummaryText(views));
      report.Retry(platform::InterruptLeavesLittleTime());
      SayReportNotes();
      if (const std::size_t kept = report.kept(); kept > 0) {
        PrintError("cannot write " + std::to_string(kept) + (kept == 1 ? " row" : " rows") +
                   " to " + report.path() + " (code:" + std::to_string(report.last_error()) +
                   "): kept, and tried again with the next row and at the end");
      }
      units_run += views.size();
      for (const UnitView& v : views) units_complete += v.verdict == Verdict::kComplete;
    }
    if (g_children->interrupted() || !o.loop || !NextRound(rounds)) break;
    PlanRound(o, false, &units);
    image_ok = TakeImage(o, &settings);
  }
  if (o.loop && rounds > 1)
    Print(std::to_string(rounds) + " rounds: " + std::to_string(units_complete) + " of " +
          std::to_string(units_run) + " units complete.\n");
  const bool whole = FinishReport();
  // After an interrupt the station ends by it, as its units did.
  platform::InterruptExit();
  // No unit got as far as its tonecast (its folder could not be made, say).
  if (g_children->started() == 0) return kNothingStarted;
  // A unit that did not complete, or a run the report does not hold.
  if (units_complete != units_run || !whole) return kSomeNotComplete;
  return kAllComplete;
}
