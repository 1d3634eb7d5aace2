#include "core/date_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace drvnt {
namespace {

TEST(DateTime, KnownDaysAndTimes) {
  struct Case {
    CalendarTime t;
    double value;
  };
  const Case cases[] = {
      {{1899, 12, 30, 0, 0, 0, 0, 6}, 0.0},   {{1900, 1, 1, 0, 0, 0, 0, 1}, 2.0},
      {{1970, 1, 1, 0, 0, 0, 0, 4}, 25569.0}, {{2026, 12, 10, 12, 0, 0, 0, 4}, 46366.5},
      {{1899, 12, 29, 6, 0, 0, 0, 5}, -1.25},
  };
  for (const Case& c : cases) {
    DateTime v = 0;
    ASSERT_TRUE(TryEncodeDateTime(c.t, v));
    EXPECT_DOUBLE_EQ(v, c.value);
    CalendarTime back;
    ASSERT_TRUE(TryDecodeDateTime(c.value, back));
    EXPECT_EQ(back, c.t) << c.value;
  }
}

TEST(DateTime, MillisecondsSurviveTheRoundTrip) {
  const CalendarTime t{2026, 2, 28, 23, 59, 59, 999, 6};
  DateTime v = 0;
  ASSERT_TRUE(TryEncodeDateTime(t, v));
  CalendarTime back;
  ASSERT_TRUE(TryDecodeDateTime(v, back));
  EXPECT_EQ(back, t);
}

TEST(DateTime, RejectsWhatIsNoCalendarTime) {
  CalendarTime out;
  EXPECT_FALSE(TryDecodeDateTime(std::numeric_limits<double>::quiet_NaN(), out));
  EXPECT_FALSE(TryDecodeDateTime(std::numeric_limits<double>::infinity(), out));
  EXPECT_FALSE(TryDecodeDateTime(1e12, out));
  EXPECT_FALSE(TryDecodeDateTime(-1e7, out));
  DateTime v;
  EXPECT_FALSE(TryEncodeDateTime({2025, 2, 29, 0, 0, 0, 0, 0}, v));
  EXPECT_FALSE(TryEncodeDateTime({2025, 1, 1, 24, 0, 0, 0, 0}, v));
}

TEST(DateTime, FormatsShortDateAndLongTime) {
  EXPECT_EQ(FormatDateTime({2026, 12, 10, 9, 5, 3, 0, 4}), "10.12.2026 9:05:03");
}

}  // namespace
}  // namespace drvnt
