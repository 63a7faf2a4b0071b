// The serial ports of a Windows system, found without opening any.
//
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM is the list: each serial driver writes
// one value per port it serves, with the port's name ("COM3") as data; the
// key is missing when there is no port at all. The details come from the
// device behind each name, found through SetupAPI among the devices of the
// Ports class and those offering the COM-port interface, matched by the
// "PortName" in each device's hardware key: the friendly name, the maker,
// the USB ids from the hardware id ("USB\VID_0403&PID_6001&REV_0600" or, for
// some vendor buses, "FTDIBUS\VID_0403+PID_6001+..."), the product as the
// bus reported it, and the serial number from the instance id of the USB
// device up the device tree ("USB\VID_0403&PID_6001\A50285BI"; an id that
// Windows made up for a device without a serial number holds '&').
#include "platform/port_list.h"

#include <windows.h>
// These two build on windows.h.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <new>
#include <string>
#include <vector>

#include "platform/common/port_list_order.h"
#include "platform/win32/text.h"

namespace platform {

namespace {

// The identifiers this file uses, as the system headers define them, held
// here so that no header's definition has to be pulled in (devguid.h and
// devpkey.h only declare them unless initguid.h comes first, and ntddser.h
// is a driver-kit header that does not build in user mode).
// GUID_DEVCLASS_PORTS: the Ports (COM & LPT) device class.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// GUID_DEVINTERFACE_COMPORT: the COM-port device interface.
constexpr GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
// DEVPKEY_Device_BusReportedDeviceDesc: the product name the bus reported.
constexpr DEVPROPKEY kBusReportedDeviceDesc = {
    {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};

// Registry value names are at most 16383 characters.
constexpr DWORD kMaxValueName = 16384;
// A port name is "COM" and a number; anything longer is no port name.
constexpr DWORD kMaxPortName = 256;
// Parents to climb from a port to its USB device (interface, composite
// device, vendor bus): a few at most.
constexpr int kMaxParents = 4;

std::string Utf8(const std::wstring& wide) { return win32::Utf8FromWide(wide.c_str()); }

wchar_t UpperAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? wchar_t(c - L'a' + L'A') : c; }

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  return true;
}

bool StartsNoCase(const std::wstring& s, const std::wstring& prefix) {
  return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

std::size_t FindNoCase(const std::wstring& s, const std::wstring& what) {
  for (std::size_t i = 0; i + what.size() <= s.size(); ++i)
    if (EqualNoCase(s.substr(i, what.size()), what)) return i;
  return std::wstring::npos;
}

// A string from registry data: up to the first NUL, or all of it when the
// writer left the NUL out.
std::wstring RegString(const wchar_t* data, DWORD bytes) {
  std::size_t n = bytes / sizeof(wchar_t);
  std::size_t len = 0;
  while (len < n && data[len] != L'\0') ++len;
  return std::wstring(data, len);
}

// The port names in SERIALCOMM, in the registry's order.
int SerialCommNames(std::vector<std::wstring>* names) {
  HKEY key = nullptr;
  LSTATUS st = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                             KEY_QUERY_VALUE, &key);
  if (st == ERROR_FILE_NOT_FOUND) return 0;  // no serial port on this system
  if (st != ERROR_SUCCESS) return int(st);
  std::vector<wchar_t> value_name(kMaxValueName);
  wchar_t data[kMaxPortName];
  for (DWORD index = 0;; ++index) {
    DWORD name_len = kMaxValueName;
    DWORD type = 0;
    DWORD bytes = sizeof data;
    st = RegEnumValueW(key, index, value_name.data(), &name_len, nullptr, &type,
                       reinterpret_cast<BYTE*>(data), &bytes);
    if (st == ERROR_NO_MORE_ITEMS) break;
    if (st == ERROR_MORE_DATA) continue;  // data too long for a port name
    if (st != ERROR_SUCCESS) {
      RegCloseKey(key);
      return int(st);
    }
    if (type != REG_SZ) continue;
    std::wstring name = RegString(data, bytes);
    if (name.empty()) continue;
    bool seen = false;
    for (const std::wstring& n : *names) seen = seen || EqualNoCase(n, name);
    if (!seen) names->push_back(std::move(name));
  }
  RegCloseKey(key);
  return 0;
}

// A string property of a device; for a list of strings (hardware ids) each
// string in order.
std::vector<std::wstring> RegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* dev, DWORD property) {
  DWORD type = 0;
  DWORD bytes = 0;
  SetupDiGetDeviceRegistryPropertyW(set, dev, property, &type, nullptr, 0, &bytes);
  if (bytes == 0 || (type != REG_SZ && type != REG_MULTI_SZ)) return {};
  std::vector<wchar_t> buf(bytes / sizeof(wchar_t) + 2, L'\0');
  if (!SetupDiGetDeviceRegistryPropertyW(set, dev, property, &type,
                                         reinterpret_cast<BYTE*>(buf.data()), bytes, nullptr))
    return {};
  std::vector<std::wstring> strings;
  const std::size_t n = bytes / sizeof(wchar_t);
  for (std::size_t i = 0; i < n && buf[i] != L'\0';) {
    std::wstring s(buf.data() + i);
    i += s.size() + 1;
    strings.push_back(std::move(s));
    if (type == REG_SZ) break;
  }
  return strings;
}

