// Clocks: a wrapping millisecond counter and the local wall-clock time.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Milliseconds since an arbitrary start, monotonic, wrapping at 2^32.
// Differences taken modulo 2^32 are correct across a wrap.
std::uint32_t MilliClock();

struct LocalTime {
  int year = 0;    // four digits
  int month = 0;   // 1..12
  int day = 0;     // 1..31
  int hour = 0;    // 0..23
  int minute = 0;  // 0..59
  int second = 0;  // 0..60
  int utc_offset_minutes = 0;  // local time less UTC (+60 in Central Europe in winter)
};

// The local date and time, to the second.
void LocalTimeNow(LocalTime* now);

// The machine's name on the network ("bench-3"), UTF-8; "" when unknown.
std::string HostName();

}  // namespace platform
