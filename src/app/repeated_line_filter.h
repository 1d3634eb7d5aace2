#pragma once
// Standard output of the V8 log. While the V8 server stays away the worker logs "Соединение..."
// every few seconds, for days: in a service's journal that would bury everything else. A line
// whose message is the same as the last one is printed at most once a minute, with the number
// of repeats held back since the last one printed; a new message is printed at once, after a
// note of the repeats held back before it. The window's log keeps every line.

#include <cstdint>
#include <string>
#include <vector>

namespace drvnt {

class RepeatedLineFilter {
 public:
  static constexpr std::uint32_t kRepeatIntervalMs = 60000;

  explicit RepeatedLineFilter(std::uint32_t repeatIntervalMs = kRepeatIntervalMs)
      : intervalMs_(repeatIntervalMs) {}

  // The lines to print now for `line`, which shows `message` with the date and time in front;
  // `nowTicks` is the 32-bit millisecond tick.
  std::vector<std::string> Take(const std::string& message, const std::string& line,
                                std::uint32_t nowTicks);

 private:
  std::uint32_t intervalMs_;
  std::string lastMessage_;
  bool any_ = false;
  std::uint32_t lastPrintedAt_ = 0;
  std::uint32_t heldBack_ = 0;
};

}  // namespace drvnt
