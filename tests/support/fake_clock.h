#pragma once
// A clock that tests set and advance by hand.

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/clock.h"

namespace drvnt::testing {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(DateTime now = 46000.5, std::uint32_t ticks = 1000)
      : now_(now), ticks_(ticks) {}

  DateTime Now() const override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  std::uint32_t Ticks() const override { return ticks_.load(); }
  bool SetLocalTime(const CalendarTime& t) override;

  void SetNow(DateTime now) {
    std::lock_guard lock(mutex_);
    now_ = now;
  }
  void SetTicks(std::uint32_t ticks) { ticks_ = ticks; }
  // Moves both the date-time and the ticks forward.
  void AdvanceMs(std::uint32_t ms);

  std::vector<CalendarTime> SetTimes() const {
    std::lock_guard lock(mutex_);
    return setTimes_;
  }
  void RefuseSetTime(bool refuse) { refuseSet_ = refuse; }

 private:
  mutable std::mutex mutex_;
  DateTime now_;
  std::atomic<std::uint32_t> ticks_;
  std::vector<CalendarTime> setTimes_;
  std::atomic<bool> refuseSet_{false};
};

}  // namespace drvnt::testing
