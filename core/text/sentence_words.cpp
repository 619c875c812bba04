#include "text/sentence_words.hpp"

#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <new>

#include "base/errors.hpp"
#include "base/swar.hpp"

namespace quarnel::core::sentence_splitter::detail {

const std::unordered_set<std::string_view>& abbreviation_set() {
  static const std::unordered_set<std::string_view> set = [] {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::unordered_set<std::string_view> s(kAbbreviationWords.begin(), kAbbreviationWords.end());
    for (std::size_t k = 0; k < 52; ++k) s.insert(std::string_view(kLetters + k, 1));
    return s;
  }();
  return set;
}

// Ill-formed sequences become U+FFFD, so any byte string decodes without reading past its end.
void decode_line(std::string_view line, DecodedLine& out) {
  out.chars.resize(line.size());
  out.offsets.resize(line.size() + 1);
  std::size_t pos = 0, n = 0;
  while (pos < line.size()) {
    // Prose is mostly ASCII: eight such bytes at a time, and no call to the general decoder.
    if (pos + 8 <= line.size() && swar::all_ascii(swar::load8(line.data() + pos))) {
      for (std::size_t k = 0; k < 8; ++k) {
        out.offsets[n + k] = pos + k;
        out.chars[n + k] = static_cast<unsigned char>(line[pos + k]);
      }
      n += 8;
      pos += 8;
      continue;
    }
    out.offsets[n] = pos;
    const auto b = static_cast<unsigned char>(line[pos]);
    if (b < 0x80) {
      out.chars[n++] = b;
      ++pos;
    } else {
      out.chars[n++] = utf::decode_utf8(line, pos);
    }
  }
  out.offsets[n] = line.size();
  out.chars.resize(n);
  out.offsets.resize(n + 1);
}

void lowercase_full(std::span<const char32_t> c, std::string& out, std::u16string& utf16,
                    std::u16string& lowered) {
  out.clear();
  if (std::all_of(c.begin(), c.end(), [](char32_t ch) { return ch < 0x80; })) {
    for (char32_t ch : c) out.push_back(static_cast<char>(ascii_lower(ch)));
    return;
  }
  utf16.clear();
  for (char32_t ch : c) {
    if (ch < 0x10000) {
      utf16.push_back(static_cast<char16_t>(ch));
    } else {
      utf16.push_back(static_cast<char16_t>(U16_LEAD(ch)));
      utf16.push_back(static_cast<char16_t>(U16_TRAIL(ch)));
    }
  }
  const auto to_lower = [&](UErrorCode& status) {
    return u_strToLower(lowered.data(), static_cast<int32_t>(lowered.size()), utf16.data(),
                        static_cast<int32_t>(utf16.size()), "", &status);
  };
  lowered.resize(utf16.size() * 2 + 4);  // lower-case forms rarely grow; retry if one does
  UErrorCode status = U_ZERO_ERROR;
  int32_t len = to_lower(status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    lowered.resize(static_cast<std::size_t>(len));
    status = U_ZERO_ERROR;
    len = to_lower(status);
  }
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  if (U_FAILURE(status)) throw InternalError("lower-casing a word failed");
  for (int32_t k = 0; k < len;) {
    UChar32 ch;
    U16_NEXT(lowered.data(), k, len, ch);
    utf::append_utf8(out, static_cast<char32_t>(ch));
  }
}

}  // namespace quarnel::core::sentence_splitter::detail
