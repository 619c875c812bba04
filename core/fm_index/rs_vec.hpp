#pragma once
// Immutable bit vector with constant-time rank.
//
// Layout: the bits live in 64-byte lines of 512 bits (blocks). Every group of 28 blocks shares one
// 64-byte count line of 32 16-bit fields: fields 0..2 hold the 48-bit count of ones before the
// group, field 3 is zero, and field 4 + r the ones from the group start to the end of block r. So
// field 3 + r is the count at the start of block r and field 4 + r the count at its end. A rank
// touches exactly two cache lines (its count line and its block) and the directory costs 64 bytes
// per 1792, 3.6%. With both counts of a block at hand a rank counts only the half block (four
// words) on its side of the position: forwards from the block start or backwards from its end.
//
// Storage is either owned or a slice of an arena that the caller keeps alive, so that the eight
// levels of a wavelet matrix can share one allocation large enough for huge pages.
//
// Not text_positions' RankBlock, the rank primitive of the text tables: this layout is the saved
// index format (saved_form.cpp writes and checks these lines), and the FM-index's fast path: its
// LF steps rank eight wavelet levels per symbol, at 3.6% space over the bits, where RankBlock's
// 64-bit count beside every 64 bits would double the levels and the memory their steps scatter
// over.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "fm_index/bit_vec.hpp"
#include "fm_index/huge_page_allocator.hpp"

namespace quarnel::core::fm_index {

// One cache line: a block of bits or a count line.
struct alignas(64) RsLine {
  std::array<std::uint64_t, 8> words;
};
static_assert(sizeof(RsLine) == 64);

using RsLineBuffer = std::vector<RsLine, HugePageAllocator<RsLine>>;

class RsVec {
 public:
  static constexpr std::uint64_t kBlockBits = 512;
  static constexpr std::uint64_t kBlocksPerGroup = 28;

  // Lines needed for a vector of `bits` bits: blocks, then count lines.
  [[nodiscard]] static std::uint64_t block_count(std::uint64_t bits) noexcept {
    // One block more than the full blocks, so that rank(len) has a block to read even when len is
    // a multiple of the block size.
    return bits / kBlockBits + 1;
  }
  [[nodiscard]] static std::uint64_t count_line_count(std::uint64_t bits) noexcept {
    return (block_count(bits) + kBlocksPerGroup - 1) / kBlocksPerGroup;
  }
  [[nodiscard]] static std::uint64_t line_count(std::uint64_t bits) noexcept {
    return block_count(bits) + count_line_count(bits);
  }

  // An empty vector.
  RsVec() = default;
  // Owns its lines.
  explicit RsVec(const BitVec& bits);
  // Lays its lines out in `storage` (line_count(bits.len()) lines), which must outlive it.
  RsVec(const BitVec& bits, std::span<RsLine> storage);

  // What a saved vector keeps besides its lines.
  struct Summary {
    std::uint64_t len = 0;
    std::uint64_t zeros = 0;
    std::uint64_t exception = ~std::uint64_t{0};
    bool near_constant = true;
    bool majority = false;
  };
  [[nodiscard]] Summary summary() const noexcept {
    return {len_, zeros_, exception_, near_constant_, majority_};
  }
  // A vector over lines laid out by an earlier build (line_count(summary.len) of them), which
  // must outlive it.
  [[nodiscard]] static RsVec over(const Summary& summary,
                                  std::span<const RsLine> storage) noexcept {
    RsVec v;
    v.len_ = summary.len;
    v.zeros_ = summary.zeros;
    v.exception_ = summary.exception;
    v.near_constant_ = summary.near_constant;
    v.majority_ = summary.majority;
    v.blocks_ = storage.data();
    v.counts_ = storage.data() + block_count(summary.len);
    return v;
  }

  RsVec(RsVec&&) noexcept = default;
  RsVec& operator=(RsVec&&) noexcept = default;
  RsVec(const RsVec&) = delete;
  RsVec& operator=(const RsVec&) = delete;
  ~RsVec() = default;

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
    const RsLine& b = blocks_[block];
    const bool bit = (b.words[(i >> 6) & 7] >> (i & 63)) & 1U;
    return {bit, rank1_in(block, i, b)};
  }

  // Asks for the two cache lines that rank1(x) and get_rank1(x) read, without waiting for them.
  void prefetch(std::uint64_t x) const noexcept {
    if (near_constant_) return;
    const std::uint64_t block = x >> 9;
    __builtin_prefetch(&blocks_[block]);
    __builtin_prefetch(&counts_[block / kBlocksPerGroup]);
  }

