// A cursor over a fuzz input, shared by the image recipe and the library
// session: past its end every byte reads as 0, so a truncated input is still
// a complete one.
#ifndef KESTRIX_FUZZ_INPUT_H
#define KESTRIX_FUZZ_INPUT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace kestrix_fuzz {

class Input {
 public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  size_t remaining() const { return empty() ? 0 : size_ - pos_; }
  uint8_t byte() { return empty() ? 0 : data_[pos_++]; }
  // Two bytes, low first.
  unsigned u16() {
    const unsigned low = byte();
    return low | static_cast<unsigned>(byte()) << 8;
  }
  // Copies up to n bytes; returns how many there were.
  size_t take(uint8_t *dst, size_t n) {
    n = std::min(n, remaining());
    if (n > 0) std::memcpy(dst, data_ + pos_, n);
    pos_ += n;
    return n;
  }
  // The next n bytes (fewer at the end) in place.
  std::span<const uint8_t> view(size_t n) {
    n = std::min(n, remaining());
    std::span<const uint8_t> part(data_ + pos_, n);
    pos_ += n;
    return part;
  }
  // Splits off the next n bytes (fewer at the end) as an input of their own.
  Input split(size_t n) {
    n = std::min(n, remaining());
    Input part(data_ + pos_, n);
    pos_ += n;
    return part;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace kestrix_fuzz

#endif  // KESTRIX_FUZZ_INPUT_H
