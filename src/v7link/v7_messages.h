#pragma once
// The V7 messages: every message in either direction is exactly 555 bytes, FF FF, a type byte and
// 552 bytes of content. There is no length field and no checksum: the receiving side cuts the byte
// stream into consecutive 555-byte pieces, so one lost or extra byte puts every later piece out of
// step. Bytes the layouts leave undefined are sent as zero.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "core/date_time.h"
#include "core/memory_stream.h"

namespace drvnt {

inline constexpr std::size_t kV7Size = 555;
using V7Piece = std::array<std::uint8_t, kV7Size>;

namespace v7type {
inline constexpr std::uint8_t kEvent = 0x15;
inline constexpr std::uint8_t kGreeting = 0x14;
inline constexpr std::uint8_t kPortStatus = 0x32;
inline constexpr std::uint8_t kLinkRestored = 0x49;  // "I"
inline constexpr std::uint8_t kLinkLost = 0x48;      // "H"
inline constexpr std::uint8_t kTime = 0x04;
inline constexpr std::uint8_t kClose = 0x11;
}  // namespace v7type

V7Piece GreetingMessage();
V7Piece PortStatusMessage(std::uint8_t portNumber);
// A receiver-link status message: "I" (restored) or "H" (lost).
V7Piece StatusMessage(std::uint8_t type);

// The serial port number from the device name after its first 7 characters ("\\.\COM3" gives 3,
// "\\.\COM300" gives 300); nothing when the rest is not a decimal number.
std::optional<std::int32_t> PortNumberOfDevice(std::string_view deviceName);

bool HasV7Marker(std::span<const std::uint8_t> piece);

// The date-time of a time message (offsets 30..37).
DateTime TimeOfMessage(std::span<const std::uint8_t, kV7Size> piece);

// Appends `incoming` to `buffer` and hands every whole 555-byte piece to `onPiece` in order; what
// is left (fewer than 555 bytes) stays in `buffer` for the next read.
void TakeV7Pieces(MemoryStream& buffer, std::span<const std::uint8_t> incoming,
                  const std::function<void(std::span<const std::uint8_t, kV7Size>)>& onPiece);

}  // namespace drvnt
