#include "tools/unitsim/sim_options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

const char* const kStepNames[kStepCount] = {"VPL", "VPD", "FIN", "VPE", "TERM"};

bool ParseStep(const std::string& name, SimStep* out) {
  for (int i = 0; i < kStepCount; ++i) {
    if (name == kStepNames[i]) {
      *out = static_cast<SimStep>(i);
      return true;
    }
  }
  return false;
}

const char* const kPointNames[kFaultPointCount] = {"OPEN", "VPL", "VPD", "IMAGE", "FIN", "VPE"};

bool ParsePoint(const std::string& name, FaultPoint* out) {
  for (int i = 0; i < kFaultPointCount; ++i) {
    if (name == kPointNames[i]) {
      *out = static_cast<FaultPoint>(i);
      return true;
    }
  }
  return false;
}

bool ParseNumber(const std::string& text, long min, long max, long* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

// "STEP=N", N from 0 to max.
bool ParseStepNumber(const std::string& text, long max, SimStep* step, long* n) {
  const auto eq = text.find('=');
  if (eq == std::string::npos) return false;
  return ParseStep(text.substr(0, eq), step) && ParseNumber(text.substr(eq + 1), 0, max, n);
}

enum class Kind { kSwitch, kValue };

struct Flag {
  const char* name;
  Kind kind;
};

const Flag kFlags[] = {
    {"device", Kind::kValue},      {"link", Kind::kValue},
    {"store", Kind::kValue},
    {"transcript", Kind::kValue},  {"scenario", Kind::kValue},
    {"nak", Kind::kValue},         {"nak-then-ack", Kind::kValue},
    {"silent", Kind::kValue},      {"delay", Kind::kValue},
    {"noise", Kind::kValue},       {"overlong", Kind::kValue},
    {"vanish-after", Kind::kValue}, {"image-timeout", Kind::kValue},
    {"flood", Kind::kValue},       {"vanish-at", Kind::kValue},
    {"vanish-after-answer", Kind::kValue}, {"stall-after", Kind::kValue},
    {"flood-seed", Kind::kValue},  {"faulty-sessions", Kind::kValue},
    {"fin-ng", Kind::kSwitch},     {"no-eot", Kind::kSwitch},
    {"dirty", Kind::kSwitch},      {"trailing-line", Kind::kSwitch},
    {"pace", Kind::kSwitch},       {"any-speed", Kind::kSwitch},
    {"help", Kind::kSwitch},
};

const Flag* FindFlag(const std::string& name) {
  for (const Flag& f : kFlags)
    if (name == f.name) return &f;
  return nullptr;
}

// Applies one setting. `depth` guards against scenarios naming scenarios.
int Apply(const std::string& name, const std::string& value, SimOptions* o, bool* help,
          int depth, std::string* error) {
  SimStep step = kStepVpl;
  FaultPoint point = kAtOpen;
  long n = 0;
  const auto bad = [&](const char* what) {
    *error = "--" + name + " " + value + ": " + what;
    return 1;
  };
  if (name == "device") {
    if (value.empty()) return bad("expects the path of a tty device");
    o->device = value;
  } else if (name == "link") {
    o->link = value;
  } else if (name == "store") {
    o->store = value;
  } else if (name == "transcript") {
    o->transcript = value;
  } else if (name == "scenario") {
    if (depth > 0) return bad("a scenario cannot name another scenario");
    std::ifstream in(value, std::ios::binary);
    if (!in) return bad("cannot read the file");
    std::ostringstream text;
    text << in.rdbuf();
    return ApplyScenario(text.str(), o, error);
  } else if (name == "nak" || name == "nak-then-ack") {
    if (!ParseStep(value, &step) || step == kStepFin || step == kStepTerm)
      return bad("expects VPL, VPD or VPE");
    (name == "nak" ? o->step[step].nak : o->step[step].nak_then_ack) = true;
  } else if (name == "silent") {
    if (!ParseStep(value, &step)) return bad("expects VPL, VPD, FIN, VPE or TERM");
    o->step[step].silent = true;
  } else if (name == "delay" || name == "noise") {
    if (!ParseStepNumber(value, name == "delay" ? 3600000 : 100000, &step, &n))
      return bad("expects STEP=N with STEP one of VPL, VPD, FIN, VPE, TERM");
    (name == "delay" ? o->step[step].delay_ms : o->step[step].noise) = static_cast<int>(n);
  } else if (name == "overlong") {
    if (!ParseNumber(value, 0, 1L << 20, &n)) return bad("expects a byte count");
    o->overlong = n;
  } else if (name == "vanish-after") {
    if (!ParseNumber(value, 0, LONG_MAX, &n)) return bad("expects a byte count");
    o->vanish_after = n;
  } else if (name == "image-timeout") {
    if (!ParseNumber(value, 0, 3600000, &n)) return bad("expects milliseconds");
    o->image_timeout_ms = static_cast<int>(n);
  } else if (name == "flood") {
    const auto eq = value.find('=');
    if (eq == std::string::npos || !ParsePoint(value.substr(0, eq), &point) ||
        !ParseNumber(value.substr(eq + 1), 0, 1L << 24, &n))
      return bad("expects POINT=N with POINT one of OPEN, VPL, VPD, IMAGE, FIN, VPE");
    o->fault[point].flood = n;
  } else if (name == "vanish-at") {
    if (!ParsePoint(value, &point)) return bad("expects OPEN, VPL, VPD, IMAGE, FIN or VPE");
    o->fault[point].vanish = true;
  } else if (name == "vanish-after-answer") {
    if (!ParsePoint(value, &point) || point == kAtOpen || point == kAtImage)
      return bad("expects VPL, VPD, FIN or VPE");
    o->fault[point].vanish_answered = true;
  } else if (name == "stall-after") {
    if (!ParseNumber(value, 0, LONG_MAX, &n)) return bad("expects a byte count");
    o->stall_after = n;
  } else if (name == "flood-seed") {
    if (!ParseNumber(value, 0, 0xffffffffL, &n)) return bad("expects a number");
    o->flood_seed = static_cast<unsigned>(n);
  } else if (name == "faulty-sessions") {
    if (!ParseNumber(value, 0, LONG_MAX, &n)) return bad("expects a session count");
    o->faulty_sessions = n;
  } else if (name == "fin-ng") {
    o->fin_ng = true;
  } else if (name == "no-eot") {
    o->no_eot = true;
  } else if (name == "dirty") {
    o->dirty = true;
  } else if (name == "trailing-line") {
    o->trailing_line = true;
  } else if (name == "pace") {
    o->pace = true;
  } else if (name == "any-speed") {
    o->any_speed = true;
  } else if (name == "help") {
    if (help) *help = true;
  } else {
    *error = "unknown setting: " + name;
    return 1;
  }
  return 0;
}

}  // namespace

