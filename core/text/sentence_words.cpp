#include "text/sentence_words.hpp"

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

void lowercase_full(std::span<const char32_t> c, std::string& out) {
  out.clear();
  if (std::all_of(c.begin(), c.end(), [](char32_t ch) { return ch < 0x80; })) {
    for (char32_t ch : c) out.push_back(static_cast<char>(ascii_lower(ch)));
    return;
  }
  unicode::append_lower_utf8(c, out);
}

}  // namespace quarnel::core::sentence_splitter::detail
