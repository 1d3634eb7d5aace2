#pragma once
// Little-endian byte layouts and the length-prefixed strings of fixed capacity used by every file
// and wire format.

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace drvnt {

using Bytes = std::vector<std::uint8_t>;

inline void PutU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void PutU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline void PutU64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i)
    p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline void PutDouble(std::uint8_t* p, double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  PutU64(p, bits);
}

inline std::uint16_t GetU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t GetU32(const std::uint8_t* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | p[i];
  return v;
}

inline std::uint64_t GetU64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i)
    v = (v << 8) | p[i];
  return v;
}

inline double GetDouble(const std::uint8_t* p) {
  const std::uint64_t bits = GetU64(p);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// A length byte, then the characters (already single-byte), cut to `capacity`, then zero bytes up
// to the capacity: 1 + capacity bytes in all.
inline void PutShortString(std::uint8_t* p, std::size_t capacity, std::string_view chars) {
  const std::size_t n = chars.size() < capacity ? chars.size() : capacity;
  p[0] = static_cast<std::uint8_t>(n);
  std::memset(p + 1, 0, capacity);
  std::memcpy(p + 1, chars.data(), n);
}

}  // namespace drvnt
