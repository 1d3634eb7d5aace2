#pragma once
// Receiver frames: a packet whose last byte is 0x14. An event frame begins with "9" and carries its
// fields at fixed positions (account 7-10, qualifier 11, code 12-14, partition 15-16, zone 17-19,
// header digit 3, header number 5-6). Positions past the end of a short packet read as zero bytes;
// a field that is not a number reads as 0.
//
// The serial port cuts a frame in two when its 80 ms packet time-out runs out before the frame's
// 87.5 ms on the line are over. `FrameAssembler` keeps the bytes of unterminated packets so that
// the second piece, which ends the frame, is decoded together with the first instead of being
// taken for a non-event frame and losing the alarm.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/date_time.h"

namespace drvnt {

inline constexpr std::uint8_t kFrameTerminator = 0x14;
inline constexpr std::uint8_t kFrameAck = 0x06;
inline constexpr std::size_t kWorkingBufferSize = 2048;
inline constexpr std::size_t kEventFrameSize = 21;

bool IsTerminated(std::span<const std::uint8_t> packet);
bool IsEventFrame(std::span<const std::uint8_t> frame);

// The fields of an event frame as received.
struct EventFrame {
  std::int32_t account = 0;
  std::int32_t partition = 0;
  std::uint8_t qualifier = 0;
  std::array<std::uint8_t, 3> code{};
  std::array<std::uint8_t, 3> zoneText{};
  std::int32_t zone = 0;
  std::int32_t headerNumber = 0;
  std::int32_t headerDigit = 0;
};

EventFrame ParseEventFrame(std::span<const std::uint8_t> frame);

// The key of the partition override in section `Razdels`: account and partition in decimal
// without leading zeros, joined by "_" (0123 and 01 give "123_1").
std::string PartitionOverrideKey(const EventFrame& frame);

// A decoded alarm event as both links carry it.
struct DecodedEvent {
  std::int32_t ObjectNumber = 0;
  std::string EventCode;  // 3 or 4 single-byte characters
  std::uint16_t Zone = 0;
  std::array<std::uint8_t, 3> zoneText{};
  std::uint8_t HeaderNumber = 0;
  std::uint8_t HeaderDigit = 0;
  DateTime Time = 0;
};

// `override` is the value found in `Razdels` (-1 for none).
DecodedEvent DecodeEvent(const EventFrame& frame, std::int32_t override, std::int32_t firstNumber,
                         bool addPartition, DateTime time);

// The event code that is decoded but goes nowhere.
inline constexpr std::string_view kFilteredEventCode = "1001";

class FrameAssembler {
 public:
  // A packet that does not end in 0x14: its bytes are kept, up to the working buffer's size.
  void KeepUnterminated(std::span<const std::uint8_t> packet);

  // A terminated packet: the event frame to decode, if any. A packet that begins with "9" is the
  // frame on its own when it is a whole frame long, or when nothing kept begins a frame; otherwise
  // the kept bytes followed by the packet are, when they begin with "9" (the second piece of a cut
  // frame may itself begin with a "9" of the account or the zone). The kept bytes are dropped
  // either way. The span stays valid until the next call.
  std::optional<std::span<const std::uint8_t>> EventFrameFor(std::span<const std::uint8_t> packet);

  std::size_t KeptBytes() const { return kept_; }

 private:
  std::array<std::uint8_t, kWorkingBufferSize> buffer_{};
  std::size_t kept_ = 0;
};

}  // namespace drvnt
