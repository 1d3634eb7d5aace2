#include "core/spool_stem.h"

#include <gtest/gtest.h>

namespace drvnt {
namespace {

TEST(SpoolStem, ValuesAndTexts) {
  struct Case {
    CalendarTime t;
    const char* stem;
  };
  const Case cases[] = {
      {{2026, 1, 1, 0, 0, 0, 0, 0}, "5265C00"},
      {{2026, 3, 15, 10, 30, 0, 250, 0}, "4F802D3A"},
      {{2026, 12, 31, 23, 59, 59, 999, 0}, "A4CB7FFF"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StemText(SpoolStemValue(c.t)), c.stem);
    DateTime v = 0;
    ASSERT_TRUE(TryEncodeDateTime(c.t, v));
    EXPECT_EQ(SpoolFileStem(v), std::optional<std::string>(c.stem));
  }
}

TEST(SpoolStem, NoStemForWhatIsNoCalendarTime) {
  EXPECT_EQ(SpoolFileStem(1e300), std::nullopt);
}

}  // namespace
}  // namespace drvnt
