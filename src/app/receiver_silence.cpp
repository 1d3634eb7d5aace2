#include "app/receiver_silence.h"

#include "platform/clock.h"

namespace drvnt {

void ReceiverSilence::Restart(std::uint32_t tick) {
  lastTick_ = tick;
  silentMs_ = 0;
}

std::uint64_t ReceiverSilence::MsAt(std::uint32_t tick) {
  silentMs_ += TicksSince(tick, lastTick_);
  lastTick_ = tick;
  return silentMs_;
}

}  // namespace drvnt
