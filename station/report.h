// The report of a logs folder, report.csv: one row per unit per round, the
// record that a repair line keeps.
//
// A row is written with one write call, after making sure that the file
// ends with a line end; a row that was not written whole is cut back out
// (the file truncated to its size before the attempt), so no partial row
// ever stays. A file whose header is not this station's gets no row of
// another shape: the rows go to a file beside it (report-2.csv, ...). A row
// that cannot be written (the file held by another program, a full disk, the
// folder gone) is kept, tried again before each later row and at Retry, and
// at the end goes to a file of its own (Rescue). Every name the station
// gives a file in the logs folder begins with "report".
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace station {

struct ReportRow {
  std::string start;         // local time the run began, ISO 8601 with the UTC offset
  int round = 1;             // the station's round (--loop), from 1
  std::string port;          // as shown (COM3, ttyUSB0)
  std::string device;        // the port as named (/dev/serial/by-id/..., COM3)
  std::string image;         // the image's file name
  std::string image_sha256;  // the image's SHA-256, 64 hex digits
  std::uint32_t size = 0;
  int flash = 8;                 // Mbit
  std::string verdict;           // complete, NG, no verdict
  std::string error;             // the first error text, "" for none
  double seconds = 0;            // the unit's run time
  std::string host;              // the station's host name
  std::string tonecast_version;  // as tonecast said it, "" when it said none
};

// The header line and a row, each with its line end. Fields are quoted when
// they hold a comma, a quote, a line end or a leading or trailing blank,
// with quotes doubled inside.
std::string ReportHeader();
std::string ReportLine(const ReportRow& row);
std::string CsvField(const std::string& text);

// Whether a name in the logs folder is one the station keeps for its report
// files (a port's folder never takes such a name): any name that begins
// with "report", in any case.
bool IsReportFileName(const std::string& name);

// Appends rows to the report of one logs folder; the units' threads share it.
class Report {
 public:
  explicit Report(std::string folder);
  // Checks the report's header before a round (so that a switch to a file
  // beside it is said before units start). 0, or the error.
  int Prepare();
  // Keeps the row and writes every kept row. 0 when all are written, else the error.
  int Append(const ReportRow& row);
  // Writes the kept rows, waiting a little for another program that holds
  // the file unless hurried (the system gives the station only seconds).
  // 0 when none is left.
  int Retry(bool hurried = false);
  // The kept rows into a file of their own in the logs folder, at the end:
  // returns its path ("" when no row was kept). *err is 0, or the error of
  // that file too, and then *unsaved holds the rows' text.
  std::string Rescue(int* err, std::string* unsaved);

  std::string path();
  std::size_t kept();
  int last_error();
  // What the user should be told (a file changed for its header); each once.
  std::vector<std::string> TakeNotes();

 private:
  int WriteKeptLocked(int busy_tries);
  const std::string folder_;
  std::mutex mu_;
  std::string path_;
  int side_ = 1;                  // 1: report.csv; n: report-n.csv
  std::deque<std::string> kept_;  // rows not yet written, with their line ends
  int last_error_ = 0;
  std::vector<std::string> notes_;
};

// The local time now, ISO 8601 with the UTC offset: "2026-12-09T10:34:44+01:00".
std::string LocalTimeText();

}  // namespace station
