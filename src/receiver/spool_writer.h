#pragma once
// Writes spool files: one event or status message per file, named prefix + stem + suffix +
// extension, the stem being the writing time within its month in upper-case hexadecimal. Two files
// written in the same millisecond, or at the same day and time of another month, would get the
// same name and the newer would replace the older, losing an event: a taken name moves on to the
// next stem value until a free one is found. A file appears whole or not at all; a write that
// fails loses only that file, says so on standard error, and is never reported as success.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "platform/clock.h"
#include "platform/files.h"

namespace drvnt {

// Whether a write flushes the spool directory itself, or leaves that to one flush for all the
// files of an event frame (SpoolDir::SyncDirectoryOf).
enum class SpoolFlush { kNow, kWithTheFrame };

class SpoolWriter {
 public:
  // `logError` records error 11 when the clock gives no calendar time for a stem.
  SpoolWriter(SpoolDir& dir, Clock& clock, std::function<void(int)> logError);

  // The path written, or nothing when the file could not be written.
  std::optional<std::string> Write(const std::string& prefix, const std::string& suffix,
                                   const std::string& extension, std::span<const std::uint8_t> data,
                                   SpoolFlush flush = SpoolFlush::kNow);

 private:
  std::string FreeName(const std::string& prefix, const std::string& suffix,
                       const std::string& extension);

  SpoolDir& dir_;
  Clock& clock_;
  std::function<void(int)> logError_;
};

}  // namespace drvnt
