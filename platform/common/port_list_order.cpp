#include "platform/common/port_list_order.h"

#include <algorithm>
#include <cstddef>

namespace platform {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int KindRank(const std::string& kind) {
  if (kind == "usb") return 0;
  if (kind == "acm") return 1;
  if (kind == "uart") return 2;
  return 3;
}

}  // namespace

bool NaturalNameLess(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      // Compare the two numbers without converting them (no overflow on long
      // runs): leading zeros skipped, then the longer run is the larger.
      std::size_t ai = i;
      std::size_t bj = j;
      while (ai < a.size() && a[ai] == '0') ++ai;
      while (bj < b.size() && b[bj] == '0') ++bj;
      std::size_t ae = ai;
      std::size_t be = bj;
      while (ae < a.size() && IsDigit(a[ae])) ++ae;
      while (be < b.size() && IsDigit(b[be])) ++be;
      if (ae - ai != be - bj) return ae - ai < be - bj;
      const int cmp = a.compare(ai, ae - ai, b, bj, be - bj);
      if (cmp != 0) return cmp < 0;
      i = ae;
      j = be;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
    ++i;
    ++j;
  }
  if ((a.size() - i) != (b.size() - j)) return a.size() - i < b.size() - j;
  return a < b;  // equal but for leading zeros: any fixed order
}

void SortSerialPorts(std::vector<SerialPortInfo>* ports) {
  std::stable_sort(ports->begin(), ports->end(),
                   [](const SerialPortInfo& x, const SerialPortInfo& y) {
                     const int rx = KindRank(x.kind);
                     const int ry = KindRank(y.kind);
                     if (rx != ry) return rx < ry;
                     return NaturalNameLess(x.name, y.name);
                   });
}

}  // namespace platform
