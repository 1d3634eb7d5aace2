#pragma once
// The 555-byte messages of the message-server link, seen from the server: decoding every piece
// the driver sends, and building the two messages the server may send it (time and close). The
// stream carries no lengths, so the server cuts it into consecutive 555-byte pieces; a piece
// without the FF FF marker is reported as it is, never searched for a marker.

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/le_bytes.h"
#include "common/line_out.h"
#include "common/local_time.h"

namespace drvnt::sim {

inline constexpr std::size_t kV7MessageSize = 555;

namespace v7type {
inline constexpr std::uint8_t kTime = 0x04;
inline constexpr std::uint8_t kClose = 0x11;
inline constexpr std::uint8_t kGreeting = 0x14;
inline constexpr std::uint8_t kEvent = 0x15;
inline constexpr std::uint8_t kPortStatus = 0x32;
inline constexpr std::uint8_t kLinkLost = 0x48;      // "H"
inline constexpr std::uint8_t kLinkRestored = 0x49;  // "I"
}  // namespace v7type

// piece holds exactly kV7MessageSize bytes.
Decoded DecodeV7Message(const std::uint8_t* piece);

Bytes BuildV7TimeMessage(DateTime when);
Bytes BuildV7CloseMessage();

}  // namespace drvnt::sim
