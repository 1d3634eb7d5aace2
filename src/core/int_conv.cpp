#include "core/int_conv.h"

namespace drvnt {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// Leading zeros do not count against the eight digits of 32 bits: "$000000001" is 1.
std::optional<std::uint32_t> ParseHex(std::string_view digits) {
  if (digits.empty())
    return std::nullopt;
  std::uint32_t value = 0;
  for (char c : digits) {
    const int d = HexDigit(c);
    if (d < 0 || value > 0x0FFFFFFFu)
      return std::nullopt;
    value = (value << 4) | static_cast<std::uint32_t>(d);
  }
  return value;
}

// Magnitude of a decimal number, refused above `limit`.
std::optional<std::uint32_t> ParseDecimal(std::string_view digits, std::uint32_t limit) {
  if (digits.empty())
    return std::nullopt;
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > limit)
      return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace

std::optional<std::int32_t> ParseInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ')
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::string_view rest = text.substr(i);

  bool hex = false;
  if (!rest.empty() && (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X')) {
    hex = true;
    rest.remove_prefix(1);
  } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
    hex = true;
    rest.remove_prefix(2);
  }

  if (hex) {
    const auto bits = ParseHex(rest);
    if (!bits)
      return std::nullopt;
    const std::uint32_t v = negative ? 0u - *bits : *bits;
    return static_cast<std::int32_t>(v);
  }
  const auto magnitude = ParseDecimal(rest, negative ? 2147483648u : 2147483647u);
  if (!magnitude)
    return std::nullopt;
  if (negative)
    return static_cast<std::int32_t>(0u - *magnitude);
  return static_cast<std::int32_t>(*magnitude);
}

}  // namespace drvnt
