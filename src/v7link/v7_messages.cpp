#include "v7link/v7_messages.h"

#include <limits>
#include <string>
#include <vector>

#include "core/bytes.h"

namespace drvnt {
namespace {

V7Piece Frame(std::uint8_t type) {
  V7Piece m{};
  m[0] = 0xFF;
  m[1] = 0xFF;
  m[2] = type;
  return m;
}

}  // namespace

V7Piece GreetingMessage() {
  V7Piece m = Frame(v7type::kGreeting);
  m[3] = 9;
  return m;
}

V7Piece PortStatusMessage(std::uint8_t portNumber) {
  V7Piece m = Frame(v7type::kPortStatus);
  m[3] = portNumber;
  return m;
}

V7Piece StatusMessage(std::uint8_t type) {
  V7Piece m = Frame(type);
  PutU32(&m[5], 9);
  return m;
}

std::optional<std::int32_t> PortNumberOfDevice(std::string_view deviceName) {
  if (deviceName.size() <= 7)
    return std::nullopt;
  // Plain decimal digits: no sign, no blanks, no hexadecimal prefix ("COM0x10" is no port).
  std::int64_t value = 0;
  for (const char c : deviceName.substr(7)) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<std::int32_t>::max())
      return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

bool HasV7Marker(std::span<const std::uint8_t> piece) {
  return piece.size() >= 2 && piece[0] == 0xFF && piece[1] == 0xFF;
}

DateTime TimeOfMessage(std::span<const std::uint8_t, kV7Size> piece) {
  return GetDouble(piece.data() + 30);
}

void TakeV7Pieces(MemoryStream& buffer, std::span<const std::uint8_t> incoming,
                  const std::function<void(std::span<const std::uint8_t, kV7Size>)>& onPiece) {
  buffer.SetPosition(buffer.Size());
  buffer.Write(incoming);
  // The buffer keeps only the incomplete rest before any piece is handled, so a handler that fails
  // can never make a piece count twice.
  const std::size_t whole = buffer.Size() / kV7Size * kV7Size;
  const std::vector<std::uint8_t> pieces(
      buffer.Bytes().begin(), buffer.Bytes().begin() + static_cast<std::ptrdiff_t>(whole));
  const std::vector<std::uint8_t> rest(buffer.Bytes().begin() + static_cast<std::ptrdiff_t>(whole),
                                       buffer.Bytes().end());
  buffer.Clear();
  buffer.Write(rest);
  for (std::size_t at = 0; at < whole; at += kV7Size) {
    onPiece(std::span<const std::uint8_t, kV7Size>(pieces.data() + at, kV7Size));
  }
}

}  // namespace drvnt
