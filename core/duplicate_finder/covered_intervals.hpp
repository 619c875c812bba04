#pragma once
// Time: add and covers are O(1) expected (two summary levels of a start bitmap, a probed table of
// ends); memory: about 1/32 byte per text byte for the bitmaps and 16 bytes per distinct start
// (the table is at most half full).

#include <bit>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/string_interner.hpp"

namespace quarnel::core::duplicate_finder {

// The covered intervals of block selection (and of dropping the phrases inside the chosen
// blocks), for the one question asked of them: whether the last interval (ordered by start, then
// end) that starts at or before `start` reaches `end`.
// Starts are text offsets, so a bitmap with two summary levels finds the nearest start at or
// before an offset, and the largest end of each start is kept by start.
class CoveredIntervals {
 public:
  explicit CoveredIntervals(std::uint64_t text_length);
  void add(std::uint64_t start, std::uint64_t end);
  [[nodiscard]] bool covers(std::uint64_t start, std::uint64_t end) const;

 private:
  static std::uint64_t bit(std::uint64_t i) { return std::uint64_t{1} << (i & 63); }
  // The largest marked index <= i in `level`, looking no further back than its word.
  static std::optional<std::uint64_t> in_word(const std::vector<std::uint64_t>& level,
                                              std::uint64_t i) {
    if ((i >> 6) >= level.size()) return std::nullopt;
    const std::uint64_t word = level[i >> 6] & (bit(i) | (bit(i) - 1));
    if (word == 0) return std::nullopt;
    return (i & ~std::uint64_t{63}) + 63 - static_cast<std::uint64_t>(std::countl_zero(word));
  }
  [[nodiscard]] std::optional<std::uint64_t> last_start_at_or_before(std::uint64_t p) const;
  [[nodiscard]] std::optional<std::uint64_t> last_group_at_or_before(std::uint64_t g) const;

  // The largest end of each start: open addressing with linear probing, starts mixed under the
  // process's secret key, so that no text can make its offsets collide.
  class EndByStart {
   public:
    EndByStart();
    // Returns whether `start` is new.
    bool raise(std::uint64_t start, std::uint64_t end);
    [[nodiscard]] std::uint64_t at(std::uint64_t start) const;  // `start` was raised

   private:
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};  // never a start: see add()
    struct Slot {
      std::uint64_t start = kEmpty;
      std::uint64_t end = 0;
    };
    [[nodiscard]] std::size_t home(std::uint64_t start) const;
    void grow();

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
    string_interner::HashKey key_;
  };

  std::vector<std::uint64_t> level0_, level1_, level2_;  // starts; non-empty words; groups
  EndByStart end_of_;
};

}  // namespace quarnel::core::duplicate_finder
