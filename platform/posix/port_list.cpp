// The serial ports of a Linux system, read from sysfs: nothing is opened but
// small attribute files, so no port sees its modem lines move.
//
// /sys/class/tty holds one symlink per tty into the device tree. Virtual
// ttys (consoles, pseudo-terminals, tty, ptmx) have no "device" link and are
// left out. A port of the serial core (ttyS, ttyAMA, ...) has a "type" file
// with the UART type its driver found; the 8250 driver registers its ttyS
// lines whether or not a UART answers at their addresses, and those without
// one read type 0 (PORT_UNKNOWN): they are left out too. USB adapters
// (ttyUSB, usb-serial) and modem-class devices (ttyACM, cdc-acm) sit below a
// USB device folder, the first one up the device path with idVendor and
// idProduct; its manufacturer, product and serial files are optional.
#include "platform/port_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/common/port_list_order.h"
#include "platform/posix/port_list_sysfs.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

// Sysfs attributes are at most a page long.
constexpr std::size_t kMaxAttribute = 4096;
// Device paths are a few levels deep; this only bounds a broken tree.
constexpr int kMaxDepth = 32;

// The text of a small attribute file without its trailing line end, or
// false when it is missing, unreadable or not a regular file.
bool ReadAttribute(const fs::path& path, std::string* text) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  char buf[kMaxAttribute];
  std::size_t got = 0;
  while (got < sizeof buf) {
    const ssize_t r = read(fd, buf + got, sizeof buf - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      close(fd);
      return false;
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  close(fd);
  while (got > 0 && (buf[got - 1] == '\n' || buf[got - 1] == ' ' || buf[got - 1] == '\r' ||
                     buf[got - 1] == '\t'))
    --got;
  text->assign(buf, got);
  return true;
}

std::string Attribute(const fs::path& path) {
  std::string text;
  return ReadAttribute(path, &text) ? text : std::string();
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// Whether path lies inside root (both canonical).
bool IsInside(const fs::path& path, const fs::path& root) {
  auto p = path.begin();
  for (auto r = root.begin(); r != root.end(); ++r, ++p) {
    if (r->empty()) continue;  // a trailing separator
    if (p == path.end() || *p != *r) return false;
  }
  return true;
}

// The USB device folder above a tty's device, or empty: the nearest
// folder up the path that has idVendor and idProduct, within sys_root.
fs::path UsbDeviceOf(const fs::path& device, const fs::path& sys_root) {
  std::error_code ec;
  fs::path dir = fs::canonical(device, ec);
  if (ec) return {};
  for (int depth = 0; depth < kMaxDepth && IsInside(dir, sys_root) && dir != sys_root; ++depth) {
    if (fs::is_regular_file(dir / "idVendor", ec) && fs::is_regular_file(dir / "idProduct", ec))
      return dir;
    if (!dir.has_parent_path() || dir.parent_path() == dir) break;
    dir = dir.parent_path();
  }
  return {};
}

// dev_root/serial/by-id: the device path each link points at, mapped to the
// link (the first in natural order where several point at one device).
std::map<std::string, std::string> StableNames(const fs::path& dev_root) {
  std::map<std::string, std::string> names;
  const fs::path by_id = dev_root / "serial" / "by-id";
  std::error_code ec;
  fs::directory_iterator it(by_id, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const fs::path link = it->path();
    if (!fs::is_symlink(fs::symlink_status(link, ec))) continue;
    fs::path target = fs::read_symlink(link, ec);
    if (ec) continue;
    if (target.is_relative()) target = by_id / target;
    const std::string device = target.lexically_normal().string();
    const auto found = names.find(device);
    if (found == names.end() || NaturalNameLess(link.string(), found->second))
      names[device] = link.string();
  }
  return names;
}

// Fills *port for one class entry; false when it is no port with hardware.
bool DescribeTty(const fs::path& entry, const fs::path& sys_root, SerialPortInfo* port) {
  const std::string tty = entry.filename().string();
  const fs::path device = entry / "device";
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(device, ec))) return false;  // virtual

  const fs::path usb = UsbDeviceOf(device, sys_root);
  if (StartsWith(tty, "ttyACM")) {
    port->kind = "acm";
  } else if (StartsWith(tty, "ttyUSB") || !usb.empty()) {
    port->kind = "usb";
  } else {
    std::string type;
    if (ReadAttribute(entry / "type", &type)) {
      if (type == "0") return false;  // a serial-core line with no UART behind it
      port->kind = "uart";
    } else {
      port->kind = "other";
    }
  }
  if (!usb.empty()) {
    const std::string vendor = Attribute(usb / "idVendor");
    const std::string product_id = Attribute(usb / "idProduct");
    if (!vendor.empty() && !product_id.empty()) port->usb_id = vendor + ":" + product_id;
    port->maker = Attribute(usb / "manufacturer");
    port->product = Attribute(usb / "product");
    port->serial = Attribute(usb / "serial");
  }
  return true;
}

int ListFrom(const char* sys_class_tty, const char* dev_root, std::vector<SerialPortInfo>* ports) {
  ports->clear();
  const fs::path class_dir(sys_class_tty);
  std::error_code ec;
  fs::path sys_root = fs::canonical(class_dir / ".." / "..", ec);
  if (ec) sys_root = class_dir.root_path();
  const fs::path dev(dev_root);
  const std::map<std::string, std::string> stable = StableNames(dev);

  fs::directory_iterator it(class_dir, ec);
  if (ec) return ec.value();
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    SerialPortInfo port;
    if (!DescribeTty(it->path(), sys_root, &port)) continue;
    port.name = (dev / it->path().filename()).lexically_normal().string();
    const auto link = stable.find(port.name);
    if (link != stable.end()) port.stable_name = link->second;
    ports->push_back(std::move(port));
  }
  if (ec) return ec.value();
  SortSerialPorts(ports);
  return 0;
}

}  // namespace

int SerialPortListFrom(const char* sys_class_tty, const char* dev_root,
                       std::vector<SerialPortInfo>* ports) {
  try {
    return ListFrom(sys_class_tty, dev_root, ports);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

int SerialPortList(std::vector<SerialPortInfo>* ports) {
  return SerialPortListFrom("/sys/class/tty", "/dev", ports);
}

}  // namespace platform
