// The units of a round: from the ports the user named (or --all found) to
// what each tonecast child gets (its -P number, the environment entry that
// hands it a device path) and the name of its folder in the logs folder.
#pragma once

#include <string>
#include <vector>

namespace station {

struct UnitPort {
  std::string name;    // as named or listed, COM<n> in its plain form: "COM3",
                       // "/dev/serial/by-id/usb-..."
  std::string label;   // shown: "COM3", "ttyUSB0", "usb-..."
  std::string folder;  // its folder in the logs folder (FolderFor)
  int com = 0;         // tonecast's -P number
  std::string env;     // "COM<n>=<device>" for the child (the device's absolute
                       // path), or "" (a COM<n> name that keeps the mapping
                       // of the station's environment as it stands)
  std::string device;  // what the port opens, as far as the station knows
};

// Plans the units. COM<n> names keep their number, in its plain form (COM03
// is COM3) (and, where the platform
// maps names through the environment, the mapping of the station's own
// environment); other names are device paths, handed over through a
// COM<n> entry of the child's environment with an n that no named COM<n>
// uses, which by_environment says the platform allows. The same port named
// twice is refused (a link and its device; COM<n> without a mapping and the
// /dev/ttyS<n-1> it opens), and so are two ports whose folders would be one.
// Returns "" or what is wrong.
std::string PlanUnits(const std::vector<std::string>& names, bool by_environment,
                      std::vector<UnitPort>* units);

// A port's folder in the logs folder, from its name alone: the label for
// COM<n> and for a device in /dev, /dev/pts or /dev/serial/by-id; for a path
// elsewhere the label, '-' and 8 hex digits that stand for its absolute
// path (two links named "unit" in two folders are two ports). A name that
// the station keeps for its report files gets "port-" before it, and one
// the system keeps for a device "_" after it ("COM3_" on Windows).
std::string FolderFor(const std::string& name, bool numbered);

// A file name from a port's name: the last component of a path, with any
// character other than letters, digits, '.', '-' and '_' as '_'.
std::string LabelFor(const std::string& name);

// Whether name is "COM<n>" (n of one to nine decimal digits, not 0, leading
// zeros allowed); *n the number.
bool ParseComName(const std::string& name, int* n);

}  // namespace station
