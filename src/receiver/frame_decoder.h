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
//
// Line noise that the receiver's frame follows directly ends up in front of it, in one packet or,
// cut by the time-out, in the piece before it. Such a packet does not begin with "9"; when its last
// 21 bytes are an event frame just as the receiver writes it (see IsWellFormedEventFrame), that
// frame is the event and the bytes before it are dropped as noise. Anything less strict would
// find alarms in noise and in frames of other kinds.
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
// 21 bytes, "9" first, the terminator only at the end, and every field as the receiver writes it:
// decimal digits in the header digit, header number, account, code, partition and zone, and the
// qualifier "E", "R" or "P". The decoder itself takes any bytes (a field that is no number reads
// as 0); this is what a frame found behind noise must be to count as one.
bool IsWellFormedEventFrame(std::span<const std::uint8_t> frame);

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

// What went before the event frame of a packet and was dropped: how many bytes, and the last of
// them (up to kNoiseShown) for the report.
inline constexpr std::size_t kNoiseShown = 16;
struct DroppedNoise {
  std::size_t count = 0;
  std::array<std::uint8_t, kNoiseShown> last{};
  std::size_t shown = 0;
};

// "receiver: 3 bytes of noise before an event frame dropped: 41 42 43"; with more than
// kNoiseShown bytes, the last of them after "...".
std::string DroppedNoiseLine(const DroppedNoise& noise);

class FrameAssembler {
 public:
  // Every packet, in arrival order, before anything else is done with it, so that a packet that
  // goes no further (its raw log write failed) still ends what was kept before it.
  //
  // The end of an unterminated packet is kept as the possible first piece of a cut frame,
  // replacing what was kept. For a terminated packet the result is the event frame to decode, if
  // any, in this order:
  // - the kept piece followed by this packet, when the kept piece is the whole packet just before,
  //   came at most kCutFrameGapMs earlier, begins with "9" and together with this packet makes
  //   exactly one event frame (21 bytes, the terminator only at the end);
  // - the packet alone when it begins with a well-formed event frame (also two frames in one);
  // - the last 21 bytes of what the packet just before (on the same terms) and this packet hold
  //   together, when they are a well-formed event frame: the bytes before them are noise
  //   (Noise() tells how many);
  // - the packet alone when it begins with "9".
  // The kept piece is dropped either way. The span stays valid until the next call.
  std::optional<std::span<const std::uint8_t>> Take(std::span<const std::uint8_t> packet,
                                                    std::uint32_t tick);

  std::size_t KeptBytes() const { return kept_; }

  // The noise dropped before the frame of the last terminated packet; count 0 when none.
  const DroppedNoise& Noise() const { return noise_; }

  // The port was purged at `tick` (it is purged whenever it is opened): a frame the receiver was
  // sending at that moment lost its beginning. The first terminated packet after it, when it is
  // shorter than a frame, comes within kPurgeCutWindowMs and makes no frame with the piece before
  // it, is that frame's rest: Take gives no frame for it and CutByPurge() holds until the next
  // terminated packet, so that it is not acknowledged and the receiver sends the frame again
  // whole.
  void AfterPurge(std::uint32_t tick) {
    afterPurge_ = true;
    purgeTick_ = tick;
  }
  bool CutByPurge() const { return cutByPurge_; }

 private:
  void Keep(std::span<const std::uint8_t> packet, std::uint32_t tick);
  bool KeptIsRecent(std::uint32_t tick) const;
  bool JoinsKept(std::span<const std::uint8_t> packet, std::uint32_t tick) const;
  std::optional<std::span<const std::uint8_t>> FrameBehindNoise(
      std::span<const std::uint8_t> packet, std::uint32_t tick);
  void NoteNoise(std::span<const std::uint8_t> shown, std::size_t count);

  // The last bytes of the unterminated packet before, at most a frame less its terminator.
  std::array<std::uint8_t, kEventFrameSize - 1> buffer_{};
  std::size_t kept_ = 0;
  std::size_t keptSize_ = 0;  // the whole packet's size
  std::uint32_t keptTick_ = 0;
  std::array<std::uint8_t, kEventFrameSize> frame_{};
  DroppedNoise noise_;
  bool afterPurge_ = false;
  std::uint32_t purgeTick_ = 0;
  bool cutByPurge_ = false;
};

}  // namespace drvnt
