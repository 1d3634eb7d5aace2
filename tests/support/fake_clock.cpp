#include "support/fake_clock.h"

namespace drvnt::testing {

bool FakeClock::SetLocalTime(const CalendarTime& t) {
  std::lock_guard lock(mutex_);
  setTimes_.push_back(t);
  return !refuseSet_;
}

void FakeClock::AdvanceMs(std::uint32_t ms) {
  {
    std::lock_guard lock(mutex_);
    now_ += MsToDateTime(ms);
  }
  ticks_ += ms;
}

}  // namespace drvnt::testing
