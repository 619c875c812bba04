#pragma once
// Word and sentence positions of the analysis text: word starts, word ends, sentence boundaries
// and white space as one bit per text position, with running counts.
// Time: one pass over the text (64 ASCII bytes at a time); memory: 1 byte per text byte (one
// 64-byte block per 64 positions, its counted planes text_positions' rank blocks). Every query is
// O(1) and reads one block, or a few.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/prefetch.hpp"
#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"
#include "text/text_positions.hpp"

namespace quarnel::core::duplicate_finder {

// Word starts, word ends, sentence boundaries and white space as one bit per text position, 64
// positions per block, with running counts and the first boundary after each block. Positions
// arrive in suffix-array order, i.e. scattered over the text; this answers what is asked of each
// one (does a word start here, which word ends follow, which sentence boundary comes next, how
// many non-space bytes a window has and whether normalising changes it) from its block and the
// next few, instead of bisecting lists and reading the text.
class PositionIndex {
  // Counted planes of a block: bytes of white-space characters, and the white-space characters
  // that normalisation rewrites.
  static constexpr std::size_t kSpaceBytes = 0;
  static constexpr std::size_t kAlterations = 1;

  // One cache line per 64 positions.
  struct alignas(64) Block {
    text_positions::RankBlock<2> counted;
    std::uint64_t starts = 0;
    std::uint64_t ends = 0;
    std::uint64_t boundaries = 0;
    std::uint64_t boundary_after_block = kMaxU64;  // first boundary in a later block
  };
  static_assert(sizeof(Block) == 64);

 public:
  PositionIndex(std::string_view text, std::span<const std::uint64_t> sentence_boundaries);

  // Bytes of white-space characters in [from, to), positions on character boundaries.
  [[nodiscard]] std::uint64_t space_bytes(std::uint64_t from, std::uint64_t to) const {
    return rank(kSpaceBytes, to) - rank(kSpaceBytes, from);
  }

  // Whether normalising the text [from, to) changes it, `from` being a word start: then some
  // white-space character in it is not a lone 0x20 after a character that is not white space.
  [[nodiscard]] bool alters(std::uint64_t from, std::uint64_t to) const {
    return rank(kAlterations, to) != rank(kAlterations, from);
  }

  [[nodiscard]] bool starts_word(std::uint64_t p) const {
    return (blocks_[p >> 6].starts >> (p & 63)) & 1U;
  }

  // Whether a word ends (exclusively) at e.
  [[nodiscard]] bool ends_word_at(std::uint64_t e) const {
    return e >= 1 && e - 1 < 64 * blocks_.size() &&
           ((blocks_[(e - 1) >> 6].ends >> ((e - 1) & 63)) & 1U);
  }

  void prefetch(std::uint64_t p) const { prefetch_read(&blocks_[p >> 6]); }

  // The blocks after p's: a word window spans a few hundred bytes at most in prose.
  void prefetch_following(std::uint64_t p) const {
    for (std::size_t block = (p >> 6) + 1; block <= (p >> 6) + 3; ++block) {
      if (block < blocks_.size()) prefetch_read(&blocks_[block]);
    }
  }

  // The first sentence boundary after p, or kMaxU64 when there is none.
  [[nodiscard]] std::uint64_t boundary_after(std::uint64_t p) const {
    const Block& block = blocks_[p >> 6];
    const std::uint64_t later = block.boundaries & ~(below(p) | bit(p));
    return later != 0 ? (p & ~std::uint64_t{63}) + std::countr_zero(later)
                      : block.boundary_after_block;
  }

  // Walks the word ends after p in order, skipping the first `skip` of them.
  class EndCursor {
   public:
    EndCursor(const PositionIndex& index, std::uint64_t p, std::uint64_t skip)
        : blocks_(index.blocks_), block_(p >> 6), bits_(blocks_[block_].ends & ~below(p)) {
      while (skip > 0 && load_bits()) {
        const auto in_block = static_cast<std::uint64_t>(std::popcount(bits_));
        if (in_block > skip) {
          for (; skip > 0; --skip) bits_ &= bits_ - 1;
        } else {
          skip -= in_block;
          bits_ = 0;
        }
      }
    }

    // The next word end, or nullopt past the last one.
    std::optional<std::uint64_t> next() {
      if (!load_bits()) return std::nullopt;
      const std::uint64_t end = 64 * block_ + std::countr_zero(bits_) + 1;
      bits_ &= bits_ - 1;
      return end;
    }

   private:
    bool load_bits() {
      while (bits_ == 0) {
        if (++block_ >= blocks_.size()) return false;
        bits_ = blocks_[block_].ends;
      }
      return true;
    }

    const std::vector<Block>& blocks_;
    std::size_t block_;
    std::uint64_t bits_;
  };

 private:
  static std::uint64_t bit(std::uint64_t p) { return std::uint64_t{1} << (p & 63); }
  static std::uint64_t below(std::uint64_t p) { return bit(p) - 1; }
  void set(std::uint64_t Block::*field, std::uint64_t p) { blocks_[p >> 6].*field |= bit(p); }

  // Marks of a counted plane before position x.
  [[nodiscard]] std::uint64_t rank(std::size_t plane, std::uint64_t x) const {
    return blocks_[x >> 6].counted.rank(plane, x);
  }

  bool mark_ascii_block(std::string_view text, std::size_t b, bool& previous_is_word,
                        bool& after_space);
  void mark_words_and_white_space(std::string_view text);

  std::vector<Block> blocks_;
};

}  // namespace quarnel::core::duplicate_finder
