// Glyph pixels, message-window geometry and the password check.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "app/access_check.h"
#include "app/glyph.h"
#include "app/message_geometry.h"
#include "app/operator_ui.h"

namespace drvnt {
namespace {

// The frame of every glyph, worked out pixel by pixel: rows 2-3 and 13-14 across the whole width,
// column 0 and columns 14-15 from row 2 to row 14.
bool IsFrame(int x, int y) {
  const bool rows = (y >= 2 && y <= 3) || (y >= 13 && y <= 14);
  const bool columns = (x == 0 || x == 14 || x == 15) && y >= 2 && y <= 14;
  return rows || columns;
}

struct GlyphCase {
  int counter;
  std::set<int> barColumns;  // visible columns of the bar, rows 5 to 11
};

class GlyphTest : public ::testing::TestWithParam<GlyphCase> {};

TEST_P(GlyphTest, FrameAndBarInTheLinkColourOnWhite) {
  for (const bool up : {true, false}) {
    const GlyphPixels pixels = PaintGlyphPixels(up, GetParam().counter);
    const std::uint32_t colour = up ? kGlyphGreen : kGlyphRed;
    for (int y = 0; y < kGlyphSize; ++y) {
      for (int x = 0; x < kGlyphSize; ++x) {
        const bool bar = y >= 5 && y <= 11 && GetParam().barColumns.count(x) != 0;
        const std::uint32_t expected = (bar || IsFrame(x, y)) ? colour : kGlyphWhite;
        ASSERT_EQ(GlyphPixel(pixels, x, y), expected)
            << "counter " << GetParam().counter << " up " << up << " at (" << x << ", " << y << ")";
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Counters, GlyphTest,
                         ::testing::Values(GlyphCase{0, {0, 1, 2, 3, 4}},
                                           GlyphCase{11, {11, 12, 13, 14, 15}},
                                           GlyphCase{12, {12, 13, 14, 15}},
                                           GlyphCase{13, {13, 14, 15, 1}},
                                           GlyphCase{16, {1, 2, 3, 4}}));

TEST(GlyphTest, BarSitsBetweenWhiteRowsInsideTheFrame) {
  // Independent of the table: the bar's rows 4 and 12 stay white, the bar leaves a gap to the
  // frame, and row 15 (below the bottom edge) is white.
  const GlyphPixels pixels = PaintGlyphPixels(true, 5);
  for (int x = 5; x <= 9; ++x) {
    EXPECT_EQ(GlyphPixel(pixels, x, 4), kGlyphWhite);
    EXPECT_EQ(GlyphPixel(pixels, x, 5), kGlyphGreen);
    EXPECT_EQ(GlyphPixel(pixels, x, 11), kGlyphGreen);
    EXPECT_EQ(GlyphPixel(pixels, x, 12), kGlyphWhite);
  }
  for (int x = 0; x < kGlyphSize; ++x)
    EXPECT_EQ(GlyphPixel(pixels, x, 15), kGlyphWhite);
}

TEST(GlyphTest, CountersOutOfRangeStayInsideTheBitmap) {
  // Whatever a caller passes, nothing is written outside the 256 pixels (ASan watches) and the
  // frame is intact.
  for (const int counter : {-3, 17, 40, 2147483647, -2147483647 - 1}) {
    const GlyphPixels pixels = PaintGlyphPixels(false, counter);
    EXPECT_EQ(GlyphPixel(pixels, 0, 2), kGlyphRed) << counter;
    EXPECT_EQ(GlyphPixel(pixels, 7, 0), kGlyphWhite) << counter;
  }
}

struct MessageCase {
  std::string text;
  int width;
  int buttonLeft;
};

class MessageGeometryTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(MessageGeometryTest, WidthAndButtonFollowTheCharacterCount) {
  const MessageGeometry g = FitMessage(GetParam().text);
  EXPECT_EQ(g.windowWidth, GetParam().width);
  EXPECT_EQ(g.labelWidth, GetParam().width);
  EXPECT_EQ(g.labelLeft, 2);
  EXPECT_EQ(g.buttonLeft, GetParam().buttonLeft);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MessageGeometryTest,
    ::testing::Values(MessageCase{"Порт уже занят!", 150, 39},
                      MessageCase{"Не правильный пароль.", 210, 69},
                      MessageCase{"Порт уже занят. Смените его.", 280, 104},
                      MessageCase{"Неправильный пароль. В доступе отказано", 390, 159},
                      // Truncation toward zero: (50 - 72) / 2 is -11, not -11.5 rounded down.
                      MessageCase{"abcde", 50, -11}, MessageCase{"", 0, -36},
                      MessageCase{"Порт 7", 60, -6}));

struct AccessCase {
  std::string field;
  std::string password;
  int result;
};

class AccessCheckTest : public ::testing::TestWithParam<AccessCase> {};

TEST_P(AccessCheckTest, ExactComparison) {
  EXPECT_EQ(CheckAccess(GetParam().field, GetParam().password), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Fields, AccessCheckTest,
                         ::testing::Values(AccessCase{"48213", "48213", kAccessAccepted},
                                           AccessCase{"", "", kAccessAccepted},
                                           AccessCase{"123", "", kAccessAccepted},
                                           AccessCase{"4821", "48213", kAccessWrongPassword},
                                           AccessCase{"", "48213", kAccessWrongPassword},
                                           AccessCase{"     ", "48213", kAccessWrongPassword},
                                           AccessCase{"48213 ", "48213", kAccessWrongPassword},
                                           AccessCase{"48214", "48213", kAccessWrongPassword}));

}  // namespace
}  // namespace drvnt
