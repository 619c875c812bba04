#pragma once
// An LCP array in two planes: the low 16 bits of every entry, and the bits above only for the
// blocks of entries that have any. On prose almost every entry is short (long ones come from
// repeated passages and pasted documents), so the array takes 2 bytes per entry instead of 4 or
// 8, and every entry still reads back exactly. A reader pays one more load per entry, from a
// table a thousandth of the array's size and, for most blocks, from one block of zeros.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/large_array.hpp"
#include "base/prefetch.hpp"

namespace quarnel::core::suffix_array {

template <class Idx>
class LcpPlanes {
  static_assert(std::is_same_v<Idx, std::uint32_t> || std::is_same_v<Idx, std::uint64_t>);

 public:
  // Entries are below the text's length, so 64-bit ones fit 48 bits.
  using High = std::conditional_t<sizeof(Idx) == 4, std::uint16_t, std::uint32_t>;
  static constexpr unsigned kBlockBits = 10;
  static constexpr std::size_t kBlock = std::size_t{1} << kBlockBits;

  // What the stages read: pointers into the planes, valid while they live.
  class View {
   public:
    View() = default;
    [[nodiscard]] std::size_t size() const { return n_; }
    [[nodiscard]] Idx operator[](std::size_t r) const {
      const std::size_t high = std::size_t{high_block_[r >> kBlockBits]} << kBlockBits;
      return static_cast<Idx>(low_[r]) |
             static_cast<Idx>(static_cast<Idx>(high_[high | (r & (kBlock - 1))]) << 16);
    }
    void prefetch(std::size_t r) const { prefetch_read(low_ + r); }

    // The first rank in [r, end) whose entry is at least `threshold`, else end. Blocks without
    // high bits are searched in the low plane alone, or skipped when the threshold is above it.
    [[nodiscard]] std::size_t next_reaching(std::uint64_t threshold, std::size_t r,
                                            std::size_t end) const {
      while (r < end) {
        const std::size_t block_end = std::min(end, ((r >> kBlockBits) + 1) << kBlockBits);
        if (high_block_[r >> kBlockBits] != 0) {
          for (; r < block_end; ++r) {
            if ((*this)[r] >= threshold) return r;
          }
        } else if (threshold <= 0xFFFF) {
          for (; r < block_end; ++r) {
            if (low_[r] >= threshold) return r;
          }
        } else {
          r = block_end;
        }
      }
      return end;
    }

   private:
    friend class LcpPlanes;
    const std::uint16_t* low_ = nullptr;
    const std::uint32_t* high_block_ = nullptr;
    const High* high_ = nullptr;
    std::size_t n_ = 0;
  };

  LcpPlanes() = default;
  explicit LcpPlanes(std::span<const Idx> lcp) { take(lcp, false); }
  // Takes the entries of `lcp` and frees its pages as they are read: the planes never need
  // more room than the array had.
  explicit LcpPlanes(std::vector<Idx>&& lcp) {
    const std::vector<Idx> source = std::move(lcp);
    take(source, true);
  }

  [[nodiscard]] std::size_t size() const { return low_.size(); }
  [[nodiscard]] Idx operator[](std::size_t r) const { return view()[r]; }
  [[nodiscard]] View view() const {
    View v;
    v.low_ = low_.data();
    v.high_block_ = high_block_.data();
    v.high_ = high_.data();
    v.n_ = low_.size();
    return v;
  }
  operator View() const { return view(); }  // NOLINT: the stages take planes as their view
  // Blocks that needed their high bits; the rest share block 0, all zeros.
  [[nodiscard]] std::size_t wide_blocks() const { return high_.size() / kBlock - 1; }

 private:
  void take(std::span<const Idx> source, bool release) {
    const std::size_t n = source.size();
    low_.reserve(n);
    if (n * sizeof(std::uint16_t) >= 2 * kHugePage) {
      advise_huge_pages(low_.data(), n * sizeof(std::uint16_t));
    }
    high_block_.reserve((n + kBlock - 1) / kBlock);
    high_.reserve((1 + blocks_above_16_bits(source)) * kBlock);
    high_.assign(kBlock, 0);
    const auto* released = reinterpret_cast<const std::byte*>(source.data());
    for (std::size_t begin = 0; begin < n; begin += kBlock) {
      const std::size_t end = std::min(n, begin + kBlock);
      take_block(source.subspan(begin, end - begin));
      if (release) {
        released =
            release_pages_behind(released, reinterpret_cast<const std::byte*>(source.data() + end));
      }
    }
  }

  [[nodiscard]] static std::size_t blocks_above_16_bits(std::span<const Idx> source) {
    std::size_t wide = 0;
    for (std::size_t begin = 0; begin < source.size(); begin += kBlock) {
      const auto block = source.subspan(begin, std::min(kBlock, source.size() - begin));
      Idx above = 0;
      for (const Idx value : block) above |= value >> 16;
      wide += above != 0 ? 1 : 0;
    }
    return wide;
  }

  void take_block(std::span<const Idx> block) {
    const std::size_t at = low_.size();
    low_.resize(at + block.size());
    Idx above = 0;
    for (std::size_t i = 0; i < block.size(); ++i) {
      low_[at + i] = static_cast<std::uint16_t>(block[i]);
      above |= block[i] >> 16;
    }
    if (above == 0) {
      high_block_.push_back(0);
      return;
    }
    high_block_.push_back(static_cast<std::uint32_t>(high_.size() >> kBlockBits));
    for (const Idx value : block) high_.push_back(static_cast<High>(value >> 16));
    high_.resize(high_.size() + kBlock - block.size(), 0);  // whole blocks: r's offset is r's
  }

  std::vector<std::uint16_t> low_;
  std::vector<std::uint32_t> high_block_;  // by block: its block in high_, or 0
  std::vector<High> high_;                 // whole blocks; block 0 is zeros
};

}  // namespace quarnel::core::suffix_array
