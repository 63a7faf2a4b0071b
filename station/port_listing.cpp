#include "station/port_listing.h"

#include <algorithm>

#include "station/screen_text.h"

namespace station {

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
      widths[c] = std::max(widths[c], Columns(row[c]));
    }
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - Columns(row[c]) + 2, ' ');
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
