#include "bench/bench_transcript.h"

#include <cstdlib>
#include <sstream>

namespace bench {
namespace {

// Splits a record into its time and text; false for a malformed line.
bool SplitRecord(const std::string& line, std::int64_t* t, std::string* text) {
  const auto space = line.find(' ');
  if (space == std::string::npos || space == 0) return false;
  char* end = nullptr;
  const long long v = std::strtoll(line.c_str(), &end, 10);
  if (end != line.c_str() + space) return false;
  *t = v;
  *text = line.substr(space + 1);
  return true;
}

}  // namespace

bool RecordTime(const std::string& transcript, const std::string& prefix, std::int64_t* t_us) {
  std::istringstream in(transcript);
  std::string line, text;
  std::int64_t t = 0;
  while (std::getline(in, line)) {
    if (SplitRecord(line, &t, &text) && text.compare(0, prefix.size(), prefix) == 0) {
      *t_us = t;
      return true;
    }
  }
  return false;
}

std::vector<std::int64_t> CommandArrivals(const std::string& transcript, const std::string& quoted) {
  std::istringstream in(transcript);
  std::string line, text;
  std::int64_t t = 0;
  const std::string key = "\"" + quoted + "\" arrivals=";
  std::vector<std::int64_t> times;
  while (std::getline(in, line)) {
    if (!SplitRecord(line, &t, &text) || text.compare(0, 11, "line speed=") != 0) continue;
    const auto at = text.find(key);
    if (at == std::string::npos) continue;
    const char* p = text.c_str() + at + key.size();
    while (*p) {
      char* end = nullptr;
      const long long v = std::strtoll(p, &end, 10);
      if (end == p) break;
      times.push_back(v);
      p = *end == ',' ? end + 1 : end;
    }
    break;
  }
  return times;
}

std::vector<std::int64_t> Gaps(const std::vector<std::int64_t>& times) {
  std::vector<std::int64_t> gaps;
  for (std::size_t i = 1; i < times.size(); ++i) gaps.push_back(times[i] - times[i - 1]);
  return gaps;
}

}  // namespace bench
