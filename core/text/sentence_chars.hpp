#pragma once
// The character classes of the sentence rules, over code points: ASCII by table, the rest by the
// Unicode properties of the generated character tables. White space is the Unicode White_Space set.

#include "text/unicode_properties.hpp"
#include "text/white_space.hpp"

namespace quarnel::core::sentence_splitter::detail {

inline bool is_whitespace(char32_t c) {
  return white_space::is_white_space(c);
}

inline bool is_other_terminator(char32_t c) {
  if (c < 0x061F) return false;
  switch (c) {
    case 0x0964:
    case 0x0965:
    case 0x061F:
    case 0x06D4:
    case 0x104A:
    case 0x104B:
    case 0x1362:
    case 0x1367:
    case 0x1368:
    case 0x2026:
    case 0x3002:
    case 0xFF01:
    case 0xFF0E:
    case 0xFF1F:
      return true;
    default:
      return false;
  }
}

inline bool is_bang_or_question(char32_t c) {
  return c == '!' || c == '?';
}

inline bool is_closer(char32_t c) {
  switch (c) {
    case 0x22:
    case 0x27:
    case 0x29:
    case 0x5D:
    case 0x7D:
    case 0x2019:
    case 0x201D:
    case 0x300D:
    case 0x300F:
      return true;
    default:
      return false;
  }
}

inline bool is_opener(char32_t c) {
  switch (c) {
    case 0x22:
    case 0x27:
    case 0x28:
    case 0x5B:
    case 0x7B:
    case 0x2018:
    case 0x201C:
    case 0x300C:
    case 0x300E:
      return true;
    default:
      return false;
  }
}

inline bool is_single_quote(char32_t c) {
  return c == 0x27 || c == 0x2018 || c == 0x2019;
}
inline bool is_double_quote(char32_t c) {
  return c == 0x22 || c == 0x201C || c == 0x201D;
}

inline bool is_ascii_digit(char32_t c) {
  return c >= '0' && c <= '9';
}
inline bool is_ascii_lower(char32_t c) {
  return c >= 'a' && c <= 'z';
}
inline bool is_ascii_upper(char32_t c) {
  return c >= 'A' && c <= 'Z';
}
inline bool is_ascii_letter(char32_t c) {
  return is_ascii_lower(c) || is_ascii_upper(c);
}
inline bool is_ascii_alnum(char32_t c) {
  return is_ascii_letter(c) || is_ascii_digit(c);
}
inline char32_t ascii_lower(char32_t c) {
  return is_ascii_upper(c) ? c | 0x20 : c;
}

inline bool is_uppercase(char32_t c) {
  if (c < 0x80) return is_ascii_upper(c);
  return unicode::is_uppercase(c);
}

inline bool is_uppercase_letter(char32_t c) {
  if (c < 0x80) return is_ascii_upper(c);
  return unicode::is_alphabetic(c) && unicode::is_uppercase(c);
}

inline bool is_alphabetic(char32_t c) {
  if (c < 0x80) return is_ascii_letter(c);
  return unicode::is_alphabetic(c);
}

inline bool is_alphanumeric(char32_t c) {
  if (c < 0x80) return is_ascii_alnum(c);
  return unicode::is_alphabetic(c) || unicode::is_numeric(c);
}

}  // namespace quarnel::core::sentence_splitter::detail
