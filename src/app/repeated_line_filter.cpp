#include "app/repeated_line_filter.h"

namespace drvnt {
namespace {

std::string Times(std::uint32_t n) {
  return std::to_string(n) + (n == 1 ? " time" : " times");
}

}  // namespace

std::vector<std::string> RepeatedLineFilter::Take(const std::string& message,
                                                  const std::string& line, std::uint32_t nowTicks) {
  std::vector<std::string> out;
  if (any_ && message == lastMessage_) {
    // Ticks are compared by unsigned difference, so the 49-day wrap does no harm.
    if (nowTicks - lastPrintedAt_ < intervalMs_) {
      ++heldBack_;
      return out;
    }
    out.push_back(heldBack_ == 0 ? line
                                 : line + " (" + Times(heldBack_ + 1) + " since the last shown)");
  } else {
    if (heldBack_ > 0)
      out.push_back("(\"" + lastMessage_ + "\" repeated " + std::to_string(heldBack_) + " more " +
                    (heldBack_ == 1 ? "time)" : "times)"));
    out.push_back(line);
    lastMessage_ = message;
    any_ = true;
  }
  heldBack_ = 0;
  lastPrintedAt_ = nowTicks;
  return out;
}

}  // namespace drvnt
