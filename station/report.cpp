#include "station/report.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>

#include "platform/clock.h"
#include "platform/file.h"
#include "station/paths.h"

namespace station {

namespace {

// Another station may be appending to the same report: its hold is brief.
// Once a row is kept, later tries do not wait (a spreadsheet holds the file
// for hours; the rows are tried again later in any case).
constexpr int kBusyTries = 50;
constexpr auto kBusyPause = std::chrono::milliseconds(20);
// Files beside the report tried for rows of this shape.
constexpr int kMaxSide = 99;

std::string SideName(int side) {
  return side == 1 ? "report.csv" : "report-" + std::to_string(side) + ".csv";
}

// Opens the report, waiting a little while another program holds it.
int OpenRecords(const std::string& path, int busy_tries, platform::File** file) {
  int err = 0;
  for (int i = 0; i < busy_tries; ++i) {
    if (i > 0) std::this_thread::sleep_for(kBusyPause);
    err = platform::FileOpenRecords(path.c_str(), file);
    if (!platform::ErrorIs(err, platform::Failure::kBusy)) break;
  }
  return err;
}

// Whether the file (size bytes) begins with this station's header.
int HasOurHeader(platform::File* file, std::uint32_t size, bool* ours) {
  const std::string header = ReportHeader();
  *ours = false;
  if (size < header.size()) return 0;
  std::string head(header.size(), '\0');
  std::size_t got = 0;
  if (const int err = platform::FileReadAt(file, 0, head.data(), head.size(), &got)) return err;
  *ours = got == head.size() && head == header;
  return 0;
}

// Writes the rows, oldest first, each with one call (the first of an empty
// file with the header in front) into a file of `size` bytes that ends with
// a line end. A row not written whole is cut back out and stays in `rows`
// with those after it; the rows written leave it.
int AppendRows(platform::File* file, std::uint32_t size, std::deque<std::string>* rows) {
  while (!rows->empty()) {
    const std::string text = (size == 0 ? ReportHeader() : "") + rows->front();
    if (const int err = platform::FileAppendOnce(file, text.data(), text.size())) {
      platform::FileTruncate(file, size);
      return err;
    }
    size += static_cast<std::uint32_t>(text.size());
    rows->pop_front();
  }
  return 0;
}

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
  return "start,round,port,device,image,image_sha256,size,flash_mbit,verdict,error,duration_s,"
         "host,tonecast_version\n";
}

std::string ReportLine(const ReportRow& row) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", row.seconds);
  return CsvField(row.start) + "," + std::to_string(row.round) + "," + CsvField(row.port) + "," +
         CsvField(row.device) + "," + CsvField(row.image) + "," + CsvField(row.image_sha256) + "," +
         std::to_string(row.size) + "," + std::to_string(row.flash) + "," + CsvField(row.verdict) +
         "," + CsvField(row.error) + "," + seconds + "," + CsvField(row.host) + "," +
         CsvField(row.tonecast_version) + "\n";
}

bool IsReportFileName(const std::string& name) {
  static const char kWord[] = "report";
  if (name.size() < sizeof kWord - 1) return false;
  for (std::size_t i = 0; i + 1 < sizeof kWord; ++i) {
    const char c = name[i] >= 'A' && name[i] <= 'Z' ? char(name[i] - 'A' + 'a') : name[i];
    if (c != kWord[i]) return false;
  }
  return true;
}

Report::Report(std::string folder)
    : folder_(std::move(folder)), path_(TextOf(PathOf(folder_) / SideName(1))) {}

