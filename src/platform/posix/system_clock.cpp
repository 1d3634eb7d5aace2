// The system clock on POSIX: local time from CLOCK_REALTIME and the time zone, ticks from
// CLOCK_MONOTONIC, setting the clock with clock_settime.

#include <ctime>

#include "platform/clock.h"

namespace drvnt {
namespace {

class PosixClock final : public Clock {
 public:
  DateTime Now() const override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    localtime_r(&ts.tv_sec, &tm);
    CalendarTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second counts as :59
    t.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
    DateTime value = 0;
    TryEncodeDateTime(t, value);
    return value;
  }

  std::uint32_t Ticks() const override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                    static_cast<std::uint64_t>(ts.tv_nsec / 1000000);
    return static_cast<std::uint32_t>(ms);
  }

  bool SetLocalTime(const CalendarTime& t) override {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    const time_t seconds = mktime(&tm);
    if (seconds == static_cast<time_t>(-1))
      return false;
    timespec ts{};
    ts.tv_sec = seconds;
    ts.tv_nsec = static_cast<long>(t.millisecond) * 1000000L;
    return clock_settime(CLOCK_REALTIME, &ts) == 0;
  }
};

}  // namespace

Clock& SystemClock() {
  static PosixClock clock;
  return clock;
}

}  // namespace drvnt
