#pragma once
// UTF-8 / UTF-16 conversions shared by the code-unit statistics and the finder's offset table.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarnel::core::utf {

// Decodes the code point starting at `pos` and advances `pos`. Malformed input yields U+FFFD and
// advances one byte, so any byte string can be walked without reading out of bounds.
[[nodiscard]] char32_t decode_utf8(std::string_view text, std::size_t& pos);

void append_utf8(std::string& out, char32_t cp);

[[nodiscard]] std::vector<std::uint16_t> utf8_to_utf16(std::string_view text);

// Unpaired surrogates become U+FFFD.
[[nodiscard]] std::string utf16_to_utf8_lossy(const std::uint16_t* units, std::size_t count);

[[nodiscard]] inline bool is_continuation_byte(std::uint8_t b) {
  return (b & 0xC0) == 0x80;
}

}  // namespace quarnel::core::utf
