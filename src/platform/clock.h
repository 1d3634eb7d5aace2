#pragma once
// The clock every component reads: local date-time, 32-bit millisecond ticks compared by unsigned
// difference, and setting the local clock. Injected so that tests drive pacing, time-outs,
// supervision and the tick wrap-around without sleeping.

#include <cstdint>

#include "core/date_time.h"

namespace drvnt {

class Clock {
 public:
  virtual ~Clock() = default;
  // Local date-time now, with milliseconds.
  virtual DateTime Now() const = 0;
  // Milliseconds of a monotonic clock, truncated to 32 bits.
  virtual std::uint32_t Ticks() const = 0;
  // Sets the local clock; false when the system refused.
  virtual bool SetLocalTime(const CalendarTime& t) = 0;
};

// Milliseconds from `since` to `now`, modulo 2^32, so the wrap after about 49.7 days does no harm.
inline std::uint32_t TicksSince(std::uint32_t now, std::uint32_t since) {
  return now - since;
}

// The system's clock.
Clock& SystemClock();

}  // namespace drvnt
