#include "station/tonecast_output.h"

#include <algorithm>

namespace station {

namespace {

// The steps of tonecast's dialogue as its console shows them, each printed
// when the step begins.
const char* const kPhaseTexts[] = {
    "Flash inithalizing...",
    "Prepare downloading...",
    "Changing baudrate (UP)...",
    "Now waiting FIN...",
    "Changing baudrate (DOWN)...",
    "Waiting for the end...",
    "OK...",
    "Close COM port.",
};
constexpr char kDownload[] = "Download file#";  // then the file number and "..."
constexpr char kError[] = "Error : ";           // at the start of a line, to its end
constexpr char kComplete[] = "VP file transfer complete.";
constexpr char kNg[] = "VP file transfer NG!";
// The longest fixed text, less one: what may be the start of a step still
// arriving.
constexpr std::size_t kKeep = 27;
// An error line longer than this counts as ended (tonecast's texts are far
// shorter).
constexpr std::size_t kMaxErrorLine = 512;

struct Match {
  std::size_t pos = std::string::npos;
  std::size_t length = 0;
  bool waiting = false;  // the step has begun but has not all arrived
  ConsoleEvent event;
};

void Consider(const Match& m, Match* best) {
  if (m.pos < best->pos) *best = m;
}

Match FindFixed(const std::string& s, const char* text, ConsoleEvent::Kind kind) {
  Match m;
  const std::string t(text);
  m.pos = s.find(t);
  m.length = t.size();
  m.event.kind = kind;
  if (kind == ConsoleEvent::kPhase) m.event.text = t;
  return m;
}

Match FindDownload(const std::string& s) {
  Match m;
  const std::size_t p = s.find(kDownload);
  if (p == std::string::npos) return m;
  std::size_t q = p + sizeof kDownload - 1;
  while (q < s.size() && s[q] >= '0' && s[q] <= '9') ++q;
  if (q + 3 > s.size()) {
    m.pos = p;
    m.waiting = true;
  } else if (q > p + sizeof kDownload - 1 && s.compare(q, 3, "...") == 0) {
    m.pos = p;
    m.length = q + 3 - p;
    m.event.kind = ConsoleEvent::kPhase;
    m.event.text = s.substr(p, m.length);
  }
  return m;
}

Match FindError(const std::string& s, bool line_start, bool at_end) {
  Match m;
  for (std::size_t p = s.find(kError); p != std::string::npos; p = s.find(kError, p + 1)) {
    if (p == 0 ? !line_start : s[p - 1] != '\n') continue;
    const std::size_t begin = p + sizeof kError - 1;
    std::size_t end = s.find('\n', p);
    m.pos = p;
    if (end == std::string::npos) {
      if (!at_end && s.size() - p < kMaxErrorLine) {
        m.waiting = true;
        return m;
      }
      end = s.size();
      m.length = end - p;
    } else {
      m.length = end + 1 - p;
    }
    m.event.kind = ConsoleEvent::kError;
    m.event.text = s.substr(begin, end - begin);
    if (!m.event.text.empty() && m.event.text.back() == '\r') m.event.text.pop_back();
    return m;
  }
  return m;
}

}  // namespace

void ConsoleReader::Drop(std::size_t count) {
  if (count == 0) return;
  line_start_ = pending_[count - 1] == '\n';
  pending_.erase(0, count);
}

bool ConsoleReader::TakeOne(std::vector<ConsoleEvent>* events) {
  Match best;
  for (const char* text : kPhaseTexts)
    Consider(FindFixed(pending_, text, ConsoleEvent::kPhase), &best);
  Consider(FindFixed(pending_, kComplete, ConsoleEvent::kComplete), &best);
  Consider(FindFixed(pending_, kNg, ConsoleEvent::kNg), &best);
  Consider(FindDownload(pending_), &best);
  Consider(FindError(pending_, line_start_, false), &best);
  if (best.pos == std::string::npos) {
    Drop(pending_.size() > kKeep ? pending_.size() - kKeep : 0);
    return false;
  }
  if (best.waiting) {
    Drop(best.pos);
    return false;
  }
  events->push_back(best.event);
  Drop(best.pos + best.length);
  return true;
}

void ConsoleReader::Feed(const char* data, std::size_t n, std::vector<ConsoleEvent>* events) {
  pending_.append(data, n);
  while (TakeOne(events)) {
  }
}

void ConsoleReader::Finish(std::vector<ConsoleEvent>* events) {
  while (TakeOne(events)) {
  }
  const Match m = FindError(pending_, line_start_, true);
  if (m.pos != std::string::npos) events->push_back(m.event);
  pending_.clear();
  line_start_ = true;
}

bool ParseProgressLine(const std::string& line, Progress* progress) {
  constexpr char kWord[] = "progress ";
  if (line.compare(0, sizeof kWord - 1, kWord) != 0) return false;
  std::uint64_t values[2] = {0, 0};
  std::size_t i = sizeof kWord - 1;
  for (int v = 0; v < 2; ++v) {
    if (v == 1) {
      if (i >= line.size() || line[i] != ' ') return false;
      ++i;
    }
    const std::size_t digits_from = i;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
      if (i - digits_from >= 18) return false;  // beyond any image's size
      values[v] = values[v] * 10 + std::uint64_t(line[i] - '0');
      ++i;
    }
    if (i == digits_from) return false;
  }
  if (i != line.size() || values[0] > values[1]) return false;
  progress->taken = values[0];
  progress->total = values[1];
  return true;
}

void ProgressReader::TakeLine(std::vector<Progress>* progress, std::vector<std::string>* other) {
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  Progress p;
  if (ParseProgressLine(line_, &p)) {
    progress->push_back(p);
  } else {
    other->push_back(line_);
  }
  line_.clear();
}

void ProgressReader::Feed(const char* data, std::size_t n, std::vector<Progress>* progress,
                          std::vector<std::string>* other) {
  for (std::size_t i = 0; i < n; ++i) {
    if (data[i] == '\n') {
      TakeLine(progress, other);
    } else {
      line_ += data[i];
      if (line_.size() >= kMaxLine) TakeLine(progress, other);
    }
  }
}

void ProgressReader::Finish(std::vector<Progress>* progress, std::vector<std::string>* other) {
  if (!line_.empty()) TakeLine(progress, other);
}

}  // namespace station
