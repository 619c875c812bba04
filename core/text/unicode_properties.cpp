#include "text/unicode_properties.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "text/utf.hpp"

namespace quarnel::core::unicode {

namespace {

#include "unicode_tables.inc"

enum Flag : std::uint8_t {
  kAlphabetic = 1,
  kUppercase = 2,
  kNumeric = 4,
  kCased = 8,
  kCaseIgnorable = 16,
  kLowers = 32,  // the lower-case form differs from the character
};

std::uint8_t flags(char32_t c) {
  if (c >= 0x110000) return 0;
  const std::uint32_t block = kBlockIndex[c >> kBlockShift];
  return kBlockFlags[(block << kBlockShift) | (c & ((1u << kBlockShift) - 1))];
}

// Index of c in a sorted table, or `size` when it is not there.
template <std::size_t N>
std::size_t find(const char32_t (&table)[N], char32_t c) {
  const auto* it = std::lower_bound(std::begin(table), std::end(table), c);
  return it != std::end(table) && *it == c ? static_cast<std::size_t>(it - table) : N;
}

// Final_Sigma: a cased character, then only case-ignorable ones, before text[i]; none of that kind
// after it. A character that is both (modifier letters such as U+02B0) is skipped as ignorable,
// as ICU does.
bool cased_beside(std::span<const char32_t> text, std::size_t i, bool forward) {
  for (std::size_t k = i; forward ? k + 1 < text.size() : k > 0;) {
    k = forward ? k + 1 : k - 1;
    const std::uint8_t f = flags(text[k]);
    if (f & kCaseIgnorable) continue;
    return (f & kCased) != 0;
  }
  return false;
}

void append(std::string& out, char32_t c) {
  char buf[4];
  out.append(buf, utf::encode_utf8(c, buf));
}

}  // namespace

std::string_view database_version() {
  return kUcdVersion;
}

bool is_alphabetic(char32_t c) {
  return (flags(c) & kAlphabetic) != 0;
}
bool is_uppercase(char32_t c) {
  return (flags(c) & kUppercase) != 0;
}
bool is_numeric(char32_t c) {
  return (flags(c) & kNumeric) != 0;
}

void append_lower_utf8(std::span<const char32_t> text, std::string& out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t c = text[i];
    if (!(flags(c) & kLowers)) {
      append(out, c);
      continue;
    }
    const std::size_t final_k = find(kFinalLowerFrom, c);
    const std::size_t long_k = find(kLongLowerFrom, c);
    if (final_k != std::size(kFinalLowerFrom) && cased_beside(text, i, false) &&
        !cased_beside(text, i, true)) {
      append(out, kFinalLowerTo[final_k]);
    } else if (long_k != std::size(kLongLowerFrom)) {
      for (std::size_t j = 3 * long_k; j < 3 * long_k + 3 && kLongLowerTo[j] != 0; ++j) {
        append(out, kLongLowerTo[j]);
      }
    } else {
      append(out, kLowerTo[find(kLowerFrom, c)]);
    }
  }
}

}  // namespace quarnel::core::unicode
