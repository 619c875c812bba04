#pragma once
// The duplicate finder's parameters and the limits derived from them.

#include <cstdint>

#include "base/saturating.hpp"

namespace quarnel::core::duplicate_finder {

struct FinderParams {
  std::uint64_t min_words = 4;
  std::uint64_t min_chars = 9;
  std::uint64_t max_words = 50;
  std::uint64_t min_words_in_substring = 2;
  bool enable_block_detection = false;
};

// Bytes two suffix-array neighbours must share before their phrases are cut.
[[nodiscard]] constexpr std::uint64_t phrase_threshold(const FinderParams& p) {
  return saturating_add(p.min_chars, saturating_sub(p.min_words, 1));
}

[[nodiscard]] constexpr std::uint64_t block_minimum(const FinderParams& p) {
  const std::uint64_t scaled = saturating_mul(4, p.max_words);
  return p.min_chars > scaled ? p.min_chars : scaled;
}

[[nodiscard]] constexpr std::uint64_t block_cap(const FinderParams& p) {
  return saturating_mul(100, p.max_words);
}

}  // namespace quarnel::core::duplicate_finder
