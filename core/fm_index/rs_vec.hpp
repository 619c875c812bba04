#pragma once
// Immutable bit vector with constant-time rank.
//
// Layout: the bits live in 64-byte blocks of 512 bits. Every group of 28 blocks shares one 64-byte
// count line: a 48-bit count of the ones before the group, a zero, and 28 16-bit counts of the
// ones from the group start to the end of each of its blocks. A rank therefore touches exactly
// two cache lines (its count line and its block) and the directory costs 64 bytes per 1792, 3.6%.
// Since both the start and the end count of every block are at hand, a rank counts only the half
// block (four words) on its side of the position: forwards from the block start, or backwards
// from the block end.

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "fm_index/bit_vec.hpp"
#include "fm_index/huge_page_allocator.hpp"

namespace quarnel::core::fm_index {

class RsVec {
 public:
  static constexpr std::uint64_t kBlockBits = 512;
  static constexpr std::uint64_t kBlocksPerGroup = 28;

  // An empty vector.
  RsVec();
  explicit RsVec(const BitVec& bits);

  [[nodiscard]] std::uint64_t len() const noexcept { return len_; }
  [[nodiscard]] std::uint64_t zeros() const noexcept { return zeros_; }
  [[nodiscard]] std::uint64_t ones() const noexcept { return len_ - zeros_; }

  // Bit i, for i < len().
  [[nodiscard]] bool get(std::uint64_t i) const noexcept {
    if (near_constant_) return (i == exception_) != majority_;
    return (blocks_[i >> 9].words[(i >> 6) & 7] >> (i & 63)) & 1U;
  }

  // Number of ones among the first x bits, for x <= len().
  [[nodiscard]] std::uint64_t rank1(std::uint64_t x) const noexcept {
    if (near_constant_) return near_constant_rank1(x);
    const std::uint64_t block = x >> 9;
    return rank1_in(block, x, blocks_[block]);
  }

  [[nodiscard]] std::uint64_t rank0(std::uint64_t x) const noexcept { return x - rank1(x); }

  // Bit i together with rank1(i), from a single block read; i < len().
  [[nodiscard]] std::pair<bool, std::uint64_t> get_rank1(std::uint64_t i) const noexcept {
    if (near_constant_) return {(i == exception_) != majority_, near_constant_rank1(i)};
    const std::uint64_t block = i >> 9;
    const Block& b = blocks_[block];
    const bool bit = (b.words[(i >> 6) & 7] >> (i & 63)) & 1U;
    return {bit, rank1_in(block, i, b)};
  }

  // Bytes of the payload blocks and the count lines, by element count.
  [[nodiscard]] std::uint64_t heap_size() const noexcept {
    return blocks_.size() * sizeof(Block) + counts_.size() * sizeof(CountLine);
  }

 private:
  struct alignas(64) Block {
    std::array<std::uint64_t, 8> words;
  };
  // v[0..2]: ones before the group (48 bits, little-endian 16-bit pieces); v[3] = 0, so that
  // v[0..3] read as one 64-bit word is that count and v[3 + r] is the relative count at the start
  // of block r; v[4 + r]: relative count at the end of block r.
  struct alignas(64) CountLine {
    std::array<std::uint16_t, 32> v;
  };
  static_assert(sizeof(Block) == 64 && sizeof(CountLine) == 64);
  static_assert(4 + kBlocksPerGroup == 32);
  static_assert(std::endian::native == std::endian::little, "count lines are read as LE words");

  // A vector of one repeated bit with at most one exception answers from its header alone. Whole
  // wavelet levels look like this (a bit that every text byte shares, broken only by the
  // sentinel, as for ASCII text or DNA), and skipping their memory shortens every LF step.
  [[nodiscard]] std::uint64_t near_constant_rank1(std::uint64_t x) const noexcept {
    const std::uint64_t past_exception = x > exception_ ? 1 : 0;
    return majority_ ? x - past_exception : past_exception;
  }

  [[nodiscard]] std::uint64_t rank1_in(std::uint64_t block, std::uint64_t x,
                                       const Block& b) const noexcept {
    const std::uint64_t group = block / kBlocksPerGroup;
    const std::uint64_t in_group = block - group * kBlocksPerGroup;
    const CountLine& line = counts_[group];
    std::uint64_t base;
    std::memcpy(&base, line.v.data(), sizeof base);
    const unsigned k = static_cast<unsigned>(x & 511);
    const unsigned half = k >> 8;  // 0: count forwards from the block start; 1: backwards from its end
    const std::uint64_t anchor = line.v[3 + in_group + half];
    const unsigned in_half = k & 255;
    const unsigned full_words = in_half >> 6;
    const std::uint64_t partial = (std::uint64_t{1} << (in_half & 63)) - 1;
    const std::uint64_t flip = std::uint64_t{0} - half;
    const std::uint64_t* w = b.words.data() + 4 * half;
    std::uint64_t counted = 0;
    for (unsigned j = 0; j < 4; ++j) {
      const std::uint64_t below =
          j < full_words ? ~std::uint64_t{0} : (j == full_words ? partial : std::uint64_t{0});
      counted += static_cast<std::uint64_t>(std::popcount(w[j] & (below ^ flip)));
    }
    // Forwards: anchor + counted; backwards: anchor - counted.
    return base + anchor + ((counted ^ flip) + half);
  }

  std::vector<Block, HugePageAllocator<Block>> blocks_;
  std::vector<CountLine, HugePageAllocator<CountLine>> counts_;
  std::uint64_t len_ = 0;
  std::uint64_t zeros_ = 0;
  // At most one bit differs from majority_; exception_ is its position, or all ones if none does.
  bool near_constant_ = false;
  bool majority_ = false;
  std::uint64_t exception_ = ~std::uint64_t{0};
};

}  // namespace quarnel::core::fm_index
