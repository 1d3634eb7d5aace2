#pragma once
// What one 555-byte piece from the V7 server asks of the driver. The server sends time messages
// (set the local clock to the date-time at offset 30) and close messages (close the program);
// every other marked piece is counted and asks nothing, and a piece without the FF FF marker is no
// message at all.
//
// Pure: it reads the piece and says what it asks; the engine sets the clock or closes. It never
// trusts the date-time: one that is no calendar time is reported as such, never applied.

#include <cstdint>
#include <span>

#include "core/date_time.h"
#include "v7link/v7_messages.h"

namespace drvnt {

enum class V7ServerRequest {
  kNotAMessage,  // no FF FF marker: dropped, not counted
  kNothing,      // a message that asks nothing of the driver
  kSetTime,      // a time message: set the local clock to `time`
  kBadTime,      // a time message whose date-time is no calendar time: the clock is left alone
  kClose,        // a close message: close the program
};

struct V7ServerMessage {
  V7ServerRequest request = V7ServerRequest::kNotAMessage;
  CalendarTime time;      // for kSetTime
  DateTime sentTime = 0;  // for kSetTime and kBadTime: the date-time as the server sent it
};

V7ServerMessage ReadServerMessage(std::span<const std::uint8_t, kV7Size> piece);

}  // namespace drvnt
