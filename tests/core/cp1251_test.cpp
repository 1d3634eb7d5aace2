#include "core/cp1251.h"

#include <gtest/gtest.h>

namespace drvnt {
namespace {

TEST(Cp1251, ErrorLogTextBytes) {
  EXPECT_EQ(Utf8ToCp1251("ошибка №"), "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9");
}

TEST(Cp1251, RoundTripOfTheWholeAlphabet) {
  const std::string text =
      "АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдеёжзийклмнопрстуфхцчшщъыьэюя COM1";
  EXPECT_EQ(Cp1251ToUtf8(Utf8ToCp1251(text)), text);
  EXPECT_EQ(Utf8ToCp1251(text).size(), 71u);
}

TEST(Cp1251, CharactersWithoutAByteBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToCp1251("a\xE4\xB8\xAD"
                         "b"),
            "a?b");
  EXPECT_EQ(Utf8ToCp1251("\xFF"), "?");
}

}  // namespace
}  // namespace drvnt
