#pragma once
// Text pieces of the command line's reports, byte for byte as Python writes them: JSON string
// literals (non-ASCII kept as is), HTML escapes, integers with padding or thousands separators,
// and one-line previews of a text. They work on UTF-8 bytes; bytes that are not UTF-8 (file
// names kept as raw bytes) pass through unchanged.

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/errors.hpp"
#include "text/white_space.hpp"

namespace quarnel::report {

// "text" with quotes, backslashes and control characters escaped as json.dumps does with
// ensure_ascii=False.
void append_json_string(std::string& out, std::string_view text);

// & < > " ' as html.escape(text, quote=True) replaces them.
void append_html_escaped(std::string& out, std::string_view text);

void append_int(std::string& out, std::int64_t value);

// Fixed pieces and integers of one row built in place, so that a row is appended in one go
// rather than one string append per piece. Rows are short; a longer one is a bug.
class ShortText {
 public:
  static constexpr std::size_t kCapacity = 320;

  ShortText& operator<<(std::string_view piece) {
    if (piece.size() > kCapacity - size_) throw core::InternalError("ShortText: row too long");
    std::memcpy(buffer_.data() + size_, piece.data(), piece.size());
    size_ += piece.size();
    return *this;
  }

  ShortText& operator<<(char c) { return *this << std::string_view(&c, 1); }

  ShortText& operator<<(std::int64_t value) {
    const auto result = std::to_chars(buffer_.data() + size_, buffer_.data() + kCapacity, value);
    if (result.ec != std::errc{}) throw core::InternalError("ShortText: row too long");
    size_ = static_cast<std::size_t>(result.ptr - buffer_.data());
    return *this;
  }

  [[nodiscard]] std::string_view view() const { return {buffer_.data(), size_}; }

 private:
  std::array<char, kCapacity> buffer_;
  std::size_t size_ = 0;
};

// Right-aligned in `width` characters (never cut), as f"{value:>{width}}".
void append_int_padded(std::string& out, std::int64_t value, std::size_t width);

// With a comma every three digits, as f"{value:,}".
void append_grouped(std::string& out, std::int64_t value);

// The characters str.split() splits at: Unicode White_Space and the four ASCII separators
// U+001C..U+001F.
[[nodiscard]] constexpr bool is_python_space(char32_t c) {
  return core::white_space::is_white_space(c) || (c >= 0x1C && c <= 0x1F);
}

struct FlatPreview {
  std::size_t chars;  // characters appended
  bool cut;           // longer than `width`: more text after what was read would not change it
};

// Appends the first width * 8 characters of `text` with every run of white space made one
// space and both ends trimmed, cut to `width` characters with an ellipsis last when longer.
FlatPreview append_flat(std::string& out, std::string_view text, std::size_t width);

}  // namespace quarnel::report
