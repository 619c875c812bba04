#pragma once
// Growable bit sequence in 64-bit words, least significant bit first. Values of up to 64 bits are
// appended at the current end and may straddle two words.

#include <cstdint>
#include <span>
#include <vector>

namespace quarnel::core::fm_index {

class BitVec {
 public:
  BitVec() = default;

  // A sequence of `bits` zero bits.
  [[nodiscard]] static BitVec zeros(std::uint64_t bits) {
    BitVec v;
    v.words_.assign((bits + 63) / 64, 0);
    v.len_ = bits;
    return v;
  }

  void reserve_bits(std::uint64_t bits) { words_.reserve((bits + 63) / 64); }

  // Appends the low `width` bits of `value` (1 <= width <= 64); higher bits must be zero.
  void push_bits(std::uint64_t value, unsigned width) {
    const unsigned offset = static_cast<unsigned>(len_ & 63);
    if (offset == 0) {
      words_.push_back(value);
    } else {
      words_.back() |= value << offset;
      if (offset + width > 64) words_.push_back(value >> (64 - offset));
    }
    len_ += width;
  }

  void set(std::uint64_t i) { words_[i >> 6] |= std::uint64_t{1} << (i & 63); }

  [[nodiscard]] bool get(std::uint64_t i) const { return (words_[i >> 6] >> (i & 63)) & 1U; }

  // The `width` bits (1 <= width <= 64) starting at bit `offset`.
  [[nodiscard]] std::uint64_t get_bits(std::uint64_t offset, unsigned width) const {
    return bits_at(words_, offset, width);
  }

  // The same read over any words in this layout.
  [[nodiscard]] static std::uint64_t bits_at(std::span<const std::uint64_t> words,
                                             std::uint64_t offset, unsigned width) {
    const std::uint64_t word = offset >> 6;
    const unsigned shift = static_cast<unsigned>(offset & 63);
    std::uint64_t value = words[word] >> shift;
    if (shift + width > 64) value |= words[word + 1] << (64 - shift);
    return width == 64 ? value : value & ((std::uint64_t{1} << width) - 1);
  }

  [[nodiscard]] std::uint64_t len() const noexcept { return len_; }
  [[nodiscard]] std::span<const std::uint64_t> words() const noexcept { return words_; }
  [[nodiscard]] std::span<std::uint64_t> mutable_words() noexcept { return words_; }

 private:
  std::vector<std::uint64_t> words_;
  std::uint64_t len_ = 0;
};

}  // namespace quarnel::core::fm_index
