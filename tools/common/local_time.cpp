#include "common/local_time.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace drvnt::sim {
namespace {

constexpr std::int64_t kMsPerDay = 86400000;
constexpr std::int64_t kUnixEpochDay = 25569;  // 1 January 1970 counted from 30 December 1899
constexpr double kFirstDay = -693593.0;        // 1 January of year 1
constexpr double kPastLastDay = 2958466.0;     // 1 January 10000

// Civil calendar arithmetic on the proleptic Gregorian calendar, days counted from 1970-01-01.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

DateTime Compose(int y, int mo, int d, std::int64_t msOfDay) {
  const double date = static_cast<double>(DaysFromCivil(y, mo, d) + kUnixEpochDay);
  const double time = static_cast<double>(msOfDay) / static_cast<double>(kMsPerDay);
  // Before the origin the fraction still counts forward from midnight: -1.25 is 29 December
  // 1899, 6:00.
  return date < 0 ? date - time : date + time;
}

}  // namespace

DateTime NowLocal() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  const std::int64_t ms =
      (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) * 1000LL + ts.tv_nsec / 1000000;
  return Compose(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, ms);
}

bool ParseIsoDateTime(std::string_view text, DateTime& out) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0, used = 0;
  char sep = 0;
  const std::string t(text);
  if (std::sscanf(t.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &y, &mo, &d, &sep, &h, &mi, &s, &used) !=
          7 ||
      (sep != 'T' && sep != ' ')) {
    return false;
  }
  if (static_cast<std::size_t>(used) != t.size()) {
    int more = 0;
    if (std::sscanf(t.c_str() + used, ".%3d%n", &ms, &more) != 1 ||
        static_cast<std::size_t>(used + more) != t.size() || more != 4) {
      return false;
    }
  }
  if (y < 1 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo) || h > 23 ||
      mi > 59 || s > 59 || h < 0 || mi < 0 || s < 0 || ms < 0) {
    return false;
  }
  out = Compose(y, mo, d, (h * 3600 + mi * 60 + s) * 1000LL + ms);
  return true;
}

std::string FormatIsoDateTime(DateTime value) {
  if (!std::isfinite(value) || value < kFirstDay || value >= kPastLastDay)
    return "invalid";
  std::int64_t days = 0;
  std::int64_t ms = 0;
  if (value >= 0) {
    const std::int64_t total = std::llround(value * static_cast<double>(kMsPerDay));
    days = total / kMsPerDay;
    ms = total % kMsPerDay;
  } else {
    const double whole = std::trunc(value);
    days = static_cast<std::int64_t>(whole);
    ms = std::llround((whole - value) * static_cast<double>(kMsPerDay));
    if (ms >= kMsPerDay)
      ms = kMsPerDay - 1;
  }
  int y = 0, mo = 0, d = 0;
  CivilFromDays(days - kUnixEpochDay, y, mo, d);
  if (y < 1 || y > 9999)
    return "invalid";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", y, mo, d,
                static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
                static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
  return buf;
}

}  // namespace drvnt::sim
