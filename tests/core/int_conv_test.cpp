#include "core/int_conv.h"

#include <gtest/gtest.h>

namespace drvnt {
namespace {

struct Case {
  const char* text;
  std::optional<std::int32_t> expected;
};

TEST(IntegerConversion, FollowsTheRule) {
  const Case cases[] = {
      {"0", 0},
      {"123", 123},
      {"0123", 123},
      {"   42", 42},
      {"+7", 7},
      {"-15", -15},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"2147483648", std::nullopt},
      {"99999999999", std::nullopt},
      {"$1F", 31},
      {"x1f", 31},
      {"X10", 16},
      {"0x10", 16},
      {"0XfF", 255},
      {"-$10", -16},
      {"$FFFFFFFF", -1},
      {"$100000000", std::nullopt},
      {"$000000001", 1},
      {"0x00000000FFFFFFFF", -1},
      {"$0000000100000000", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"-", std::nullopt},
      {"$", std::nullopt},
      {"0x", std::nullopt},
      {"12B4", std::nullopt},
      {"12 ", std::nullopt},
      {"\t5", std::nullopt},
      {"true", std::nullopt},
      {"1.5", std::nullopt},
      {std::string_view("\0\0\0", 3).data(), std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseInteger(c.text), c.expected) << '"' << c.text << '"';
  }
}

TEST(IntegerConversion, EmbeddedZeroBytesAreNotDigits) {
  EXPECT_EQ(ParseInteger(std::string_view("\0\0", 2)), std::nullopt);
  EXPECT_EQ(StrToIntDef(std::string_view("1\0", 2), 0), 0);
  EXPECT_EQ(StrToIntDef("junk", -1), -1);
}

}  // namespace
}  // namespace drvnt