// Opens the file for the rows (moving on to a file beside it while the
// header is another's), makes sure it ends with a line end, and writes each
// kept row with one call; a row not written whole is cut back out.
int Report::WriteKeptLocked(int busy_tries) {
  for (;;) {
    platform::File* file = nullptr;
    int err = OpenRecords(path_, busy_tries, &file);
    if (err != 0) return last_error_ = err;
    std::uint32_t size = 0;
    bool ours = true;
    err = platform::FileSize(file, &size);
    if (err == 0 && size > 0) err = HasOurHeader(file, size, &ours);
    if (err == 0 && !ours) {
      platform::FileClose(file);
      if (side_ >= kMaxSide) return last_error_ = platform::ErrorCode(platform::Failure::kInvalid);
      const std::string was = path_;
      path_ = TextOf(PathOf(folder_) / SideName(++side_));
      notes_.push_back(was + " has other columns: its rows go to " + path_);
      continue;
    }
    if (err == 0 && size > 0) {
      // A last line without its line end (an editor's save, a cut row of an
      // older program) gets one, so that no row is glued onto it.
      char last = '\n';
      std::size_t got = 0;
      err = platform::FileReadAt(file, size - 1, &last, 1, &got);
      if (err == 0 && got == 1 && last != '\n') {
        err = platform::FileAppendOnce(file, "\n", 1);
        if (err != 0) {
          platform::FileTruncate(file, size);
        } else {
          size += 1;
        }
      }
    }
    if (err == 0) err = AppendRows(file, size, &kept_);
    platform::FileClose(file);
    if (err != 0) last_error_ = err;
    return err;
  }
}

int Report::Prepare() {
  std::lock_guard<std::mutex> lock(mu_);
  std::error_code ec;
  if (!std::filesystem::exists(PathOf(path_), ec)) return 0;  // made with its first row
  return WriteKeptLocked(1);
}

int Report::Append(const ReportRow& row) {
  std::lock_guard<std::mutex> lock(mu_);
  kept_.push_back(ReportLine(row));
  return WriteKeptLocked(kept_.size() > 1 ? 1 : kBusyTries);
}

int Report::Retry(bool hurried) {
  std::lock_guard<std::mutex> lock(mu_);
  if (kept_.empty()) return 0;
  return WriteKeptLocked(hurried ? 1 : kBusyTries);
}

std::string Report::Rescue(int* err, std::string* unsaved) {
  std::lock_guard<std::mutex> lock(mu_);
  *err = 0;
  unsaved->clear();
  if (kept_.empty()) return "";
  platform::LocalTime t;
  platform::LocalTimeNow(&t);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02dT%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  std::string path;
  std::error_code ec;
  for (int k = 1; k < 100; ++k) {
    path = TextOf(PathOf(folder_) / ("report-unsaved-" + std::string(stamp) +
                                     (k == 1 ? "" : "-" + std::to_string(k)) + ".csv"));
    if (!std::filesystem::exists(PathOf(path), ec) && !ec) break;
  }
  platform::File* file = nullptr;
  *err = platform::FileOpenRecords(path.c_str(), &file);
  std::uint32_t size = 0;
  if (*err == 0) *err = platform::FileSize(file, &size);
  if (*err == 0) *err = AppendRows(file, size, &kept_);
  if (file) platform::FileClose(file);
  if (*err != 0) {
    *unsaved = ReportHeader();
    for (const std::string& row : kept_) *unsaved += row;
  }
  return path;
}

std::string Report::path() {
  std::lock_guard<std::mutex> lock(mu_);
  return path_;
}

std::size_t Report::kept() {
  std::lock_guard<std::mutex> lock(mu_);
  return kept_.size();
}

int Report::last_error() {
  std::lock_guard<std::mutex> lock(mu_);
  return last_error_;
}

std::vector<std::string> Report::TakeNotes() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> notes;
  notes.swap(notes_);
  return notes;
}

std::string LocalTimeText() {
  platform::LocalTime t;
  platform::LocalTimeNow(&t);
  const int offset = t.utc_offset_minutes < 0 ? -t.utc_offset_minutes : t.utc_offset_minutes;
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", t.year, t.month,
                t.day, t.hour, t.minute, t.second, t.utc_offset_minutes < 0 ? '-' : '+',
                offset / 60, offset % 60);
  return text;
}

}  // namespace station
