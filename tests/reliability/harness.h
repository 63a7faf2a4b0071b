// Running tonecast against simulated units for the reliability suites: the
// console texts of a run, one run in a working directory, and the checks
// that every run must pass however the unit behaved.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/reliability/run_log_check.h"
#include "tests/support/process.h"
#include "tests/support/tonecast_text.h"

namespace reliability {

using testsupport::FileStatus;
using testsupport::kBanner;
using testsupport::kComplete;
using testsupport::kGoodDialogue;
using testsupport::kNg;

// Runs `tonecast args...` in dir with the extra environment entry (e.g.
// "COM3=/dev/pts/7"); killed after timeout_ms.
testsupport::ProcessResult RunTonecast(const std::string& dir, const std::string& env,
                                       const std::vector<std::string>& args,
                                       int timeout_ms = 180000);

// What every run must show, whatever the unit did: it ended by itself
// (within bound_s), without a signal, with status 1, nothing on standard
// error, and asleep while it waited (CPU time a small share of wall time).
// Returns "" or what is wrong.
std::string CheckRunEnded(const testsupport::ProcessResult& r, double bound_s);

// Parses "tonecast.log" in dir: every byte in whole records that form
// `runs` whole runs. Returns "" or what is wrong; *records gets the records.
std::string CheckLog(const std::string& dir, std::size_t runs,
                     std::vector<LogRecord>* records = nullptr);

// The error lines a console output shows ("\nError : " ...).
int CountConsoleErrors(const std::string& out);

// This process: open descriptors and resident set size.
int OpenDescriptorCount();
long ResidentKb();

}  // namespace reliability
