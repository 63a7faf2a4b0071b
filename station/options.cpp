#include "station/options.h"

namespace station {

namespace {

// tonecast's flash-size options, with its tolerance of a lower-case m.
bool FlashOption(const std::string& arg, int* flash) {
  if (arg == "-8M" || arg == "-8m") {
    *flash = 8;
    return true;
  }
  if (arg == "-16M" || arg == "-16m") {
    *flash = 16;
    return true;
  }
  return false;
}

}  // namespace

std::string UsageText() {
  return "usage: tonecast-station [-8M|-16M] [--logs DIR] [--loop] IMAGE PORT...\n"
         "       tonecast-station [-8M|-16M] [--logs DIR] [--loop] --all IMAGE\n"
         "       tonecast-station --list\n"
         "       tonecast-station --version | --help\n"
         "Downloads the VP image to every unit at once, one tonecast per port.\n"
         "  PORT        COM<n>, or a device path (/dev/ttyUSB0, /dev/serial/by-id/...)\n"
         "  --all       every USB serial adapter that --list finds\n"
         "  --list      the serial ports: name, kind, USB ids, maker, product, serial,\n"
         "              stable name, description\n"
         "  --logs DIR  the logs folder (default tonecast-logs): a folder per port\n"
         "              with tonecast.log and console.txt, and report.csv\n"
         "  --loop      after each round, wait for Enter to run the next (q quits)\n"
         "  -8M, -16M   the flash size (default 8 Mbit)\n";
}

std::string ParseOptions(const std::vector<std::string>& args, Options* o) {
  bool options_end = false;
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_end || a.empty() || a[0] != '-' || a == "-") {
      words.push_back(a);
    } else if (a == "--") {
      options_end = true;
    } else if (a == "-h" || a == "--help") {
      o->help = true;
    } else if (a == "--version") {
      o->version = true;
    } else if (a == "--list") {
      o->list = true;
    } else if (a == "--all") {
      o->all = true;
    } else if (a == "--loop") {
      o->loop = true;
    } else if (FlashOption(a, &o->flash)) {
    } else if (a == "--logs") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return "--logs needs a folder";
      o->logs = args[++i];
    } else if (a.rfind("--logs=", 0) == 0) {
      o->logs = a.substr(7);
      if (o->logs.empty()) return "--logs needs a folder";
    } else {
      return "unknown option " + a;
    }
  }
  if (o->help || o->version) return "";
  if (o->list) {
    if (!words.empty() || o->all || o->loop) return "--list takes nothing else";
    return "";
  }
  if (words.empty()) return "no image named";
  o->image = words[0];
  o->ports.assign(words.begin() + 1, words.end());
  if (o->all && !o->ports.empty()) return "name ports or --all, not both";
  if (!o->all && o->ports.empty()) return "no port named (name ports, or --all)";
  return "";
}

}  // namespace station
