// The Linux serial-port list over a fake sysfs and /dev built in a temporary
// folder with the links the kernel and udev make: class entries pointing into
// the device tree, "device" links, USB attributes at the USB device's level.
#include "platform/port_list.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/posix/port_list_sysfs.h"
#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;
using platform::SerialPortInfo;
using testsupport::TempDir;
using testsupport::WriteFile;

struct Attr {
  std::string file;
  std::string text;
};

// One tty in the fake tree.
struct FakeTty {
  std::string name;
  std::string tty_dir;     // folder of the tty under sys/devices, "" for none
  std::string device_dir;  // what its "device" link points at, "" for none
  std::vector<Attr> tty_attrs;
};

class FakeSysfs {
 public:
  explicit FakeSysfs(const std::string& root) : root_(root) {
    fs::create_directories(sys() + "/class/tty");
    fs::create_directories(dev() + "/serial/by-id");
  }
  std::string sys() const { return root_ + "/sys"; }
  std::string dev() const { return root_ + "/dev"; }

  // A device folder with attribute files (a USB device's idVendor, ...).
  void Device(const std::string& dir, const std::vector<Attr>& attrs) {
    fs::create_directories(sys() + "/devices/" + dir);
    for (const Attr& a : attrs) WriteFile(sys() + "/devices/" + dir + "/" + a.file, a.text + "\n");
  }

  void Tty(const FakeTty& t) {
    const std::string dir = sys() + "/devices/" + t.tty_dir;
    fs::create_directories(dir);
    for (const Attr& a : t.tty_attrs) WriteFile(dir + "/" + a.file, a.text + "\n");
    if (!t.device_dir.empty()) {
      fs::create_directories(sys() + "/devices/" + t.device_dir);
      // Relative, as the kernel makes it ("../../../ttyUSB0").
      const fs::path target = fs::path(sys() + "/devices/" + t.device_dir).lexically_relative(dir);
      fs::create_symlink(target, dir + "/device");
    }
    fs::create_symlink("../../devices/" + t.tty_dir, sys() + "/class/tty/" + t.name);
  }

  void ById(const std::string& link, const std::string& tty) {
    fs::create_symlink("../../" + tty, dev() + "/serial/by-id/" + link);
  }

 private:
  std::string root_;
};

std::string Row(const SerialPortInfo& p) {
  return p.name + " | " + p.kind + " | " + p.usb_id + " | " + p.maker + " | " + p.product + " | " +
         p.serial + " | " + p.stable_name;
}

TEST(PortList, ListsUsbAcmAndRealUartsFromSysfs) {
  TempDir dir;
  FakeSysfs fake(dir.path());
  const std::string hub = "pci0000:00/0000:00:14.0/usb1";
  // The root hub has ids of its own: the nearest USB device counts.
  fake.Device(hub, {{"idVendor", "1d6b"}, {"idProduct", "0002"}, {"product", "xHCI Host"}});
  fake.Device(hub + "/1-1", {{"idVendor", "0403"},
                             {"idProduct", "6001"},
                             {"manufacturer", "FTDI"},
                             {"product", "FT232R USB UART"},
                             {"serial", "A50285BI"}});
  fake.Device(hub + "/1-2",
              {{"idVendor", "1a86"}, {"idProduct", "7523"}, {"product", "USB Serial"}});
  fake.Device(hub + "/1-3", {{"idVendor", "067b"},
                             {"idProduct", "2303"},
                             {"manufacturer", "Prolific"},
                             {"serial", "P1"}});
  fake.Device(hub + "/1-4", {{"idVendor", "2341"},
                             {"idProduct", "0043"},
                             {"manufacturer", "Maker Co"},
                             {"product", "Board"},
                             {"serial", "7563"}});

  const std::vector<FakeTty> ttys = {
      // usb-serial: the port device below the interface, the tty below it.
      {"ttyUSB10", hub + "/1-2/1-2:1.0/ttyUSB10/tty/ttyUSB10", hub + "/1-2/1-2:1.0/ttyUSB10", {}},
      {"ttyUSB0", hub + "/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0", hub + "/1-1/1-1:1.0/ttyUSB0", {}},
      {"ttyUSB2", hub + "/1-3/1-3:1.0/ttyUSB2/tty/ttyUSB2", hub + "/1-3/1-3:1.0/ttyUSB2", {}},
      // cdc-acm: the tty right below the interface.
      {"ttyACM0", hub + "/1-4/1-4:1.0/tty/ttyACM0", hub + "/1-4/1-4:1.0", {}},
      // Serial-core ports: a real 16550A, a board UART, and a line that the
      // 8250 driver registered without a UART behind it.
      {"ttyS0", "pnp0/00:01/tty/ttyS0", "pnp0/00:01", {{"type", "4"}}},
      {"ttyAMA0",
       "platform/fe201000.serial/tty/ttyAMA0",
       "platform/fe201000.serial",
       {{"type", "32"}}},
      {"ttyS1",
       "platform/serial8250/serial8250:0/serial8250:0.1/tty/ttyS1",
       "platform/serial8250/serial8250:0/serial8250:0.1",
       {{"type", "0"}}},
      // Virtual ttys: no device link.
      {"console", "virtual/tty/console", "", {}},
      {"ptmx", "virtual/tty/ptmx", "", {}},
      {"tty1", "virtual/tty/tty1", "", {}},
  };
  for (const FakeTty& t : ttys) fake.Tty(t);
  fake.ById("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
  fake.ById("usb-Maker_Co_Board_7563-if00", "ttyACM0");

  std::vector<SerialPortInfo> ports;
  ASSERT_EQ(
      platform::SerialPortListFrom((fake.sys() + "/class/tty").c_str(), fake.dev().c_str(), &ports),
      0);
  const std::string d = fake.dev() + "/";
  const std::string by_id = d + "serial/by-id/";
  const std::vector<std::string> want = {
      d + "ttyUSB0 | usb | 0403:6001 | FTDI | FT232R USB UART | A50285BI | " + by_id +
          "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
      d + "ttyUSB2 | usb | 067b:2303 | Prolific |  | P1 | ",
      d + "ttyUSB10 | usb | 1a86:7523 |  | USB Serial |  | ",
      d + "ttyACM0 | acm | 2341:0043 | Maker Co | Board | 7563 | " + by_id +
          "usb-Maker_Co_Board_7563-if00",
      d + "ttyAMA0 | uart |  |  |  |  | ",
      d + "ttyS0 | uart |  |  |  |  | ",
  };
  std::vector<std::string> got;
  for (const SerialPortInfo& p : ports) got.push_back(Row(p));
  EXPECT_EQ(got, want);

  // Without a tty class folder (no sysfs) the list fails with the reason.
  EXPECT_EQ(
      platform::SerialPortListFrom((dir.path() + "/none").c_str(), fake.dev().c_str(), &ports),
      ENOENT);
}

}  // namespace
