#pragma once
// Records that pass between the stages of the duplicate finder, its parameters with the limits
// derived from them, and the Unicode white-space helpers the stages share.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace quarnel::core::types {

inline constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

// Parameters arrive unchecked from Python, so every derived bound saturates instead of wrapping.
[[nodiscard]] constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > kMaxU64 - b ? kMaxU64 : a + b;
}

[[nodiscard]] constexpr std::uint64_t saturating_sub(std::uint64_t a, std::uint64_t b) {
  return a < b ? 0 : a - b;
}

[[nodiscard]] constexpr std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  return (a != 0 && b > kMaxU64 / a) ? kMaxU64 : a * b;
}

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

// One repeated phrase while the pipeline runs; offsets are bytes of the analysis text.
struct PhraseData {
  std::string phrase;
  std::vector<std::uint64_t> starts;
  std::vector<std::uint64_t> ends;
  std::uint64_t count = 0;
  std::uint64_t string_length = 0;  // bytes of `phrase`
  std::uint64_t number_of_words = 0;
  friend bool operator==(const PhraseData&, const PhraseData&) = default;
};

// Half-open span of the source text in UTF-16 code units.
struct Occurrence {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  friend bool operator==(const Occurrence&, const Occurrence&) = default;
};

struct PhraseResult {
  std::string phrase;
  std::uint64_t count = 0;
  std::uint64_t string_length = 0;  // code points of `phrase`
  std::uint64_t number_of_words = 0;
  std::vector<Occurrence> occurrences;
  friend bool operator==(const PhraseResult&, const PhraseResult&) = default;
};

// Byte length of the Unicode White_Space character that starts at byte i of `s`, 0 if the
// character there is not white space. Byte-wise scanning may call it on continuation bytes: none
// of them starts a white-space encoding, so it answers 0 there.
[[nodiscard]] constexpr std::size_t white_space_length_at(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  if (b0 == 0x20 || (b0 >= 0x09 && b0 <= 0x0D)) return 1;
  if (b0 < 0xC2 || b0 > 0xE3 || i + 1 >= s.size()) return 0;
  const unsigned char b1 = byte(i + 1);
  if (b0 == 0xC2) return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;  // U+0085, U+00A0
  if (i + 2 >= s.size()) return 0;
  const unsigned char b2 = byte(i + 2);
  switch (b0) {
    case 0xE1:  // U+1680
      return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
    case 0xE2:  // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
      if (b1 == 0x80) return (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
      return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;
    case 0xE3:  // U+3000
      return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
    default:
      return 0;
  }
}

// Byte length of the white-space character that ends just before byte `end`, 0 if none does.
[[nodiscard]] constexpr std::size_t white_space_length_before(std::string_view s, std::size_t end) {
  for (std::size_t len = 1; len <= 3 && len <= end; ++len) {
    if (white_space_length_at(s.substr(0, end), end - len) == len) return len;
  }
  return 0;
}

[[nodiscard]] constexpr std::string_view trim_white_space(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    const std::size_t w = white_space_length_at(s, begin);
    if (w == 0) break;
    begin += w;
  }
  std::size_t end = s.size();
  while (end > begin) {
    const std::size_t w = white_space_length_before(s, end);
    if (w == 0) break;
    end -= w;
  }
  return s.substr(begin, end - begin);
}

// Whether a white-space character can start with byte b: the ASCII ones and the lead bytes of
// the longer encodings in the set.
[[nodiscard]] constexpr bool may_begin_white_space(unsigned char b) {
  return b == 0x20 || (b >= 0x09 && b <= 0x0D) || b == 0xC2 || (b >= 0xE1 && b <= 0xE3);
}

// Maximal runs of characters that are not Unicode white space.
[[nodiscard]] constexpr std::uint64_t count_whitespace_words(std::string_view text) {
  std::uint64_t words = 0;
  bool in_word = false;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const std::size_t w = may_begin_white_space(b) ? white_space_length_at(text, i) : 0;
    if (w != 0) {
      in_word = false;
      i += w;
      continue;
    }
    if (!in_word) ++words;
    in_word = true;
    ++i;
  }
  return words;
}

[[nodiscard]] constexpr bool is_utf8_continuation(unsigned char b) {
  return (b & 0xC0) == 0x80;
}

[[nodiscard]] constexpr std::uint64_t count_code_points(std::string_view text) {
  std::uint64_t n = 0;
  for (const char c : text) n += is_utf8_continuation(static_cast<unsigned char>(c)) ? 0 : 1;
  return n;
}

}  // namespace quarnel::core::types
