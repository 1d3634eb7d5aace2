#include "receiver/frame_decoder.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "core/int_conv.h"

namespace drvnt {
namespace {

std::uint8_t At(std::span<const std::uint8_t> frame, std::size_t i) {
  return i < frame.size() ? frame[i] : 0;
}

std::int32_t NumberAt(std::span<const std::uint8_t> frame, std::size_t pos, std::size_t len) {
  char text[8] = {};
  for (std::size_t i = 0; i < len; ++i)
    text[i] = static_cast<char>(At(frame, pos + i));
  return StrToIntDef(std::string_view(text, len), 0);
}

template <std::size_t N>
std::array<std::uint8_t, N> BytesAt(std::span<const std::uint8_t> frame, std::size_t pos) {
  std::array<std::uint8_t, N> out{};
  for (std::size_t i = 0; i < N; ++i)
    out[i] = At(frame, pos + i);
  return out;
}

}  // namespace

bool IsTerminated(std::span<const std::uint8_t> packet) {
  return !packet.empty() && packet.back() == kFrameTerminator;
}

bool IsEventFrame(std::span<const std::uint8_t> frame) {
  return At(frame, 0) == '9';
}

bool IsWellFormedEventFrame(std::span<const std::uint8_t> frame) {
  if (frame.size() != kEventFrameSize || frame[0] != '9' || frame.back() != kFrameTerminator)
    return false;
  const auto inner = frame.first(kEventFrameSize - 1);
  if (std::find(inner.begin(), inner.end(), kFrameTerminator) != inner.end())
    return false;
  auto digits = [&](std::size_t pos, std::size_t len) {
    const auto field = frame.subspan(pos, len);
    return std::all_of(field.begin(), field.end(),
                       [](std::uint8_t b) { return b >= '0' && b <= '9'; });
  };
  const std::uint8_t q = frame[11];
  return digits(3, 1) && digits(5, 2) && digits(7, 4) && (q == 'E' || q == 'R' || q == 'P') &&
         digits(12, 3) && digits(15, 2) && digits(17, 3);
}

EventFrame ParseEventFrame(std::span<const std::uint8_t> frame) {
  EventFrame f;
  f.account = NumberAt(frame, 7, 4);
  f.partition = NumberAt(frame, 15, 2);
  f.qualifier = At(frame, 11);
  f.code = BytesAt<3>(frame, 12);
  f.zoneText = BytesAt<3>(frame, 17);
  f.zone = NumberAt(frame, 17, 3);
  f.headerNumber = NumberAt(frame, 5, 2);
  f.headerDigit = NumberAt(frame, 3, 1);
  return f;
}

std::string PartitionOverrideKey(const EventFrame& frame) {
  return std::to_string(frame.account) + "_" + std::to_string(frame.partition);
}

DecodedEvent DecodeEvent(const EventFrame& frame, std::int32_t override, std::int32_t firstNumber,
                         bool addPartition, DateTime time) {
  DecodedEvent e;
  const std::int32_t account = override != -1 ? override : frame.account;
  // Object numbers wrap like the 32-bit integers they are stored in.
  auto wrap = [](std::int64_t v) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
  };
  e.ObjectNumber = wrap(static_cast<std::int64_t>(account) + std::int64_t{firstNumber} * 10000);

  const std::string code(frame.code.begin(), frame.code.end());
  switch (frame.qualifier) {
    case 'E':
      e.EventCode = "1" + code;
      break;
    case 'R':
      e.EventCode = "3" + code;
      break;
    case 'P':
      e.EventCode = "6" + code;
      break;
    default:
      e.EventCode = code;
      break;
  }
  if (addPartition)
    e.ObjectNumber = wrap(std::int64_t{e.ObjectNumber} + frame.partition);
  e.zoneText = frame.zoneText;
  e.Zone = static_cast<std::uint16_t>(frame.zone);
  e.HeaderNumber = static_cast<std::uint8_t>(frame.headerNumber);
  e.HeaderDigit = static_cast<std::uint8_t>(frame.headerDigit);
  e.Time = time;
  return e;
}

std::string DroppedNoiseLine(const DroppedNoise& noise) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string line = "receiver: " + std::to_string(noise.count) +
                     (noise.count == 1 ? " byte" : " bytes") +
                     " of noise before an event frame dropped:";
  if (noise.shown < noise.count)
    line += " ...";
  for (std::size_t i = 0; i < noise.shown; ++i) {
    line += ' ';
    line += kHex[noise.last[i] >> 4];
    line += kHex[noise.last[i] & 0xF];
  }
  return line;
}

