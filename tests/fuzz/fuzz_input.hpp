#pragma once
// What the saved-form fuzz targets share: a reader that turns the fuzzer's bytes into choices
// (zeros once they run out), and little-endian field access for editing a saved form.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace quarnel::fuzz {

using Bytes = std::vector<std::uint8_t>;

class Choices {
 public:
  Choices(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int k = 0; k < 8; ++k) v |= std::uint64_t{byte()} << (8 * k);
    return v;
  }
  // A number in [0, bound), or 0 when bound is 0 (edited fields may say anything).
  std::uint64_t below(std::uint64_t bound) {
    if (bound == 0) return 0;
    const std::uint64_t v = bound <= 256 ? byte() : bound <= 65536 ? byte() | (byte() << 8) : u64();
    return v % bound;
  }
  bool chance(unsigned in_256) { return byte() < in_256; }

  // A value for a field that held `old`: near it, one of the edges, or anything.
  std::uint64_t value_near(std::uint64_t old) {
    const unsigned how = byte() % 8;  // one byte more for all but 0, 1, 4 and 7 (eight more)
    if (how == 7) return u64();
    if (how == 4) return 0;
    if (how < 2) return how == 0 ? old + 1 : old - 1;
    const unsigned k = byte();
    if (how < 4) return how == 2 ? old + k : old - k;
    return how == 5 ? ~std::uint64_t{0} >> k % 64 : std::uint64_t{1} << k % 64;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

inline std::uint64_t get64(const Bytes& b, std::size_t at) {
  std::uint64_t v = 0;
  if (at + 8 <= b.size()) std::memcpy(&v, b.data() + at, 8);
  return v;
}

inline void put64(Bytes& b, std::size_t at, std::uint64_t v) {
  if (at + 8 <= b.size()) std::memcpy(b.data() + at, &v, 8);
}

// Bits [bit, bit + width) of the bytes from `base` on, as little-endian words hold them.
inline void put_bits(Bytes& b, std::size_t base, std::uint64_t bit, unsigned width,
                     std::uint64_t v) {
  for (unsigned i = 0; i < width; ++i) {
    const std::uint64_t at = base + (bit + i) / 8;
    if (at >= b.size()) return;
    const auto mask = static_cast<std::uint8_t>(1U << ((bit + i) % 8));
    b[at] = static_cast<std::uint8_t>(((v >> i) & 1U) != 0 ? b[at] | mask : b[at] & ~mask);
  }
}

// Edits that any file suffers: a cut, an extension, bit flips, a stretch overwritten.
inline void raw_edit(Choices& in, Bytes& b) {
  switch (in.byte() % 4) {
    case 0:
      b.resize(in.below(b.size() + 1));
      break;
    case 1:
      b.resize(b.size() + 1 + in.below(128), in.byte());
      break;
    case 2:
      if (!b.empty()) b[in.below(b.size())] ^= static_cast<std::uint8_t>(1U << in.byte() % 8);
      break;
    default:
      if (!b.empty()) {
        const std::size_t at = in.below(b.size());
        const std::size_t len = std::min<std::size_t>(b.size() - at, 1 + in.below(64));
        std::memset(b.data() + at, in.byte(), len);
      }
  }
}

}  // namespace quarnel::fuzz
