#include "station/screen_text.h"

#include <vector>

namespace station {

namespace {

bool Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Where each character of the text begins, and its end.
std::vector<std::size_t> CharacterStarts(const std::string& text) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!Continuation(text[i]) || i == 0) starts.push_back(i);
  starts.push_back(text.size());
  return starts;
}

constexpr char kEllipsis[] = "...";
constexpr std::size_t kEllipsisColumns = 3;

}  // namespace

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      out += '?';
    } else if (c == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      out += '?';  // U+0080..U+009F
      ++i;
    } else {
      out += char(c);
    }
  }
  return out;
}

std::size_t Columns(const std::string& text) {
  std::size_t columns = 0;
  for (std::size_t i = 0; i < text.size(); ++i) columns += !Continuation(text[i]) || i == 0;
  return columns;
}

std::string CutToColumns(const std::string& text, int columns) {
  if (columns <= 0) return text;
  const std::vector<std::size_t> starts = CharacterStarts(text);
  const std::size_t characters = starts.size() - 1;
  if (characters <= std::size_t(columns)) return text;
  return text.substr(0, starts[std::size_t(columns)]);
}

std::string ShortenMiddle(const std::string& text, std::size_t columns) {
  const std::vector<std::size_t> starts = CharacterStarts(text);
  const std::size_t characters = starts.size() - 1;
  if (characters <= columns) return text;
  // Too narrow for an ellipsis and something either side: the tail alone.
  if (columns <= kEllipsisColumns + 1) return text.substr(starts[characters - columns]);
  const std::size_t room = columns - kEllipsisColumns;
  const std::size_t head = room / 3;
  const std::size_t tail = room - head;
  return text.substr(0, starts[head]) + kEllipsis + text.substr(starts[characters - tail]);
}

}  // namespace station
