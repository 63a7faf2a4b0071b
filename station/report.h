// The report of a logs folder, report.csv: one row per unit per run, the
// record that a repair line keeps. Rows are appended; the header line is
// written when the file is new or empty.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace station {

struct ReportRow {
  std::string start;   // local time the run began, "2026-12-09 06:32:59"
  std::string port;    // as shown (COM3, ttyUSB0)
  std::string device;  // the port as named (/dev/serial/by-id/..., COM3)
  std::string image;   // the image's file name
  std::uint32_t size = 0;
  int flash = 8;        // Mbit
  std::string verdict;  // complete, NG, no verdict
  std::string error;    // the first error text, "" for none
  double seconds = 0;
};

// The header line and a row, each with its line end. Fields are quoted when
// they hold a comma, a quote, a line end or a leading or trailing blank,
// with quotes doubled inside.
std::string ReportHeader();
std::string ReportLine(const ReportRow& row);
std::string CsvField(const std::string& text);

// Appends rows to one report file; the units' threads share it.
class Report {
 public:
  explicit Report(std::string path) : path_(std::move(path)) {}
  // Appends the row (and the header first, to a new or empty file). Another
  // program holding the file is waited for a little. 0, or the platform's
  // error code.
  int Append(const ReportRow& row);
  const std::string& path() const { return path_; }
  // The rows that could not be written, and the last one's error.
  int failures();
  int last_error();

 private:
  const std::string path_;
  std::mutex mu_;
  int failures_ = 0;
  int last_error_ = 0;
};

// The local time now as the report and the console file show it.
std::string LocalTimeText();

}  // namespace station
