#pragma once
// Word boundaries of the duplicate finder's analysis text. A word is a maximal run of word bytes:
// ASCII letters and digits and every byte of a non-ASCII character, so boundaries always fall on
// UTF-8 character boundaries.

#include <cstdint>
#include <string_view>
#include <vector>

namespace quarnel::core::tokenizer {

[[nodiscard]] constexpr bool is_word_byte(unsigned char b) {
  return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b >= 0x80;
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
