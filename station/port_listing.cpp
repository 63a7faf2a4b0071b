#include "station/port_listing.h"

#include <algorithm>

namespace station {

namespace {

// Text that a device reports about itself (USB descriptors, the system's
// names for it) reaches the terminal with no control character in it: such
// bytes become '?'. Bytes of UTF-8 sequences stay.
std::string Printable(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return text;
}

// Columns on the screen: UTF-8 continuation bytes take none.
std::size_t Width(const std::string& text) {
  std::size_t width = 0;
  for (char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return width;
}

}  // namespace

std::string PortTable(const std::vector<platform::SerialPortInfo>& ports) {
  std::vector<std::vector<std::string>> rows = {
      {"NAME", "KIND", "USB-ID", "MAKER", "PRODUCT", "SERIAL", "STABLE-NAME", "DESCRIPTION"}};
  for (const platform::SerialPortInfo& p : ports)
    rows.push_back(
        {p.name, p.kind, p.usb_id, p.maker, p.product, p.serial, p.stable_name, p.description});
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (auto& row : rows)
    for (std::size_t c = 0; c < row.size(); ++c) {
      row[c] = row[c].empty() ? "-" : Printable(row[c]);
      widths[c] = std::max(widths[c], Width(row[c]));
    }
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - Width(row[c]) + 2, ' ');
    }
    text += line + "\n";
  }
  return text;
}

std::vector<std::string> AdapterNames(const std::vector<platform::SerialPortInfo>& ports) {
  std::vector<std::string> names;
  for (const platform::SerialPortInfo& p : ports)
    if (p.kind == "usb" || p.kind == "acm") names.push_back(p.name);
  return names;
}

}  // namespace station
