#pragma once
// The two byte formats of a decoded event: the 22-byte event record of the V8 link (also the body
// of a .dd8 spool file, behind its 4-byte record type) and the 555-byte event message of the V7
// link (also the whole of a .ddk spool file). Packed, little-endian, built byte by byte so that the
// layout never depends on the compiler.

#include <array>
#include <cstdint>

#include "core/date_time.h"
#include "receiver/frame_decoder.h"

namespace drvnt {

inline constexpr std::uint32_t kEventRecordType = 0x03000032;
inline constexpr std::size_t kEventRecordSize = 22;
inline constexpr std::size_t kDd8FileSize = 4 + kEventRecordSize;
inline constexpr std::size_t kV7MessageSize = 555;
inline constexpr std::uint8_t kEventTag = 24;

using EventRecord = std::array<std::uint8_t, kEventRecordSize>;
using V7Message = std::array<std::uint8_t, kV7MessageSize>;

EventRecord BuildEventRecord(const DecodedEvent& e);

// The event message with `built` (the time the message is made) at offset 30.
V7Message BuildEventMessage(const DecodedEvent& e, DateTime built);

// A .dd8 spool file: the record type, then the record.
std::array<std::uint8_t, kDd8FileSize> BuildDd8File(const EventRecord& record);

}  // namespace drvnt