const char* StepName(SimStep step) { return kStepNames[step]; }

const char* FaultPointName(FaultPoint point) { return kPointNames[point]; }

int ParseSimArgs(const std::vector<std::string>& args, SimOptions* options, bool* help,
                 std::string* error) {
  *help = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0) {
      *error = "unexpected argument: " + arg;
      return 1;
    }
    std::string name = arg.substr(2);
    std::string value;
    bool inline_value = false;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inline_value = true;
    }
    const Flag* flag = FindFlag(name);
    if (!flag) {
      *error = "unknown flag: " + arg;
      return 1;
    }
    if (flag->kind == Kind::kValue && !inline_value) {
      if (i + 1 >= args.size()) {
        *error = arg + " needs a value";
        return 1;
      }
      value = args[++i];
    }
    if (Apply(name, value, options, help, 0, error) != 0) return 1;
  }
  return 0;
}

int ApplyScenario(const std::string& text, SimOptions* options, std::string* error) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string name, value, extra;
    if (!(words >> name)) continue;
    words >> value;
    if (words >> extra) {
      *error = "scenario line " + std::to_string(number) + ": too many words";
      return 1;
    }
    if (name.rfind("--", 0) == 0) name.erase(0, 2);
    const Flag* flag = FindFlag(name);
    if (!flag || name == "help") {
      *error = "scenario line " + std::to_string(number) + ": unknown setting " + name;
      return 1;
    }
    if ((flag->kind == Kind::kValue) == value.empty()) {
      *error = "scenario line " + std::to_string(number) + ": " + name +
               (value.empty() ? " needs a value" : " takes no value");
      return 1;
    }
    std::string why;
    if (Apply(name, value, options, nullptr, 1, &why) != 0) {
      *error = "scenario line " + std::to_string(number) + ": " + why;
      return 1;
    }
  }
  return 0;
}

std::string UsageText() {
  return "usage: unitsim [flags]\n"
         "       unitsim --version | --help\n"
         "A simulated telephone unit on a pseudo-terminal (or a tty device). Prints the\n"
         "line's path as its first line, serves sessions until SIGINT/SIGTERM, then\n"
         "prints a summary line.\n"
         "  --device PATH         serve on the tty device PATH instead (its far end, such as\n"
         "                        a USB gadget's host, cannot show its line speed here: the\n"
         "                        speed check is off for the run, and the transcript says so)\n"
         "  --link NAME           also publish the path as symlink NAME (removed on exit)\n"
         "  --store FILE          write every received image to FILE\n"
         "  --transcript FILE     record both directions with timestamps\n"
         "  --scenario FILE       read settings from FILE (one 'name [value]' a line, # comments)\n"
         "  --nak STEP            answer NAK (STEP: VPL, VPD, VPE)\n"
         "  --nak-then-ack STEP   answer NAK, then ACK (VPL, VPD, VPE)\n"
         "  --silent STEP         do not answer (VPL, VPD, FIN, VPE, TERM)\n"
         "  --delay STEP=MS       wait MS milliseconds before answering\n"
         "  --noise STEP=N        send N unrelated lines before the answer\n"
         "  --fin-ng              answer FIN NG to every image\n"
         "  --no-eot              terminal answers end without EOT\n"
         "  --dirty               put CR and NUL inside answer lines\n"
         "  --overlong N          send N bytes without LF before every answer\n"
         "  --trailing-line       send one more line after the ACK to VPE\n"
         "  --pace                read at the line rate (11520 bytes/s at 115200 baud)\n"
         "  --vanish-after N      hang up the line after N image bytes\n"
         "  --image-timeout MS    abandon an image stalled MS ms (default 5000, 0 never)\n"
         "  --any-speed           take commands at any line speed (default: 19200 only)\n"
         "Faults; POINT is OPEN (a session's first byte), VPL, VPD, VPE (a command's\n"
         "arrival), IMAGE (half the image in) or FIN (the image in, before its answer):\n"
         "  --flood POINT=N       send N random bytes at POINT (before any answer): CR, NUL,\n"
         "                        lines short and overlong, never the letters A, F or N;\n"
         "                        the last byte is LF. With --silent: instead of the answer\n"
         "  --flood-seed S        seed of the flood bytes (default 1)\n"
         "  --vanish-at POINT     hang up the line at POINT, before any answer\n"
         "  --vanish-after-answer STEP  hang up once the answer is out (VPL, VPD, FIN, VPE)\n"
         "  --stall-after N       stop reading the line after N image bytes, for good\n"
         "  --faulty-sessions N   misbehave in the first N sessions only (0: all); a session\n"
         "                        begins with its first byte and ends with the answer to\n"
         "                        VPE or to a terminal command, or with a new VPL\n";
}
