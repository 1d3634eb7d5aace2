// Fuzz target: what the receiver sends. The input is a short header (the settings and the
// `Razdels` value the decoding takes) and then a sequence of packets as the serial port delivers
// them, each a length byte, a gap byte and the packet: the length byte is the length itself below
// 0xF0 and a multiple of 256 above (packets longer than the working buffer are cut to it, as the
// frame handler does); the gap is the time since the packet before, in steps of 16 ms (0..4 s,
// both sides of the time within which a second piece joins a first). Each packet goes through what
// the frame handler does with it: the frame assembler, then for an event frame the field parser,
// the decoder and the record, message and .dd8 file builders.
//
// Checks: an event is decoded only from a packet that ends in 0x14, from a frame that begins with
// "9"; a frame is the packet itself, or, for a cut frame, exactly the one piece just before it and
// this packet, 21 bytes in all, within the gap allowed, or a well-formed frame at the end of the
// piece just before (within that gap) and this packet, behind noise whose size is reported; the
// assembler keeps less than a frame.

#include <algorithm>
#include <vector>

#include "fuzz_check.h"
#include "receiver/event_record.h"
#include "receiver/frame_decoder.h"

namespace drvnt::fuzz {
namespace {

struct Settings {
  std::int32_t razdelsOverride = -1;
  std::int32_t firstNumber = 0;
  bool addPartition = false;
};

std::int32_t Int32(InputReader& in) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i)
    v = v << 8 | in.Byte();
  return static_cast<std::int32_t>(v);
}

Settings ReadSettings(InputReader& in) {
  Settings s;
  const std::uint8_t flags = in.Byte();
  s.addPartition = (flags & 1) != 0;
  // Mostly no override, as for most accounts; sometimes any value the INI file may hold.
  s.razdelsOverride = (flags & 2) != 0 ? Int32(in) : -1;
  s.firstNumber = (flags & 4) != 0 ? Int32(in) : flags >> 3;
  return s;
}

std::size_t PacketLength(std::uint8_t b) {
  return b < 0xF0 ? b : static_cast<std::size_t>(b - 0xEF) * 256;
}

// The frame the assembler must give for `packet`, judged from the packet before it.
bool ShouldJoin(const std::vector<std::uint8_t>& before, bool beforeTerminated, std::uint32_t gapMs,
                std::span<const std::uint8_t> packet) {
  if (beforeTerminated || before.empty() || before.size() >= kEventFrameSize || before[0] != '9')
    return false;
  if (before.size() + packet.size() != kEventFrameSize || gapMs > kCutFrameGapMs)
    return false;
  const auto inner = packet.first(packet.size() - 1);
  return std::count(before.begin(), before.end(), kFrameTerminator) == 0 &&
         std::count(inner.begin(), inner.end(), kFrameTerminator) == 0;
}

void DecodeLikeTheFrameHandler(std::span<const std::uint8_t> frame, const Settings& s,
                               DateTime now) {
  const EventFrame fields = ParseEventFrame(frame);
  const std::string key = PartitionOverrideKey(fields);
  FUZZ_CHECK(!key.empty() && key.size() <= 24);
  const DecodedEvent event =
      DecodeEvent(fields, s.razdelsOverride, s.firstNumber, s.addPartition, now);
  FUZZ_CHECK(event.EventCode.size() == 3 || event.EventCode.size() == 4);
  const EventRecord record = BuildEventRecord(event);
  FUZZ_CHECK(record[0] == kEventTag);
  FUZZ_CHECK(record[5] == event.EventCode.size());
  const V7Message message = BuildEventMessage(event, now);
  FUZZ_CHECK(message[0] == 0xFF && message[1] == 0xFF && message[2] == 0x15);
  FUZZ_CHECK(std::equal(record.begin() + 1, record.begin() + 5, message.begin() + 5));
  const auto file = BuildDd8File(record);
  FUZZ_CHECK(std::equal(record.begin(), record.end(), file.begin() + 4));
}

}  // namespace
}  // namespace drvnt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace drvnt;
  fuzz::InputReader in(data, size);
  const fuzz::Settings settings = fuzz::ReadSettings(in);
  std::uint32_t tick = static_cast<std::uint32_t>(fuzz::Int32(in));  // the wrap is reached too
  FrameAssembler assembler;
  std::vector<std::uint8_t> before;
  bool beforeTerminated = true;
  while (!in.Empty()) {
    const std::size_t length = fuzz::PacketLength(in.Byte());
    const std::uint32_t gapMs = in.Byte() * 16u;
    tick += gapMs;
    // The handler never looks past its working buffer.
    const std::span<const std::uint8_t> packet = in.Take(std::min(length, kWorkingBufferSize));
    const bool terminated = !packet.empty() && packet.back() == kFrameTerminator;

    const auto frame = assembler.Take(packet, tick);
    FUZZ_CHECK(assembler.KeptBytes() < kEventFrameSize);
    if (frame) {
      FUZZ_CHECK(terminated);
      FUZZ_CHECK(!frame->empty() && (*frame)[0] == '9' && frame->back() == kFrameTerminator);
      if (fuzz::ShouldJoin(before, beforeTerminated, gapMs, packet)) {
        FUZZ_CHECK(frame->size() == kEventFrameSize);
        FUZZ_CHECK(std::equal(before.begin(), before.end(), frame->begin()));
        FUZZ_CHECK(std::equal(packet.begin(), packet.end(), frame->begin() + before.size()));
      } else if (assembler.Noise().count > 0) {
        FUZZ_CHECK(IsWellFormedEventFrame(*frame));
        std::vector<std::uint8_t> glued;
        // The piece before counts only for a packet shorter than a frame.
        if (packet.size() < kEventFrameSize && !beforeTerminated && gapMs <= kCutFrameGapMs)
          glued = before;
        glued.insert(glued.end(), packet.begin(), packet.end());
        FUZZ_CHECK(glued.size() == assembler.Noise().count + kEventFrameSize);
        FUZZ_CHECK(std::equal(frame->begin(), frame->end(), glued.end() - kEventFrameSize));
      } else {
        FUZZ_CHECK(std::equal(frame->begin(), frame->end(), packet.begin(), packet.end()));
      }
      const DateTime now = 46000.0 + tick / kMsPerDay;
      fuzz::DecodeLikeTheFrameHandler(*frame, settings, now);
    } else if (terminated) {
      // A terminated packet that begins with "9" is always decoded, alone or joined.
      FUZZ_CHECK(packet[0] != '9');
      FUZZ_CHECK(!fuzz::ShouldJoin(before, beforeTerminated, gapMs, packet));
    }
    before.assign(packet.begin(), packet.end());
    beforeTerminated = terminated;
  }
  return 0;
}
