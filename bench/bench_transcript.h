// Reading the simulated unit's transcript: one record a line,
// "<monotonic microseconds> <text>".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Time of the first record whose text begins with `prefix`; false when none.
bool RecordTime(const std::string& transcript, const std::string& prefix, std::int64_t* t_us);

// Arrival times of the bytes of the command line whose escaped text (as the
// transcript quotes it, e.g. "VER 1\r") is `quoted`: the list after
// " arrivals=" on that record. Empty when the record is missing.
std::vector<std::int64_t> CommandArrivals(const std::string& transcript, const std::string& quoted);

// Differences between neighbouring times.
std::vector<std::int64_t> Gaps(const std::vector<std::int64_t>& times);

}  // namespace bench
