#pragma once
// How long the receiver has been silent, judged by the monotonic tick. The wall clock is no
// measure of it: the V7 server sets it, daylight saving moves local time by an hour and NTP steps
// it, and a step must neither report a live receiver lost nor hide a silent one. The date-time of
// the last frame is kept apart, for what is shown and sent.
//
// The 32-bit tick wraps after about 49.7 days; the silence is summed in 64 bits from one look to
// the next, so it stays right for any length as long as it is looked at more often than once a
// wrap (the service timer looks every 200 ms).

#include <cstdint>

namespace drvnt {

class ReceiverSilence {
 public:
  // The silence begins at `tick`: at start-up and on every complete frame.
  void Restart(std::uint32_t tick);
  // Milliseconds of silence from the last restart to `tick`.
  std::uint64_t MsAt(std::uint32_t tick);

 private:
  std::uint32_t lastTick_ = 0;
  std::uint64_t silentMs_ = 0;
};

}  // namespace drvnt
