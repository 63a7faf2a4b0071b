#include "platform/clock.h"

#include <time.h>
#include <unistd.h>

namespace platform {

std::uint32_t MilliClock() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const std::uint64_t ms = std::uint64_t(ts.tv_sec) * 1000u + std::uint64_t(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

void LocalTimeNow(LocalTime* now) {
  const time_t t = time(nullptr);
  tm local{};
  localtime_r(&t, &local);
  now->year = local.tm_year + 1900;
  now->month = local.tm_mon + 1;
  now->day = local.tm_mday;
  now->hour = local.tm_hour;
  now->minute = local.tm_min;
  now->second = local.tm_sec;
  now->utc_offset_minutes = static_cast<int>(local.tm_gmtoff / 60);
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

}  // namespace platform
