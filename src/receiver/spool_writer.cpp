#include "receiver/spool_writer.h"

#include <iostream>

#include "core/spool_stem.h"

namespace drvnt {

SpoolWriter::SpoolWriter(SpoolDir& dir, Clock& clock, std::function<void(int)> logError)
    : dir_(dir), clock_(clock), logError_(std::move(logError)) {}

std::string SpoolWriter::FreeName(const std::string& prefix, const std::string& suffix,
                                  const std::string& extension) {
  CalendarTime now;
  if (!TryDecodeDateTime(clock_.Now(), now)) {
    if (logError_)
      logError_(11);
    // Without a stem the name is the prefix followed directly by the extension; if that is taken,
    // numbered stems keep the older file.
    std::string name = prefix + suffix + extension;
    for (std::uint32_t n = 1; dir_.Exists(name); ++n)
      name = prefix + StemText(n) + suffix + extension;
    return name;
  }
  std::uint32_t value = SpoolStemValue(now);
  std::string name = prefix + StemText(value) + suffix + extension;
  while (dir_.Exists(name))
    name = prefix + StemText(++value) + suffix + extension;
  return name;
}

std::optional<std::string> SpoolWriter::Write(const std::string& prefix, const std::string& suffix,
                                              const std::string& extension,
                                              std::span<const std::uint8_t> data,
                                              SpoolFlush flush) {
  const std::string path = FreeName(prefix, suffix, extension);
  auto error = flush == SpoolFlush::kNow ? dir_.WriteAtomically(path, data)
                                         : dir_.WriteAtomicallyUnflushed(path, data);
  if (error) {
    std::cerr << "spool: cannot write " << path << ": " << error->text << std::endl;
    return std::nullopt;
  }
  return path;
}

}  // namespace drvnt
