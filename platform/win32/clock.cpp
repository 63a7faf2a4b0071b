// Clocks on Windows.
#include "platform/clock.h"

#include <windows.h>

#include "platform/win32/text.h"

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

namespace {

std::int64_t Ticks(const SYSTEMTIME& t) {
  FILETIME f;
  if (!SystemTimeToFileTime(&t, &f)) return 0;
  return std::int64_t((std::uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime);
}

}  // namespace

void LocalTimeNow(LocalTime* now) {
  // One UTC reading, turned into local time by the zone's rules: the
  // difference of the two is the offset in force at that moment.
  SYSTEMTIME utc, t;
  GetSystemTime(&utc);
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &t)) t = utc;
  const std::int64_t minute = 600000000;  // 100 ns ticks
  const std::int64_t diff = Ticks(t) - Ticks(utc);
  now->utc_offset_minutes = int((diff >= 0 ? diff + minute / 2 : diff - minute / 2) / minute);
  now->year = t.wYear;
  now->month = t.wMonth;
  now->day = t.wDay;
  now->hour = t.wHour;
  now->minute = t.wMinute;
  now->second = t.wSecond;
}

std::string HostName() {
  wchar_t name[256];
  DWORD size = 256;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return "";
  return win32::Utf8FromWide(name);
}

}  // namespace platform
