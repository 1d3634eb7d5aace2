#include "core/spool_stem.h"

#include <cstdio>

namespace drvnt {

std::uint32_t SpoolStemValue(const CalendarTime& t) {
  const std::uint32_t seconds =
      static_cast<std::uint32_t>(t.day) * 86400u + static_cast<std::uint32_t>(t.hour) * 3600u +
      static_cast<std::uint32_t>(t.minute) * 60u + static_cast<std::uint32_t>(t.second);
  return seconds * 1000u + static_cast<std::uint32_t>(t.millisecond);
}

std::string StemText(std::uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(value));
  return buf;
}

std::optional<std::string> SpoolFileStem(DateTime when) {
  CalendarTime t;
  if (!TryDecodeDateTime(when, t))
    return std::nullopt;
  return StemText(SpoolStemValue(t));
}

}  // namespace drvnt