std::optional<std::span<const std::uint8_t>> FrameAssembler::Take(
    std::span<const std::uint8_t> packet, std::uint32_t tick) {
  if (!IsTerminated(packet)) {
    Keep(packet, tick);
    return std::nullopt;
  }
  noise_.count = 0;
  const bool join = JoinsKept(packet, tick);
  const auto behindNoise = join ? std::nullopt : FrameBehindNoise(packet, tick);
  const std::size_t kept = kept_;
  kept_ = 0;
  keptSize_ = 0;
  // Unsigned difference: the 32-bit tick count may wrap after the purge.
  cutByPurge_ = afterPurge_ && !join && !behindNoise && packet.size() < kEventFrameSize &&
                tick - purgeTick_ <= kPurgeCutWindowMs;
  afterPurge_ = false;
  if (cutByPurge_)
    return std::nullopt;
  if (join) {
    std::memcpy(frame_.data(), buffer_.data(), kept);
    std::memcpy(frame_.data() + kept, packet.data(), packet.size());
    return std::span<const std::uint8_t>(frame_);
  }
  if (behindNoise)
    return behindNoise;
  if (IsEventFrame(packet))
    return packet;
  return std::nullopt;
}

void FrameAssembler::Keep(std::span<const std::uint8_t> packet, std::uint32_t tick) {
  // Only the end of a piece can begin a frame that the next packet ends.
  kept_ = std::min(packet.size(), buffer_.size());
  keptSize_ = packet.size();
  std::memcpy(buffer_.data(), packet.data() + packet.size() - kept_, kept_);
  keptTick_ = tick;
}

bool FrameAssembler::KeptIsRecent(std::uint32_t tick) const {
  // Unsigned difference: the 32-bit tick count may wrap between the pieces.
  return kept_ > 0 && tick - keptTick_ <= kCutFrameGapMs;
}

bool FrameAssembler::JoinsKept(std::span<const std::uint8_t> packet, std::uint32_t tick) const {
  if (!KeptIsRecent(tick) || keptSize_ != kept_ || buffer_[0] != '9' ||
      kept_ + packet.size() != kEventFrameSize)
    return false;
  const std::span<const std::uint8_t> kept(buffer_.data(), kept_);
  const auto inner = packet.first(packet.size() - 1);
  return std::find(kept.begin(), kept.end(), kFrameTerminator) == kept.end() &&
         std::find(inner.begin(), inner.end(), kFrameTerminator) == inner.end();
}

// The well-formed event frame at the end of this packet, or of the piece before and this packet,
// behind noise; nothing when the packet begins with a well-formed frame of its own.
std::optional<std::span<const std::uint8_t>> FrameAssembler::FrameBehindNoise(
    std::span<const std::uint8_t> packet, std::uint32_t tick) {
  if (packet.size() >= kEventFrameSize) {
    if (IsWellFormedEventFrame(packet.first(kEventFrameSize)))
      return std::nullopt;
    const auto frame = packet.last(kEventFrameSize);
    if (!IsWellFormedEventFrame(frame))
      return std::nullopt;
    const auto noise = packet.first(packet.size() - kEventFrameSize);
    NoteNoise(noise, noise.size());
    return frame;
  }
  const std::size_t fromKept = kEventFrameSize - packet.size();
  if (!KeptIsRecent(tick) || kept_ < fromKept)
    return std::nullopt;
  std::memcpy(frame_.data(), buffer_.data() + kept_ - fromKept, fromKept);
  std::memcpy(frame_.data() + fromKept, packet.data(), packet.size());
  if (!IsWellFormedEventFrame(frame_))
    return std::nullopt;
  NoteNoise(std::span<const std::uint8_t>(buffer_.data(), kept_ - fromKept), keptSize_ - fromKept);
  return std::span<const std::uint8_t>(frame_);
}

// `shown` ends where the frame begins; `count` is all the noise, of which it may be the end.
void FrameAssembler::NoteNoise(std::span<const std::uint8_t> shown, std::size_t count) {
  noise_.count = count;
  noise_.shown = std::min(shown.size(), kNoiseShown);
  std::memcpy(noise_.last.data(), shown.data() + shown.size() - noise_.shown, noise_.shown);
}

}  // namespace drvnt
