#pragma once
// The shared date-time: an IEEE-754 double counting days since 30 December 1899 in local time,
// the fraction being the time of day. Both event formats, the V7 time message, the frame time
// and the spool pacing carry it; as a duration it is a fraction of a day.

#include <cstdint>
#include <string>

namespace drvnt {

using DateTime = double;

inline constexpr double kMsPerDay = 86400000.0;
inline constexpr DateTime kOneSecond = 1.0 / 86400.0;
inline constexpr DateTime kOneDay = 1.0;

struct CalendarTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int dayOfWeek = 6;  // 0 = Sunday .. 6 = Saturday

  friend bool operator==(const CalendarTime&, const CalendarTime&) = default;
};

// Builds the date-time of calendar fields (dayOfWeek is ignored). Fields out of range give false.
bool TryEncodeDateTime(const CalendarTime& fields, DateTime& out);

// Splits a date-time into calendar fields, rounding to the millisecond. Not-a-number, infinities
// and values outside the years 1..9999 are not calendar times and give false.
bool TryDecodeDateTime(DateTime value, CalendarTime& out);

// Milliseconds as a duration.
inline constexpr DateTime MsToDateTime(double ms) {
  return ms / kMsPerDay;
}

// The date and time as the operator reads them in the log and on the window: the short date
// followed by the long time, "10.12.2026 9:05:03".
std::string FormatDateTime(const CalendarTime& t);

}  // namespace drvnt
