#pragma once
// UTF-8 facts and UTF-8 / UTF-16 conversions: the one home of the byte tests every text scan
// shares (continuation bytes, character starts, ASCII runs, validity).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarnel::core::utf {

// Decodes the code point starting at `pos` and advances `pos`. Malformed input yields U+FFFD and
// advances one byte, so any byte string can be walked without reading out of bounds.
[[nodiscard]] char32_t decode_utf8(std::string_view text, std::size_t& pos);

// Writes the UTF-8 form of `cp` (not a surrogate) to out[0..4) and returns its length.
constexpr std::size_t encode_utf8(char32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

void append_utf8(std::string& out, char32_t cp);

[[nodiscard]] std::vector<std::uint16_t> utf8_to_utf16(std::string_view text);

// Unpaired surrogates become U+FFFD.
[[nodiscard]] std::string utf16_to_utf8_lossy(const std::uint16_t* units, std::size_t count);

// 10xxxxxx: a byte inside a multi-byte sequence, never the first byte of a character.
[[nodiscard]] constexpr bool is_continuation_byte(unsigned char b) {
  return (b & 0xC0) == 0x80;
}

// Whether a character starts at byte `pos` (false at or past the end).
[[nodiscard]] constexpr bool is_char_start(std::string_view text, std::uint64_t pos) {
  return pos < text.size() && !is_continuation_byte(static_cast<unsigned char>(text[pos]));
}

[[nodiscard]] constexpr std::uint64_t count_code_points(std::string_view text) {
  std::uint64_t n = 0;
  for (const char c : text) n += is_continuation_byte(static_cast<unsigned char>(c)) ? 0 : 1;
  return n;
}

// Whether every byte is below 0x80; eight bytes at a time.
[[nodiscard]] bool is_ascii(std::string_view bytes);

// Length of the well-formed UTF-8 sequence at p (at most `avail` bytes readable), or 0 when the
// bytes there are not one: no overlong forms, no surrogates, nothing above U+10FFFF.
[[nodiscard]] std::size_t utf8_sequence_length(const unsigned char* p, std::size_t avail);

// Whether `bytes` is well-formed UTF-8 throughout.
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

}  // namespace quarnel::core::utf
