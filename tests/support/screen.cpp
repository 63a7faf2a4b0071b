#include "tests/support/screen.h"

#include <algorithm>

namespace testsupport {

std::vector<std::string> ScreenRows(const std::string& bytes) {
  std::vector<std::string> rows(1);
  std::size_t row = 0, col = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r') {
      col = 0;
    } else if (c == '\n') {
      col = 0;
      if (++row == rows.size()) rows.emplace_back();
    } else if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
      std::size_t j = i + 2, n = 0;
      while (j < bytes.size() && bytes[j] >= '0' && bytes[j] <= '9')
        n = n * 10 + std::size_t(bytes[j++] - '0');
      const char command = j < bytes.size() ? bytes[j] : '\0';
      std::string& line = rows[row];
      if (command == 'A') row -= std::min(row, n ? n : 1);
      if (command == 'C') col += n ? n : 1;
      if (command == 'K' && n == 2) line.clear();
      if ((command == 'K' && n == 0) || command == 'J') line.resize(std::min(line.size(), col));
      if (command == 'J') rows.resize(row + 1);
      i = j;
    } else {
      if (rows[row].size() <= col) rows[row].resize(col + 1, ' ');
      rows[row][col++] = c;
    }
  }
  for (auto& r : rows) r.erase(r.find_last_not_of(' ') + 1);
  return rows;
}

}  // namespace testsupport
