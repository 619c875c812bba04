#pragma once
// Word boundaries of the duplicate finder's analysis text. A word is a maximal run of word bytes:
// ASCII letters and digits and every byte of a non-ASCII character, so boundaries always fall on
// UTF-8 character boundaries.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarnel::core::tokenizer {

[[nodiscard]] constexpr bool is_word_byte(unsigned char b) {
  return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b >= 0x80;
}

// Bit j set where byte j of the 64 at `p` is a word byte: with SSE2 sixteen bytes a compare.
[[nodiscard]] inline std::uint64_t word_byte_mask64(const char* p) {
#if defined(__SSE2__)
  std::uint64_t mask = 0;
  for (int q = 0; q < 4; ++q) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * q));
    // signed compares after a shift of the range to start at -128: x in [lo, lo + n) unsigned
    const auto in_range = [](__m128i x, char lo, char n) {
      const __m128i shifted = _mm_add_epi8(x, _mm_set1_epi8(static_cast<char>(0x80 - lo)));
      return _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(-128 + n)));
    };
    const __m128i digit = in_range(v, '0', 10);
    const __m128i letter = in_range(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 26);
    const __m128i high = _mm_cmplt_epi8(v, _mm_setzero_si128());
    const auto bits = static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(digit, letter), high)));
    mask |= std::uint64_t{bits} << (16 * q);
  }
  return mask;
#else
  std::uint64_t mask = 0;
  for (int j = 0; j < 64; ++j) {
    mask |= std::uint64_t{is_word_byte(static_cast<unsigned char>(p[j]))} << j;
  }
  return mask;
#endif
}

// The same for the `width` bytes at `p` (at most 64), byte by byte below 64 without a branch;
// the bits past `width` are clear.
[[nodiscard]] inline std::uint64_t word_byte_mask(const char* p, std::size_t width) {
  if (width == 64) return word_byte_mask64(p);
  std::uint64_t mask = 0;
  for (std::size_t j = 0; j < width; ++j) {
    mask |= std::uint64_t{is_word_byte(static_cast<unsigned char>(p[j]))} << j;
  }
  return mask;
}

// Calls start(i) at the first byte of every word of `text` and end(i) one past its last, in
// text order, from the word-byte masks of 64 bytes at a time: a branch a word, not a byte.
template <class Start, class End>
void visit_word_bounds(std::string_view text, Start&& start, End&& end) {
  std::uint64_t previous = 0;  // bit 63: the byte before the block is a word byte
  for (std::size_t i = 0; i < text.size(); i += 64) {
    const std::size_t width = std::min<std::size_t>(64, text.size() - i);
    const std::uint64_t mask = word_byte_mask(text.data() + i, width);
    const std::uint64_t before = (mask << 1) | (previous >> 63);
    // past a short last block both are clear but for the end of its last word, reported below
    const std::uint64_t inside = width == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
    for (std::uint64_t edges = (mask ^ before) & inside; edges != 0; edges &= edges - 1) {
      const auto j = static_cast<std::size_t>(std::countr_zero(edges));
      if ((mask >> j) & 1) {
        start(i + j);
      } else {
        end(i + j);
      }
    }
    previous = mask << (64 - width);
  }
  if ((previous >> 63) != 0) end(text.size());
}

// The number of words of `text`: the word starts of each block's mask, counted at once.
[[nodiscard]] inline std::size_t count_words(std::string_view text) {
  std::size_t words = 0;
  std::uint64_t previous = 0;
  for (std::size_t i = 0; i < text.size(); i += 64) {
    const std::uint64_t mask =
        word_byte_mask(text.data() + i, std::min<std::size_t>(64, text.size() - i));
    words += static_cast<std::size_t>(std::popcount(mask & ~((mask << 1) | (previous >> 63))));
    previous = mask;
  }
  return words;
}

// True when a word begins at byte `pos` of `text` (pos < text.size()).
[[nodiscard]] constexpr bool starts_word_at(std::string_view text, std::uint64_t pos) {
  return is_word_byte(static_cast<unsigned char>(text[pos])) &&
         (pos == 0 || !is_word_byte(static_cast<unsigned char>(text[pos - 1])));
}

// Ascending offsets of the first byte of every word.
[[nodiscard]] std::vector<std::uint64_t> word_starts(std::string_view text);
// Ascending offsets one past the last byte of every word.
[[nodiscard]] std::vector<std::uint64_t> word_ends(std::string_view text);

}  // namespace quarnel::core::tokenizer
