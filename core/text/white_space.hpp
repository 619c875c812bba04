#pragma once
// The white-space sets of the system, each defined once:
// - the five bytes that collapse_whitespace collapses (tab, line feed, form feed, carriage
//   return, space);
// - Unicode White_Space, for phrase normalisation, word counts and trimming in the duplicate
//   finder and for the sentence detector: by code point (is_white_space) and by UTF-8 bytes
//   (white_space_length_at and what builds on it), the two tied together by a compile-time check;
// - the tokenizer's separators (every ASCII byte that is not a letter or digit) are the
//   complement of tokenizer::is_word_byte.
// Eight-byte views of these sets (duplicate_finder/positions.cpp) are checked against them at
// compile time too.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text/utf.hpp"

namespace quarnel::core::white_space {

// The bytes collapse_whitespace treats as white space. Vertical tab (0x0B) is not one of them.
[[nodiscard]] constexpr bool is_collapsible_byte(unsigned char b) {
  return b == 0x20 || b == 0x09 || b == 0x0A || b == 0x0C || b == 0x0D;
}

// The ASCII members of Unicode White_Space: the collapsible bytes and vertical tab.
[[nodiscard]] constexpr bool is_ascii_white_space(unsigned char b) {
  return is_collapsible_byte(b) || b == 0x0B;
}

// Unicode White_Space by code point.
[[nodiscard]] constexpr bool is_white_space(char32_t c) {
  if (c < 0x80) return is_ascii_white_space(static_cast<unsigned char>(c));
  switch (c) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// Byte length of the Unicode White_Space character that starts at byte i of `s`, 0 if the
// character there is not white space. Byte-wise scanning may call it on continuation bytes: none
// of them starts a white-space encoding, so it answers 0 there.
[[nodiscard]] constexpr std::size_t white_space_length_at(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return is_ascii_white_space(b0) ? 1 : 0;
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
  return is_ascii_white_space(b) || b == 0xC2 || (b >= 0xE1 && b <= 0xE3);
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

// Code points of `text` that are not Unicode white space.
[[nodiscard]] constexpr std::uint64_t count_visible_chars(std::string_view text) {
  std::uint64_t chars = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const std::size_t w = may_begin_white_space(b) ? white_space_length_at(text, i) : 0;
    if (w != 0) {
      i += w;
      continue;
    }
    chars += utf::is_continuation_byte(b) ? 0 : 1;
    ++i;
  }
  return chars;
}

namespace detail {

// Every code point up to U+3FFF (every lead byte a member can have) in UTF-8: the byte form answers
// its length exactly for the members and 0 for the others.
constexpr bool byte_form_agrees() {
  for (char32_t c = 0; c <= 0x3FFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    char bytes[4] = {};
    const std::size_t length = utf::encode_utf8(c, bytes);
    const std::size_t found = white_space_length_at(std::string_view(bytes, length), 0);
    if (found != (is_white_space(c) ? length : 0)) return false;
  }
  return true;
}
static_assert(byte_form_agrees());

}  // namespace detail
}  // namespace quarnel::core::white_space
