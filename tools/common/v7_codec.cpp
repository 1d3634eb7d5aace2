#include "common/v7_codec.h"

#include <algorithm>
#include <string_view>

namespace drvnt::sim {
namespace {

// Offsets of the event message whose content never varies, and that content.
struct Constant {
  std::size_t offset;
  std::uint8_t value;
};
constexpr Constant kEventConstants[] = {
    {3, 1},  {4, 24},   {9, 0},  {10, 0}, {11, 0},   {12, 0},   {19, 0},
    {20, 1}, {21, '8'}, {22, 3}, {26, 3}, {27, '0'}, {28, '0'}, {29, '0'},
};

// Offsets that differ from what the event layout fixes, "ok" when none do. The code characters
// past the code's length must be zero, and so must everything after the date-time.
std::string CheckEvent(const std::uint8_t* p) {
  std::string bad;
  auto note = [&bad](std::size_t offset) {
    if (!bad.empty())
      bad += ',';
    bad += std::to_string(offset);
  };
  for (const Constant& c : kEventConstants) {
    if (p[c.offset] != c.value)
      note(c.offset);
  }
  if (p[13] != 3 && p[13] != 4)
    note(13);
  for (std::size_t i = 14 + std::min<std::size_t>(p[13], 4); i < 18; ++i) {
    if (p[i] != 0)
      note(i);
  }
  const std::size_t firstNonZero = static_cast<std::size_t>(
      std::find_if(p + 38, p + kV7MessageSize, [](std::uint8_t b) { return b != 0; }) - p);
  if (firstNonZero < kV7MessageSize)
    note(firstNonZero);
  return bad.empty() ? "ok" : "bad:" + bad;
}

std::string ShortString(const std::uint8_t* lengthByte, std::size_t capacity) {
  const std::size_t n = std::min<std::size_t>(*lengthByte, capacity);
  return std::string(reinterpret_cast<const char*>(lengthByte + 1), n);
}

Decoded DecodeEvent(const std::uint8_t* p) {
  const std::string object = std::to_string(GetI32(p + 5));
  const std::string code = EscapeText(ShortString(p + 13, 4));
  const std::string zone = EscapeText(ShortString(p + 22, 3));
  const std::string time = FormatIsoDateTime(GetF64(p + 30));
  Decoded d{"event",
            {{"object", object},
             {"code", code},
             {"hnumber", std::to_string(p[18])},
             {"zone", zone},
             {"time", time},
             {"check", CheckEvent(p)}},
            object + "/" + code + "/" + zone + "/" + ToHex(p + 30, 8)};
  return d;
}

Bytes Message(std::uint8_t type) {
  Bytes m(kV7MessageSize, 0);
  m[0] = 0xFF;
  m[1] = 0xFF;
  m[2] = type;
  return m;
}

}  // namespace

Decoded DecodeV7Message(const std::uint8_t* p) {
  if (p[0] != 0xFF || p[1] != 0xFF)
    return {"unmarked", {{"head", ToHex(p, 3)}}, {}};
  switch (p[2]) {
    case v7type::kGreeting:
      return {"greeting", {{"value", std::to_string(p[3])}}, {}};
    case v7type::kPortStatus:
      return {"port-status", {{"port", std::to_string(p[3])}}, {}};
    case v7type::kEvent:
      return DecodeEvent(p);
    case v7type::kLinkRestored:
      return {"status-restored", {{"value", std::to_string(GetI32(p + 5))}}, {}};
    case v7type::kLinkLost:
      return {"status-lost", {{"value", std::to_string(GetI32(p + 5))}}, {}};
    case v7type::kTime:
      return {"time", {{"time", FormatIsoDateTime(GetF64(p + 30))}}, {}};
    case v7type::kClose:
      return {"close", {}, {}};
    default:
      return {"other", {{"code", HexValue(p[2], 2)}}, {}};
  }
}

Bytes BuildV7TimeMessage(DateTime when) {
  Bytes m = Message(v7type::kTime);
  PutF64(m, 30, when);
  return m;
}

Bytes BuildV7CloseMessage() {
  return Message(v7type::kClose);
}

}  // namespace drvnt::sim