std::wstring FirstProperty(HDEVINFO set, SP_DEVINFO_DATA* dev, DWORD property) {
  std::vector<std::wstring> strings = RegistryProperty(set, dev, property);
  return strings.empty() ? std::wstring() : strings.front();
}

// The product name as the device's bus reported it (a USB device's product
// string), or empty.
std::wstring BusReportedName(HDEVINFO set, SP_DEVINFO_DATA* dev) {
  DEVPROPTYPE type = 0;
  DWORD bytes = 0;
  SetupDiGetDevicePropertyW(set, dev, &kBusReportedDeviceDesc, &type, nullptr, 0, &bytes, 0);
  if (bytes == 0 || type != DEVPROP_TYPE_STRING) return {};
  std::vector<wchar_t> buf(bytes / sizeof(wchar_t) + 1, L'\0');
  if (!SetupDiGetDevicePropertyW(set, dev, &kBusReportedDeviceDesc, &type,
                                 reinterpret_cast<BYTE*>(buf.data()), bytes, nullptr, 0))
    return {};
  return RegString(buf.data(), bytes);
}

// The "PortName" in the device's hardware key, or empty.
std::wstring PortNameOf(HDEVINFO set, SP_DEVINFO_DATA* dev) {
  const HKEY key = SetupDiOpenDevRegKey(set, dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return {};
  wchar_t data[kMaxPortName];
  DWORD type = 0;
  DWORD bytes = sizeof data;
  const LSTATUS st =
      RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes);
  RegCloseKey(key);
  if (st != ERROR_SUCCESS || type != REG_SZ) return {};
  return RegString(data, bytes);
}

bool IsHex(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

// The four hex digits after tag ("VID_") in id, lower case, or empty.
std::string HexAfter(const std::wstring& id, const std::wstring& tag) {
  const std::size_t at = FindNoCase(id, tag);
  if (at == std::wstring::npos || at + tag.size() + 4 > id.size()) return {};
  std::string hex;
  for (std::size_t i = at + tag.size(); i < at + tag.size() + 4; ++i) {
    if (!IsHex(id[i])) return {};
    const wchar_t c = id[i];
    hex.push_back(char((c >= L'A' && c <= L'F') ? c - L'A' + L'a' : c));
  }
  return hex;
}

// "vvvv:pppp" from an id naming VID_ and PID_, or empty.
std::string UsbIdIn(const std::wstring& id) {
  const std::string vid = HexAfter(id, L"VID_");
  const std::string pid = HexAfter(id, L"PID_");
  return vid.empty() || pid.empty() ? std::string() : vid + ":" + pid;
}

// The instance id of the USB device that the port belongs to (the device
// itself, its parent composite device, or the USB device below a vendor's
// bus driver), or empty.
std::wstring UsbDeviceId(DEVINST inst) {
  for (int level = 0; level <= kMaxParents; ++level) {
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDW(inst, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
    const std::wstring s(id);
    // An interface of a composite device ("&MI_01") has the parent's serial.
    if (StartsNoCase(s, L"USB\\") && FindNoCase(s, L"&MI_") == std::wstring::npos) return s;
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, inst, 0) != CR_SUCCESS) return {};
    inst = parent;
  }
  return {};
}

// The bus-reported product name of the device with that instance id.
std::wstring BusReportedNameOf(const std::wstring& instance_id) {
  const HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return {};
  SP_DEVINFO_DATA dev{};
  dev.cbSize = sizeof dev;
  std::wstring name;
  if (SetupDiOpenDeviceInfoW(set, instance_id.c_str(), nullptr, 0, &dev))
    name = BusReportedName(set, &dev);
  SetupDiDestroyDeviceInfoList(set);
  return name;
}

