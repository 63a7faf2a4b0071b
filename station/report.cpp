#include "station/report.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/clock.h"
#include "platform/file.h"

namespace station {

namespace {

// Another station may be appending to the same report: its hold is brief.
constexpr int kBusyTries = 50;
constexpr auto kBusyPause = std::chrono::milliseconds(20);

}  // namespace

std::string CsvField(const std::string& text) {
  const bool quote = text.find_first_of(",\"\r\n") != std::string::npos ||
                     (!text.empty() && (text.front() == ' ' || text.back() == ' '));
  if (!quote) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string ReportHeader() {
  return "start,port,device,image,size,flash_mbit,verdict,error,seconds\n";
}

std::string ReportLine(const ReportRow& row) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", row.seconds);
  return CsvField(row.start) + "," + CsvField(row.port) + "," + CsvField(row.device) + "," +
         CsvField(row.image) + "," + std::to_string(row.size) + "," + std::to_string(row.flash) +
         "," + CsvField(row.verdict) + "," + CsvField(row.error) + "," + seconds + "\n";
}

namespace {

int AppendTo(const std::string& path, const ReportRow& row) {
  platform::File* file = nullptr;
  int err = 0;
  for (int i = 0; i < kBusyTries; ++i) {
    err = platform::FileOpenAppendExclusive(path.c_str(), &file);
    if (!platform::ErrorIs(err, platform::Failure::kBusy)) break;
    std::this_thread::sleep_for(kBusyPause);
  }
  if (err != 0) return err;
  std::uint32_t size = 0;
  err = platform::FileSize(file, &size);
  if (err == 0) {
    const std::string text = (size == 0 ? ReportHeader() : "") + ReportLine(row);
    err = platform::FileAppend(file, text.data(), text.size());
  }
  platform::FileClose(file);
  return err;
}

}  // namespace

int Report::Append(const ReportRow& row) {
  std::lock_guard<std::mutex> lock(mu_);
  const int err = AppendTo(path_, row);
  if (err != 0) {
    failures_ += 1;
    last_error_ = err;
  }
  return err;
}

int Report::failures() {
  std::lock_guard<std::mutex> lock(mu_);
  return failures_;
}

int Report::last_error() {
  std::lock_guard<std::mutex> lock(mu_);
  return last_error_;
}

std::string LocalTimeText() {
  platform::LocalTime t;
  platform::LocalTimeNow(&t);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

}  // namespace station
