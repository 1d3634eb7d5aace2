#include "core/date_time.h"

#include <cmath>
#include <cstdio>

namespace drvnt {
namespace {

// Days from 1970-01-01 to the civil date (proleptic Gregorian), after H. Hinnant's algorithm.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

constexpr std::int64_t kEpochOffsetDays = 25569;  // 1899-12-30 .. 1970-01-01
constexpr std::int64_t kMsPerDayInt = 86400000;

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

}  // namespace

bool TryEncodeDateTime(const CalendarTime& t, DateTime& out) {
  if (t.year < 1 || t.year > 9999 || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > DaysInMonth(t.year, t.month) || t.hour < 0 || t.hour > 23 || t.minute < 0 ||
      t.minute > 59 || t.second < 0 || t.second > 59 || t.millisecond < 0 || t.millisecond > 999) {
    return false;
  }
  const double date = static_cast<double>(
      DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) +
      kEpochOffsetDays);
  const double time =
      ((t.hour * 3600.0 + t.minute * 60.0 + t.second) * 1000.0 + t.millisecond) / kMsPerDay;
  // Before the origin the time of day still counts forward from midnight: -1.25 is
  // 29 December 1899, 6:00.
  out = date < 0 ? date - time : date + time;
  return true;
}

bool TryDecodeDateTime(DateTime value, CalendarTime& out) {
  if (!std::isfinite(value) || value < -693594.0 || value >= 2958466.0)
    return false;
  std::int64_t days;
  std::int64_t msOfDay;
  if (value >= 0) {
    const std::int64_t total = std::llround(value * kMsPerDay);
    days = total / kMsPerDayInt;
    msOfDay = total % kMsPerDayInt;
  } else {
    days = static_cast<std::int64_t>(std::trunc(value));
    msOfDay = std::llround(std::fabs(value - std::trunc(value)) * kMsPerDay);
    if (msOfDay >= kMsPerDayInt)
      msOfDay = kMsPerDayInt - 1;
  }
  const std::int64_t unixDays = days - kEpochOffsetDays;
  CivilFromDays(unixDays, out.year, out.month, out.day);
  if (out.year < 1 || out.year > 9999)
    return false;
  out.hour = static_cast<int>(msOfDay / 3600000);
  out.minute = static_cast<int>(msOfDay / 60000 % 60);
  out.second = static_cast<int>(msOfDay / 1000 % 60);
  out.millisecond = static_cast<int>(msOfDay % 1000);
  // 1970-01-01 was a Thursday.
  out.dayOfWeek = static_cast<int>(((unixDays % 7) + 7 + 4) % 7);
  return true;
}

std::string FormatDateTime(const CalendarTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %d:%02d:%02d", t.day, t.month, t.year, t.hour,
                t.minute, t.second);
  return buf;
}

}  // namespace drvnt
