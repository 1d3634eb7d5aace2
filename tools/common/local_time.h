#pragma once
// Date-times as both server links carry them: a double counting days since 30 December 1899 in
// local time, the fraction being the time of day. The simulated peers convert them on their own so
// that they check the driver's conversion instead of repeating it.

#include <string>
#include <string_view>

namespace drvnt::sim {

using DateTime = double;

// The local clock now, to the millisecond.
DateTime NowLocal();

// "2026-05-01T10:30:00", optionally with ".250" milliseconds; a blank may stand for the "T".
// False for anything else and for dates that do not exist.
bool ParseIsoDateTime(std::string_view text, DateTime& out);

// The same form with milliseconds always present; "invalid" for a value that is no calendar time
// (not a number, infinite, before year 1 or after 9999), so a bad field still prints as one word.
std::string FormatIsoDateTime(DateTime value);

}  // namespace drvnt::sim
