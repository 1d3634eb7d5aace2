#pragma once
// The name stem of every spool file: the time of writing within its month, in milliseconds, as
// upper-case hexadecimal ((day × 86400 + h × 3600 + m × 60 + s) × 1000 + ms).

#include <cstdint>
#include <optional>
#include <string>

#include "core/date_time.h"

namespace drvnt {

std::uint32_t SpoolStemValue(const CalendarTime& t);
std::string StemText(std::uint32_t value);

// The stem of a date-time, or nothing when it is not a calendar time.
std::optional<std::string> SpoolFileStem(DateTime when);

}  // namespace drvnt
