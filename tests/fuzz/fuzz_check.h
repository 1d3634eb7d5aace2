#pragma once
// What the fuzz targets share: a check that ends the run with a clear line when an invariant
// breaks (libFuzzer keeps the input that did it), and a reader that takes the fuzz input apart
// piece by piece.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (false)

namespace drvnt::fuzz {

// Consumes the fuzz input from the front; past the end every read gives zeros and empty pieces.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : data_(data, size) {}

  bool Empty() const { return pos_ >= data_.size(); }

  std::uint8_t Byte() { return Empty() ? 0 : data_[pos_++]; }

  // Up to `n` bytes, fewer at the end of the input.
  std::span<const std::uint8_t> Take(std::size_t n) {
    const std::size_t left = data_.size() - pos_;
    const std::size_t k = n < left ? n : left;
    const std::span<const std::uint8_t> piece = data_.subspan(pos_, k);
    pos_ += k;
    return piece;
  }

  std::span<const std::uint8_t> Rest() { return Take(data_.size() - pos_); }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
};

}  // namespace drvnt::fuzz
