#include "station/tonecast_output.h"

#include <algorithm>
#include <string>

namespace station {

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

namespace {

// "<word> <rest>": *rest the text after the word and its blank.
bool Word(const std::string& line, const char* word, std::string* rest) {
  const std::size_t n = std::char_traits<char>::length(word);
  if (line.size() < n + 1 || line.compare(0, n, word) != 0 || line[n] != ' ') return false;
  *rest = line.substr(n + 1);
  return true;
}

}  // namespace

void ChannelReader::TakeLine(std::vector<ChannelLine>* lines) {
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  ChannelLine l;
  std::string rest;
  if (ParseProgressLine(line_, &l.progress)) {
    l.kind = ChannelLine::kProgress;
  } else if (Word(line_, "step", &rest)) {
    l.kind = ChannelLine::kStep;
  } else if (Word(line_, "error", &rest)) {
    l.kind = ChannelLine::kError;
  } else if (Word(line_, "version", &rest)) {
    l.kind = ChannelLine::kVersion;
  } else if (Word(line_, "time", &rest) && !rest.empty() && rest.size() <= 12 &&
             rest.find_first_not_of("0123456789") == std::string::npos) {
    l.kind = ChannelLine::kTime;
  } else if (Word(line_, "verdict", &rest) && (rest == "complete" || rest == "NG")) {
    l.kind = ChannelLine::kVerdict;
  } else {
    rest = line_;
  }
  l.text = rest;
  lines->push_back(l);
  line_.clear();
}

void ChannelReader::Feed(const char* data, std::size_t n, std::vector<ChannelLine>* lines) {
  for (std::size_t i = 0; i < n; ++i) {
    if (data[i] == '\n') {
      TakeLine(lines);
    } else {
      line_ += data[i];
      if (line_.size() >= kMaxLine) TakeLine(lines);
    }
  }
}

void ChannelReader::Finish(std::vector<ChannelLine>* lines) {
  if (!line_.empty()) TakeLine(lines);
}

void ChannelOutcome::Take(const ChannelLine& line) {
  switch (line.kind) {
    case ChannelLine::kError:
      if (first_error.empty()) first_error = line.text;
      break;
    case ChannelLine::kVerdict:
      has_verdict = true;
      complete = line.text == "complete";
      break;
    case ChannelLine::kVersion:
      if (version.empty()) version = line.text;
      break;
    case ChannelLine::kTime:
      run_ms = std::stoll(line.text);
      break;
    default:
      break;
  }
}

std::string TrimEnd(const std::string& text) {
  const std::size_t end = text.find_last_not_of(" \t");
  return end == std::string::npos ? "" : text.substr(0, end + 1);
}

Verdict JudgeRun(const ChannelOutcome& told, const ChildEnding& end, std::string* error) {
  const std::string first = TrimEnd(told.first_error);
  const bool verdict_end = (end.exited && end.exit_code == kVerdictExitStatus) || end.by_interrupt;
  if (told.has_verdict && verdict_end) {
    *error = first;
    return told.complete ? Verdict::kComplete : Verdict::kNg;
  }
  std::string why;
  if (end.by_interrupt) {
    why = "Interrupted.";
  } else if (end.exited) {
    why = "tonecast ended without a verdict (exit status " + std::to_string(end.exit_code) + ")";
  } else if (end.signal != 0) {
    why = "tonecast ended by signal " + std::to_string(end.signal);
  } else {
    why = "tonecast ended without a verdict";
  }
  if (first.empty() || first == why) {
    *error = why;
  } else if (end.exited && !told.has_verdict) {
    // A run that stopped before its transfer (a bad argument) said why.
    *error = first;
  } else {
    *error = first + " (" + why + ")";
  }
  return Verdict::kNoVerdict;
}

}  // namespace station
