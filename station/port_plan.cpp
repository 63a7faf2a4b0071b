#include "station/port_plan.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "platform/common/port_name.h"
#include "platform/file.h"
#include "station/paths.h"
#include "station/report.h"

namespace station {

namespace {

// The device a name stands for, to find one port named twice (a device path
// and a link to it): the resolved path where it exists, else the name.
std::string Identity(const UnitPort& unit) {
  std::error_code ec;
  const std::filesystem::path resolved = std::filesystem::canonical(PathOf(unit.device), ec);
  return ec ? unit.device : TextOf(resolved);
}

// FNV-1a over the text: a short, stable mark of a path for a folder name.
std::string PathMark(const std::string& text) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : text) {
    h ^= c;
    h *= 16777619u;
  }
  char mark[9];
  std::snprintf(mark, sizeof mark, "%08x", h);
  return mark;
}

// Folders whose entries name one device each, and whose names do not
// repeat among them: a port there is known by its last name alone.
bool InDeviceFolder(const std::string& absolute) {
  const std::size_t slash = absolute.rfind('/');
  if (slash == std::string::npos) return false;
  const std::string parent = absolute.substr(0, slash);
  return parent == "/dev" || parent == "/dev/pts" || parent == "/dev/serial/by-id";
}

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return text;
}

}  // namespace

bool ParseComName(const std::string& name, int* n) {
  if (!platform::IsNumberedPortName(name.c_str())) return false;
  int value = 0;  // at most nine digits: within an int
  for (std::size_t i = 3; i < name.size(); ++i) value = value * 10 + (name[i] - '0');
  if (value == 0) return false;
  *n = value;
  return true;
}

std::string LabelFor(const std::string& name) {
  std::string last = name;
  const std::size_t slash = last.find_last_of("/\\");
  if (slash != std::string::npos) last = last.substr(slash + 1);
  std::string label;
  for (char c : last) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    label += plain ? c : '_';
  }
  if (label.empty() || label.find_first_not_of('.') == std::string::npos) label = "port" + label;
  return label;
}

std::string FolderFor(const std::string& name, bool numbered) {
  std::string folder = LabelFor(name);
  if (!numbered) {
    const std::string absolute = AbsoluteText(name);
    if (!InDeviceFolder(absolute)) folder += "-" + PathMark(absolute);
  }
  if (IsReportFileName(folder)) folder = "port-" + folder;
  if (platform::FileNameReservedForDevice(folder.c_str())) folder += "_";
  return folder;
}

std::string PlanUnits(const std::vector<std::string>& names, bool by_environment,
                      std::vector<UnitPort>* units) {
  units->clear();
  std::set<int> named;
  for (const std::string& name : names) {
    int n = 0;
    if (ParseComName(name, &n)) named.insert(n);
  }
  std::set<std::string> identities;
  std::map<std::string, std::string> folders;  // folder, in upper case -> the name
  int next_free = 1;
  for (const std::string& named_as : names) {
    if (named_as.empty()) return "an empty port name";
    UnitPort unit;
    // COM03 is the port tonecast -P 3 opens: COM3, in its environment, its
    // folder and its identity alike.
    const bool numbered = ParseComName(named_as, &unit.com);
    const std::string name = numbered ? "COM" + std::to_string(unit.com) : named_as;
    unit.name = name;
    if (numbered) {
      const char* mapped = by_environment ? std::getenv(name.c_str()) : nullptr;
      if (mapped && *mapped) {
        unit.device = mapped;
      } else if (by_environment) {
        // What tonecast opens for a COM<n> without a mapping.
        unit.device = "/dev/ttyS" + std::to_string(unit.com - 1);
      } else {
        unit.device = name;
      }
      // The child works in a folder of its own: a relative device path in
      // the mapping is handed on as the absolute one it means here.
      if (mapped && *mapped && PathOf(mapped).is_relative())
        unit.env = name + "=" + AbsoluteText(mapped);
    } else if (!by_environment) {
      return name + ": not a port name here (ports are named COM<n>)";
    } else {
      while (named.count(next_free)) ++next_free;
      unit.com = next_free++;
      unit.device = name;
      unit.env = "COM" + std::to_string(unit.com) + "=" + AbsoluteText(name);
    }
    if (!identities.insert(Identity(unit)).second) return named_as + ": the same port named twice";
    // The folder depends on the port's name alone, so a device keeps its
    // folder from run to run whatever else is named. Folders are told apart
    // regardless of case, as some systems do.
    unit.label = LabelFor(name);
    unit.folder = FolderFor(name, numbered);
    const auto [at, added] = folders.emplace(Upper(unit.folder), named_as);
    if (!added)
      return named_as + ": its folder " + unit.folder + " would be the folder of " + at->second;
    units->push_back(unit);
  }
  return "";
}

}  // namespace station
