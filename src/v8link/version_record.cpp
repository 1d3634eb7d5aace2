#include "v8link/version_record.h"

#include <charconv>
#include <cstdint>

namespace drvnt {
namespace {

// An optional sign and decimal digits within 32 bits; anything else is 0.
std::uint16_t PieceValue(std::string_view piece) {
  const bool plus = !piece.empty() && piece.front() == '+';
  if (plus)
    piece.remove_prefix(1);
  if (piece.empty() || (plus && piece.front() == '-'))
    return 0;
  std::int32_t value = 0;
  const auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
  if (ec != std::errc() || end != piece.data() + piece.size())
    return 0;
  return static_cast<std::uint16_t>(value);
}

// The text before the first point, removing it and the point from `rest`; without a point the
// piece is empty and `rest` stays as it is.
std::uint16_t TakePiece(std::string_view& rest) {
  const std::size_t dot = rest.find('.');
  if (dot == std::string_view::npos)
    return 0;
  const std::string_view piece = rest.substr(0, dot);
  rest.remove_prefix(dot + 1);
  return PieceValue(piece);
}

}  // namespace

v8::VersionNumbers ParseVersionString(std::string_view text) {
  v8::VersionNumbers v;
  if (text.find('.') == std::string_view::npos)
    return v;
  v.major = TakePiece(text);
  v.minor = TakePiece(text);
  v.release = TakePiece(text);
  v.build = PieceValue(text);
  return v;
}

std::string_view ProgramVersionString() {
  return DRVNT_VERSION_STRING;
}

}  // namespace drvnt
