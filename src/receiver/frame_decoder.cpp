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

std::optional<std::span<const std::uint8_t>> FrameAssembler::Take(
    std::span<const std::uint8_t> packet, std::uint32_t tick) {
  if (!IsTerminated(packet)) {
    // Only a piece shorter than a frame can begin one that the next packet ends.
    kept_ = packet.size() < kEventFrameSize ? packet.size() : 0;
    std::memcpy(buffer_.data(), packet.data(), kept_);
    keptTick_ = tick;
    return std::nullopt;
  }
  const bool join = JoinsKept(packet, tick);
  const std::size_t kept = kept_;
  kept_ = 0;
  // Unsigned difference: the 32-bit tick count may wrap after the purge.
  cutByPurge_ = afterPurge_ && !join && packet.size() < kEventFrameSize &&
                tick - purgeTick_ <= kPurgeCutWindowMs;
  afterPurge_ = false;
  if (cutByPurge_)
    return std::nullopt;
  if (join) {
    std::memcpy(buffer_.data() + kept, packet.data(), packet.size());
    return std::span<const std::uint8_t>(buffer_.data(), kEventFrameSize);
  }
  if (IsEventFrame(packet))
    return packet;
  return std::nullopt;
}

bool FrameAssembler::JoinsKept(std::span<const std::uint8_t> packet, std::uint32_t tick) const {
  if (kept_ == 0 || buffer_[0] != '9' || kept_ + packet.size() != kEventFrameSize)
    return false;
  // Unsigned difference: the 32-bit tick count may wrap between the pieces.
  if (tick - keptTick_ > kCutFrameGapMs)
    return false;
  const std::span<const std::uint8_t> kept(buffer_.data(), kept_);
  const auto inner = packet.first(packet.size() - 1);
  return std::find(kept.begin(), kept.end(), kFrameTerminator) == kept.end() &&
         std::find(inner.begin(), inner.end(), kFrameTerminator) == inner.end();
}

}  // namespace drvnt