  // The count line of a group: `ones` (the ones before the group) and, for each of `blocks`, the
  // ones from the group start to its end; `ones` is advanced past the group.
  [[nodiscard]] static RsLine count_line(std::span<const RsLine> blocks,
                                         std::uint64_t& ones) noexcept;

  // Whether group `group` of a vector of `len` bits, laid out in `storage` as a build lays it
  // out, is what a build writes: its count line as count_line() gives it for the group's blocks
  // (`ones`, the ones before the group, is advanced past it) and no bit set past `len`. Checking
  // every group in turn proves every rank of the vector right.
  [[nodiscard]] static bool group_is_valid(std::span<const RsLine> storage, std::uint64_t len,
                                           std::uint64_t group, std::uint64_t& ones) noexcept;

  // Whether `s` is the summary a build gives a vector of s.len bits with `ones` ones, laid out in
  // `storage`: its zero count, and the near-constant flags with the position of the exception.
  [[nodiscard]] static bool summary_fits(const Summary& s, std::uint64_t ones,
                                         std::span<const RsLine> storage) noexcept;

  // The blocks of a group, for a vector of `len` bits.
  [[nodiscard]] static std::pair<std::uint64_t, std::uint64_t> group_blocks(
      std::uint64_t len, std::uint64_t group) noexcept {
    const std::uint64_t first = group * kBlocksPerGroup;
    return {first, std::min(first + kBlocksPerGroup, block_count(len))};
  }

  // Bytes of the blocks and the count lines, by element count.
  [[nodiscard]] std::uint64_t heap_size() const noexcept {
    return line_count(len_) * sizeof(RsLine);
  }

 private:
  void build(const BitVec& bits, std::span<RsLine> storage);

  // A vector of one repeated bit with at most one exception answers from its header alone. Whole
  // wavelet levels look like this (a bit that every text byte shares, broken only by the
  // sentinel, as for ASCII text or DNA), and skipping their memory shortens every LF step.
  [[nodiscard]] std::uint64_t near_constant_rank1(std::uint64_t x) const noexcept {
    const std::uint64_t past_exception = x > exception_ ? 1 : 0;
    return majority_ ? x - past_exception : past_exception;
  }

  [[nodiscard]] std::uint64_t rank1_in(std::uint64_t block, std::uint64_t x,
                                       const RsLine& b) const noexcept {
    const std::uint64_t group = block / kBlocksPerGroup;
    const std::uint64_t in_group = block - group * kBlocksPerGroup;
    const RsLine& line = counts_[group];
    const std::uint64_t base = line.words[0];  // field 3 is zero
    const unsigned k = static_cast<unsigned>(x & 511);
    // half 0: count forwards from the block start; half 1: backwards from the block end.
    const unsigned half = k >> 8;
    const std::uint64_t field = 3 + in_group + half;
    const std::uint64_t anchor = (line.words[field >> 2] >> (16 * (field & 3))) & 0xFFFF;
    const unsigned in_half = k & 255;
    const unsigned full_words = in_half >> 6;
    const std::uint64_t partial = (std::uint64_t{1} << (in_half & 63)) - 1;
    const std::uint64_t flip = std::uint64_t{0} - half;
    const std::uint64_t* w = b.words.data() + 4 * half;
    // Word masks from comparisons rather than branches: full_words is as random as the position.
    std::uint64_t counted = 0;
    for (unsigned j = 0; j < 4; ++j) {
      const std::uint64_t whole = std::uint64_t{0} - static_cast<std::uint64_t>(j < full_words);
      const std::uint64_t part = std::uint64_t{0} - static_cast<std::uint64_t>(j == full_words);
      const std::uint64_t below = whole | (part & partial);
      counted += static_cast<std::uint64_t>(std::popcount(w[j] & (below ^ flip)));
    }
    // Forwards: anchor + counted; backwards: anchor - counted.
    return base + anchor + ((counted ^ flip) + half);
  }

  RsLineBuffer owned_;
  const RsLine* blocks_ = nullptr;
  const RsLine* counts_ = nullptr;
  std::uint64_t len_ = 0;
  std::uint64_t zeros_ = 0;
  // At most one bit differs from majority_; exception_ is its position, or all ones if none does.
  bool near_constant_ = true;
  bool majority_ = false;
  std::uint64_t exception_ = ~std::uint64_t{0};
};

}  // namespace quarnel::core::fm_index
