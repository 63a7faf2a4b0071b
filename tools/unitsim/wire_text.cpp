#include "tools/unitsim/wire_text.h"

#include <cstdio>

namespace {

// One hexadecimal field ending at a blank; advances *pos past the blank.
bool HexField(const std::string& s, std::size_t* pos, std::uint32_t* out) {
  std::uint64_t v = 0;
  std::size_t i = *pos, digits = 0;
  for (; i < s.size() && s[i] != ' '; ++i, ++digits) {
    const char c = s[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    v = v * 16 + std::uint64_t(d);
    if (v > 0xffffffffu) return false;
  }
  if (digits == 0 || i >= s.size()) return false;  // empty, or no blank after
  *out = std::uint32_t(v);
  *pos = i + 1;
  return true;
}

std::uint32_t NextRandom(std::uint32_t* state) {
  std::uint32_t x = *state ? *state : 1;  // xorshift32
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *state = x;
  return x;
}

}  // namespace

std::string FloodBytes(std::uint32_t* seed, long n) {
  std::string out;
  if (n <= 0) return out;
  out.reserve(std::size_t(n));
  long run = 0;
  long target = 1 + long(NextRandom(seed) % 300);
  while (long(out.size()) < n - 1) {
    if (run >= target) {
      out.push_back('\n');
      run = 0;
      target = 1 + long(NextRandom(seed) % 300);
      continue;
    }
    const std::uint32_t r = NextRandom(seed);
    char c;
    switch (r % 16) {
      case 0: c = '\0'; break;
      case 1: c = '\r'; break;
      default:
        c = char(r >> 8);
        if (c == '\n' || c == 'A' || c == 'F' || c == 'N') c = '#';
        break;
    }
    out.push_back(c);
    ++run;
  }
  out.push_back('\n');
  return out;
}

bool ParseVpd(const std::string& line, VpdCommand* out) {
  if (line.rfind("VPD ", 0) != 0) return false;
  std::size_t pos = 4;
  VpdCommand c;
  if (!HexField(line, &pos, &c.index) || !HexField(line, &pos, &c.size) ||
      !HexField(line, &pos, &c.flash))
    return false;
  if (pos != line.size()) return false;
  *out = c;
  return true;
}

std::string AnswerLine(const std::string& text, bool dirty) {
  if (!dirty || text.empty()) return text + "\r\n";
  std::string s(1, text[0]);
  s.push_back('\0');
  s.append(text, 1, std::string::npos);
  return s + "\r\r\n";
}

std::string EscapeBytes(const std::string& bytes) {
  std::string out = "\"";
  for (const unsigned char c : bytes) {
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          out.push_back(char(c));
        } else {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        }
    }
  }
  return out + "\"";
}
