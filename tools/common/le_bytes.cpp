#include "common/le_bytes.h"

#include <bit>
#include <cctype>

namespace drvnt::sim {
namespace {

void PutLe(Bytes& b, std::size_t offset, std::uint64_t value, std::size_t size) {
  if (b.size() < offset + size)
    b.resize(offset + size, 0);
  for (std::size_t i = 0; i < size; ++i)
    b[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t GetLe(const std::uint8_t* p, std::size_t size) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < size; ++i)
    v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return v;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

}  // namespace

void PutU8(Bytes& b, std::size_t offset, std::uint8_t value) {
  PutLe(b, offset, value, 1);
}
void PutU16(Bytes& b, std::size_t offset, std::uint16_t value) {
  PutLe(b, offset, value, 2);
}
void PutU32(Bytes& b, std::size_t offset, std::uint32_t value) {
  PutLe(b, offset, value, 4);
}
void PutI64(Bytes& b, std::size_t offset, std::int64_t value) {
  PutLe(b, offset, static_cast<std::uint64_t>(value), 8);
}
void PutF64(Bytes& b, std::size_t offset, double value) {
  PutLe(b, offset, std::bit_cast<std::uint64_t>(value), 8);
}

std::uint16_t GetU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(GetLe(p, 2));
}
std::uint32_t GetU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(GetLe(p, 4));
}
std::int32_t GetI32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(GetU32(p));
}
std::int64_t GetI64(const std::uint8_t* p) {
  return static_cast<std::int64_t>(GetLe(p, 8));
}
double GetF64(const std::uint8_t* p) {
  return std::bit_cast<double>(GetLe(p, 8));
}

std::string ToHex(const std::uint8_t* p, std::size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 0x0F];
  }
  return s;
}

bool ParseHex(std::string_view text, Bytes& out) {
  out.clear();
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (high >= 0)
        return false;  // a blank may not split a pair
      continue;
    }
    const int d = HexDigit(c);
    if (d < 0)
      return false;
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | d));
      high = -1;
    }
  }
  return high < 0;
}

}  // namespace drvnt::sim
