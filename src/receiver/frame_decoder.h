#pragma once
// Receiver frames: a packet whose last byte is 0x14. An event frame begins with "9" and carries its
// fields at fixed positions (account 7-10, qualifier 11, code 12-14, partition 15-16, zone 17-19,
// header digit 3, header number 5-6). Positions past the end of a short packet read as zero bytes;
// a field that is not a number reads as 0.
//
// The serial port cuts a frame in two when its 80 ms packet time-out runs out before the frame's
// 87.5 ms on the line are over: the first piece has no terminator, the second, which follows at
// once, ends the frame. `FrameAssembler` joins exactly those two pieces, so that the alarm is
// decoded whole instead of the second piece being taken for a non-event frame. It must never
// join anything else: a stale or unrelated piece joined to a later packet is an alarm nobody sent.

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

// Within this time of the first piece the second one is taken as its continuation. The line
// brings it at once; the margin covers a main thread that was held up.
inline constexpr std::uint32_t kCutFrameGapMs = 1000;

// The rest of a frame in flight at a purge arrives within a frame's time (87.5 ms at 2400 bit/s);
// the margin covers the packet time-out and a main thread held up by the open.
inline constexpr std::uint32_t kPurgeCutWindowMs = 500;

class FrameAssembler {
 public:
  // Every packet, in arrival order, before anything else is done with it, so that a packet that
  // goes no further (its raw log write failed) still ends what was kept before it.
  //
  // An unterminated packet is kept as the possible first piece of a cut frame, replacing what was
  // kept. For a terminated packet the result is the event frame to decode, if any: the kept piece
  // followed by this packet when the kept piece is the packet just before, came at most
  // kCutFrameGapMs earlier, begins with "9" and together with this packet makes exactly one event
  // frame (21 bytes, the terminator only at the end); otherwise the packet alone when it begins
  // with "9". The kept piece is dropped either way. The span stays valid until the next call.
  std::optional<std::span<const std::uint8_t>> Take(std::span<const std::uint8_t> packet,
                                                    std::uint32_t tick);

  std::size_t KeptBytes() const { return kept_; }

  // The port was purged at `tick` (it is purged whenever it is opened): a frame the receiver was
  // sending at that moment lost its beginning. The first terminated packet after it, when it is
  // shorter than a frame and comes within kPurgeCutWindowMs, is that frame's rest: Take gives no
  // frame for it and CutByPurge() holds until the next terminated packet, so that it is not
  // acknowledged and the receiver sends the frame again whole.
  void AfterPurge(std::uint32_t tick) {
    afterPurge_ = true;
    purgeTick_ = tick;
  }
  bool CutByPurge() const { return cutByPurge_; }

 private:
  bool JoinsKept(std::span<const std::uint8_t> packet, std::uint32_t tick) const;

  std::array<std::uint8_t, kEventFrameSize> buffer_{};
  std::size_t kept_ = 0;
  std::uint32_t keptTick_ = 0;
  bool afterPurge_ = false;
  std::uint32_t purgeTick_ = 0;
  bool cutByPurge_ = false;
};

}  // namespace drvnt
