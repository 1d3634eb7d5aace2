#include "v7link/server_message.h"

namespace drvnt {

V7ServerMessage ReadServerMessage(std::span<const std::uint8_t, kV7Size> piece) {
  V7ServerMessage m;
  if (!HasV7Marker(piece))
    return m;
  switch (piece[2]) {
    case v7type::kTime:
      m.sentTime = TimeOfMessage(piece);
      m.request = TryDecodeDateTime(m.sentTime, m.time) ? V7ServerRequest::kSetTime
                                                        : V7ServerRequest::kBadTime;
      return m;
    case v7type::kClose:
      m.request = V7ServerRequest::kClose;
      return m;
    default:
      m.request = V7ServerRequest::kNothing;
      return m;
  }
}

}  // namespace drvnt
