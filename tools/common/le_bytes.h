#pragma once
// Little-endian fields and hex text for the simulated peers. Every wire format these tools speak
// is little-endian. The getters read from a pointer the caller has checked for length; the setters
// grow the buffer when the field lies past its end, so building a message never writes out of
// bounds.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace drvnt::sim {

using Bytes = std::vector<std::uint8_t>;

void PutU8(Bytes& b, std::size_t offset, std::uint8_t value);
void PutU16(Bytes& b, std::size_t offset, std::uint16_t value);
void PutU32(Bytes& b, std::size_t offset, std::uint32_t value);
void PutI64(Bytes& b, std::size_t offset, std::int64_t value);
void PutF64(Bytes& b, std::size_t offset, double value);

std::uint16_t GetU16(const std::uint8_t* p);
std::uint32_t GetU32(const std::uint8_t* p);
std::int32_t GetI32(const std::uint8_t* p);
std::int64_t GetI64(const std::uint8_t* p);
double GetF64(const std::uint8_t* p);

// "FF0012": two upper-case digits per byte, nothing between them.
std::string ToHex(const std::uint8_t* p, std::size_t n);
inline std::string ToHex(const Bytes& b) {
  return ToHex(b.data(), b.size());
}

// Reads hex digit pairs; blanks between pairs are allowed. False on any other character or an odd
// number of digits.
bool ParseHex(std::string_view text, Bytes& out);

}  // namespace drvnt::sim
