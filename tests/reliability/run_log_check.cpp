#include "tests/reliability/run_log_check.h"

#include <algorithm>
#include <cstddef>

namespace reliability {
namespace {

constexpr std::size_t kLoggedSendBytes = 30;
constexpr std::size_t kLineBuffer = 128;

class Reader {
 public:
  explicit Reader(const std::string& s) : s_(s) {}

  std::size_t pos() const { return pos_; }
  bool done() const { return pos_ >= s_.size(); }

  bool Literal(const std::string& text) {
    if (s_.compare(pos_, text.size(), text) != 0) return false;
    pos_ += text.size();
    return true;
  }

  // Digits, exactly `width` of them (0: one or more); value in *out.
  bool Number(std::size_t width, long* out) {
    std::size_t n = 0;
    long v = 0;
    while (pos_ + n < s_.size() && s_[pos_ + n] >= '0' && s_[pos_ + n] <= '9' &&
           (width == 0 || n < width) && n < 12) {
      v = v * 10 + (s_[pos_ + n] - '0');
      ++n;
    }
    if (n == 0 || (width != 0 && n != width)) return false;
    pos_ += n;
    *out = v;
    return true;
  }

  // "YYYY/MM/DD hh:mm:ss" with every field in its range.
  bool Timestamp() {
    long y, mo, d, h, mi, se;
    return Number(4, &y) && y >= 1970 && Literal("/") && Number(2, &mo) && mo >= 1 && mo <= 12 &&
           Literal("/") && Number(2, &d) && d >= 1 && d <= 31 && Literal(" ") &&
           Number(2, &h) && h <= 23 && Literal(":") && Number(2, &mi) && mi <= 59 &&
           Literal(":") && Number(2, &se) && se <= 60;
  }

  // Exactly n bytes, whatever they are.
  bool Bytes(std::size_t n, std::string* out) {
    if (s_.size() - pos_ < n) return false;
    *out = s_.substr(pos_, n);
    pos_ += n;
    return true;
  }

  // Up to (not including) the next "\n\n"; the text may not hold an LF.
  bool UpToBlankLine(std::string* out) {
    const std::size_t end = s_.find("\n\n", pos_);
    if (end == std::string::npos) return false;
    const std::string text = s_.substr(pos_, end - pos_);
    if (text.find('\n') != std::string::npos) return false;
    *out = text;
    pos_ = end;
    return true;
  }

  void Seek(std::size_t p) { pos_ = p; }

 private:
  const std::string& s_;
  std::size_t pos_ = 0;
};

// Tries each record form at the reader's position.
bool ParseOne(Reader& r, LogRecord* rec) {
  const std::size_t start = r.pos();
  auto fail = [&] {
    r.Seek(start);
    return false;
  };
  auto simple = [&](const char* lead, const char* kind) {
    r.Seek(start);
    if (r.Literal(lead) && r.Timestamp() && r.Literal(" \n")) {
      rec->kind = kind;
      return true;
    }
    return false;
  };
  if (simple("Program start at ", "start") || simple("Program end at ", "end") ||
      simple("disconnect at ", "disconnect") || simple("stop receiving at ", "stop"))
    return true;

  r.Seek(start);
  if (r.Literal("COM")) {
    long n;
    if (r.Number(0, &n) && r.Literal(" connect at ") && r.Timestamp() && r.Literal(" \n")) {
      rec->kind = "connect";
      rec->first = n;
      return true;
    }
    return fail();
  }
  r.Seek(start);
  if (r.Literal("BAUD ")) {
    if (r.Timestamp() && r.Literal(" : ") && r.Number(0, &rec->first) && r.Literal(" -> ") &&
        r.Number(0, &rec->second) && r.Literal(" \n")) {
      rec->kind = "speed";
      return true;
    }
    return fail();
  }
  r.Seek(start);
  if (r.Literal("RECV ")) {
    if (!(r.Timestamp() && r.Literal(" size:") && r.Number(0, &rec->first) &&
          r.Literal("\n     ")))
      return fail();
    // A delivered line: 1 to 127 bytes, never a CR, LF or NUL.
    if (rec->first < 1 || rec->first >= long(kLineBuffer)) return fail();
    if (!r.Bytes(std::size_t(rec->first), &rec->payload) || !r.Literal("\n\n")) return fail();
    if (rec->payload.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return fail();
    rec->kind = "RECV";
    return true;
  }
  r.Seek(start);
  if (r.Literal("BFUL ")) {
    if (r.Timestamp() && r.Literal(" \n     ") && r.Bytes(kLineBuffer, &rec->payload) &&
        r.Literal("\n\n")) {
      rec->kind = "BFUL";
      return true;
    }
    return fail();
  }
  r.Seek(start);
  if (r.Literal("SEND ")) {
    if (!(r.Timestamp() && r.Literal(" size:") && r.Number(0, &rec->first) && r.Literal(" (") &&
          r.Number(0, &rec->second) && r.Literal(")\n     ")))
      return fail();
    if (rec->second > rec->first) return fail();
    const std::size_t shown = std::min<std::size_t>(std::size_t(rec->first), kLoggedSendBytes);
    if (!r.Bytes(shown, &rec->payload) || !r.Literal("\n\n")) return fail();
    rec->kind = "SEND";
    return true;
  }
  r.Seek(start);
  if (r.Literal("Error ")) {
    if (r.Timestamp() && r.Literal(" : ") && r.UpToBlankLine(&rec->payload) &&
        !rec->payload.empty() && r.Literal("\n\n")) {
      rec->kind = "Error";
      return true;
    }
    return fail();
  }
  return fail();
}

}  // namespace

std::string ParseRunLog(const std::string& log, std::vector<LogRecord>* records) {
  records->clear();
  Reader r(log);
  while (!r.done()) {
    const std::size_t at = r.pos();
    LogRecord rec;
    if (!ParseOne(r, &rec)) {
      const std::string context = log.substr(at, 60);
      return "no whole record at byte " + std::to_string(at) + " (record " +
             std::to_string(records->size() + 1) + "): \"" + context + "\"";
    }
    rec.header = log.substr(at, std::min<std::size_t>(r.pos() - at, 80));
    records->push_back(rec);
  }
  return "";
}

std::string SplitRuns(const std::vector<LogRecord>& records,
                      std::vector<std::vector<LogRecord>>* runs) {
  runs->clear();
  bool open = false;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const LogRecord& rec = records[i];
    if (rec.kind == "start") {
      if (open) return "record " + std::to_string(i + 1) + ": a start inside a run";
      runs->emplace_back();
      open = true;
    } else if (!open) {
      return "record " + std::to_string(i + 1) + " (" + rec.kind + ") outside a run";
    }
    runs->back().push_back(rec);
    if (rec.kind == "end") open = false;
  }
  if (open) return "the last run has no end record";
  return "";
}

int CountKind(const std::vector<LogRecord>& records, const std::string& kind) {
  int n = 0;
  for (const auto& r : records) n += r.kind == kind;
  return n;
}

}  // namespace reliability
