#pragma once
// The growable in-memory byte stream through which bytes reach and leave the V7 client: a size, a
// position, reads and writes at the position, clearing.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace drvnt {

class MemoryStream {
 public:
  MemoryStream() = default;
  explicit MemoryStream(std::span<const std::uint8_t> bytes) : data_(bytes.begin(), bytes.end()) {}

  std::size_t Size() const { return data_.size(); }
  std::size_t Position() const { return position_; }
  void SetPosition(std::size_t p) { position_ = std::min(p, data_.size()); }

  // Writes at the position, growing the stream as needed, and moves the position past the bytes.
  void Write(std::span<const std::uint8_t> bytes) {
    if (position_ + bytes.size() > data_.size())
      data_.resize(position_ + bytes.size());
    std::copy(bytes.begin(), bytes.end(), data_.begin() + static_cast<std::ptrdiff_t>(position_));
    position_ += bytes.size();
  }

  // Reads up to `out.size()` bytes from the position; returns how many were read.
  std::size_t Read(std::span<std::uint8_t> out) {
    const std::size_t n = std::min(out.size(), data_.size() - position_);
    if (n > 0)
      std::memcpy(out.data(), data_.data() + position_, n);
    position_ += n;
    return n;
  }

  void Clear() {
    data_.clear();
    position_ = 0;
  }

  std::span<const std::uint8_t> Bytes() const { return data_; }

 private:
  std::vector<std::uint8_t> data_;
  std::size_t position_ = 0;
};

}  // namespace drvnt