// The serial number in a USB device's instance id, or empty when Windows
// made the last part up (it then holds '&').
std::wstring SerialIn(const std::wstring& usb_device_id) {
  const std::size_t slash = usb_device_id.rfind(L'\\');
  if (slash == std::wstring::npos || slash < 4) return {};  // 4: past "USB\"
  const std::wstring last = usb_device_id.substr(slash + 1);
  return last.find(L'&') == std::wstring::npos ? last : std::wstring();
}

std::string KindOf(const std::string& usb_id, const std::wstring& hardware_id,
                   const std::vector<std::wstring>& compatible_ids) {
  // A USB communications-class function is a modem-class (ACM) device.
  for (const std::wstring& c : compatible_ids)
    if (StartsNoCase(c, L"USB\\Class_02")) return "acm";
  if (!usb_id.empty()) return "usb";
  // Ports on the board (ACPI, PNP0500/0501) or on a PCI or multifunction
  // card; anything else (Bluetooth, software ports) is "other".
  for (const wchar_t* bus : {L"ACPI\\", L"*PNP05", L"PCI\\", L"MF\\"})
    if (StartsNoCase(hardware_id, bus)) return "uart";
  return "other";
}

struct FoundDevice {
  std::wstring port_name;
  SerialPortInfo info;  // all but the name
};

SerialPortInfo Describe(HDEVINFO set, SP_DEVINFO_DATA* dev) {
  SerialPortInfo info;
  const std::wstring hardware_id = FirstProperty(set, dev, SPDRP_HARDWAREID);
  const std::vector<std::wstring> compatible = RegistryProperty(set, dev, SPDRP_COMPATIBLEIDS);
  const std::wstring usb_device = UsbDeviceId(dev->DevInst);
  info.usb_id = UsbIdIn(hardware_id);
  if (info.usb_id.empty()) info.usb_id = UsbIdIn(usb_device);
  info.kind = KindOf(info.usb_id, hardware_id, compatible);
  info.maker = Utf8(FirstProperty(set, dev, SPDRP_MFG));
  // A port below a vendor's bus driver may report no product of its own:
  // then the USB device's.
  std::wstring product = BusReportedName(set, dev);
  if (product.empty() && !usb_device.empty()) product = BusReportedNameOf(usb_device);
  info.product = Utf8(product);
  info.serial = Utf8(SerialIn(usb_device));
  info.description = Utf8(FirstProperty(set, dev, SPDRP_FRIENDLYNAME));
  return info;
}

// Adds the devices of one class or interface that name a port.
void CollectDevices(const GUID* guid, DWORD flags, std::vector<FoundDevice>* found) {
  const HDEVINFO set = SetupDiGetClassDevsW(guid, nullptr, nullptr, flags);
  if (set == INVALID_HANDLE_VALUE) return;  // no details: the names still list
  SP_DEVINFO_DATA dev{};
  dev.cbSize = sizeof dev;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
    std::wstring port = PortNameOf(set, &dev);
    if (port.empty()) continue;
    bool seen = false;
    for (const FoundDevice& f : *found) seen = seen || EqualNoCase(f.port_name, port);
    if (seen) continue;
    found->push_back({std::move(port), Describe(set, &dev)});
  }
  SetupDiDestroyDeviceInfoList(set);
}

int List(std::vector<SerialPortInfo>* ports) {
  ports->clear();
  std::vector<std::wstring> names;
  if (const int err = SerialCommNames(&names)) return err;
  if (names.empty()) return 0;

  std::vector<FoundDevice> devices;
  CollectDevices(&kPortsClass, DIGCF_PRESENT, &devices);
  CollectDevices(&kComPortInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, &devices);

  for (const std::wstring& name : names) {
    SerialPortInfo port;
    port.kind = "other";  // a port no device claims (a software port)
    for (const FoundDevice& d : devices)
      if (EqualNoCase(d.port_name, name)) port = d.info;
    port.name = Utf8(name);
    ports->push_back(std::move(port));
  }
  SortSerialPorts(ports);
  return 0;
}

}  // namespace

int SerialPortList(std::vector<SerialPortInfo>* ports) {
  try {
    return List(ports);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

}  // namespace platform
