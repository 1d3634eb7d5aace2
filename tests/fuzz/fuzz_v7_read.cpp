// Fuzz target: what the V7 server sends, in reads cut anywhere. The input is a sequence of reads,
// each a length byte and that many bytes of the stream: 1..191 is the length itself, 192..255 a
// multiple of 256 (up to 16 KiB, a read as big as the client hands over in one go), and 0 is a
// lost connection, after which the framing starts afresh. The reads go through the V7 framing as
// the engine's read handler uses it, and every whole piece through the reading of one server
// message (time, close, anything else).
//
// Checks: the framing hands over exactly the 555-byte pieces of the stream in order, however it is
// cut, and keeps less than one piece; a piece is a message exactly when it has the marker; a time
// is applied only when it is a calendar time that encodes back to the date-time sent.

#include <algorithm>
#include <cmath>
#include <vector>

#include "fuzz_check.h"
#include "v7link/server_message.h"
#include "v7link/v7_messages.h"

namespace drvnt::fuzz {
namespace {

std::size_t ReadLength(std::uint8_t b) {
  return b < 0xC0 ? b : static_cast<std::size_t>(b - 0xBF) * 256;
}

bool InRange(const CalendarTime& t) {
  return t.year >= 1 && t.year <= 9999 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
         t.day <= 31 && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 &&
         t.second >= 0 && t.second <= 59 && t.millisecond >= 0 && t.millisecond <= 999 &&
         t.dayOfWeek >= 0 && t.dayOfWeek <= 6;
}

void CheckMessage(std::span<const std::uint8_t, kV7Size> piece) {
  const V7ServerMessage m = ReadServerMessage(piece);
  const bool marked = piece[0] == 0xFF && piece[1] == 0xFF;
  FUZZ_CHECK((m.request != V7ServerRequest::kNotAMessage) == marked);
  const bool timeMessage = marked && piece[2] == v7type::kTime;
  FUZZ_CHECK(timeMessage ==
             (m.request == V7ServerRequest::kSetTime || m.request == V7ServerRequest::kBadTime));
  FUZZ_CHECK((m.request == V7ServerRequest::kClose) == (marked && piece[2] == v7type::kClose));
  if (m.request != V7ServerRequest::kSetTime)
    return;
  FUZZ_CHECK(std::isfinite(m.sentTime));
  FUZZ_CHECK(InRange(m.time));
  DateTime back = 0;
  FUZZ_CHECK(TryEncodeDateTime(m.time, back));
  // Rounded to the millisecond; between -1 and 0 the time of day counts forward from the origin,
  // so only the time of day survives there.
  if (m.sentTime <= -1.0 || m.sentTime >= 0.0)
    FUZZ_CHECK(std::fabs(back - m.sentTime) <= 1.5 / kMsPerDay);
}

}  // namespace
}  // namespace drvnt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace drvnt;
  fuzz::InputReader input(data, size);
  MemoryStream buffer;
  std::vector<std::uint8_t> stream;  // what the server sent on this connection
  std::size_t handedOver = 0;        // bytes of `stream` handed over as pieces
  while (!input.Empty()) {
    const std::uint8_t b = input.Byte();
    if (b == 0) {
      buffer.Clear();  // as the engine does when the connection ends
      stream.clear();
      handedOver = 0;
      continue;
    }
    const std::span<const std::uint8_t> read = input.Take(fuzz::ReadLength(b));
    stream.insert(stream.end(), read.begin(), read.end());
    TakeV7Pieces(buffer, read, [&](std::span<const std::uint8_t, kV7Size> piece) {
      FUZZ_CHECK(handedOver + kV7Size <= stream.size());
      FUZZ_CHECK(std::equal(piece.begin(), piece.end(), stream.begin() + handedOver));
      handedOver += kV7Size;
      fuzz::CheckMessage(piece);
    });
    FUZZ_CHECK(stream.size() - handedOver < kV7Size);
    FUZZ_CHECK(buffer.Size() == stream.size() - handedOver);
  }
  return 0;
}
