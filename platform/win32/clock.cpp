// Clocks on Windows.
#include "platform/clock.h"

#include <windows.h>

namespace platform {

// The performance counter: linepoke paces its command at 10 ms a byte with
// this clock, and GetTickCount and timeGetTime advance in steps of the
// system tick (10-16 ms unless some program raised the timer resolution).
// The counter has sub-microsecond resolution on every Windows since XP and
// needs no process-wide change of the system timer, as timeBeginPeriod would.
std::uint32_t MilliClock() {
  static const LONGLONG frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  // Whole seconds and the rest apart, so the product never overflows.
  const LONGLONG seconds = now.QuadPart / frequency;
  const LONGLONG rest = now.QuadPart % frequency;
  const unsigned long long ms =
      static_cast<unsigned long long>(seconds) * 1000u +
      static_cast<unsigned long long>(rest * 1000 / frequency);
  return static_cast<std::uint32_t>(ms);
}

void LocalTimeNow(LocalTime* now) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  now->year = t.wYear;
  now->month = t.wMonth;
  now->day = t.wDay;
  now->hour = t.wHour;
  now->minute = t.wMinute;
  now->second = t.wSecond;
}

}  // namespace platform
