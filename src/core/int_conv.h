#pragma once
// The integer conversion rule shared by INI integers, INI booleans and the numeric fields of
// receiver frames: leading blanks, an optional sign, then decimal digits, or hexadecimal digits
// after "$", "x", "X", "0x" or "0X". Anything else, including trailing characters, an empty field
// or a value outside 32 bits, is not a number and gives the caller's default.

#include <cstdint>
#include <optional>
#include <string_view>

namespace drvnt {

// The value of `text`, or nothing when it is not a valid 32-bit integer. Hexadecimal takes any
// number of digits whose value fits 32 bits and keeps their 32-bit pattern ($FFFFFFFF is -1).
std::optional<std::int32_t> ParseInteger(std::string_view text);

inline std::int32_t StrToIntDef(std::string_view text, std::int32_t defaultValue) {
  return ParseInteger(text).value_or(defaultValue);
}

}  // namespace drvnt
