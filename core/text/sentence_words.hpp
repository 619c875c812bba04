#pragma once
// What the sentence rules know about words: the word tables as sets, a line decoded into code
// points, the last word of a range, the short reductions of a word that the tables are searched
// for, the facts of the word that ends at a period, and the walk's reused storage.

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "text/sentence_chars.hpp"
#include "text/sentence_splitter.hpp"
#include "text/utf.hpp"

namespace quarnel::core::sentence_splitter::detail {

// The abbreviation words and the 52 ASCII letters.
const std::unordered_set<std::string_view>& abbreviation_set();

template <std::size_t N>
inline bool in_list(const std::array<std::string_view, N>& list, std::string_view word) {
  return std::find(list.begin(), list.end(), word) != list.end();
}

template <std::size_t N>
constexpr std::size_t longest_entry(const std::array<std::string_view, N>& list) {
  std::size_t longest = 0;
  for (std::string_view entry : list) longest = std::max(longest, entry.size());
  return longest;
}

// A line as code points, each with the byte offset at which it starts; `offsets` has one more
// entry, the line's length, so that offsets[k + 1] is where character k ends.
struct DecodedLine {
  std::vector<char32_t> chars;
  std::vector<std::size_t> offsets;
};

// Ill-formed sequences become U+FFFD, so any byte string decodes without reading past its end.
void decode_line(std::string_view line, DecodedLine& out);

// A half-open range of character indices (or, for finished sentences, of line bytes).
struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool empty() const { return begin == end; }
};

// The last maximal run of non-whitespace characters of c[begin, end); empty if there is none.
inline Span last_word(std::span<const char32_t> c, std::size_t begin, std::size_t end) {
  while (end > begin && is_whitespace(c[end - 1])) --end;
  std::size_t start = end;
  while (start > begin && !is_whitespace(c[start - 1])) --start;
  return {start, end};
}

// The characters of a word that one of the filters below keeps, as UTF-8, while they are few
// enough to be a table entry; beyond that only the fact that they are too many is kept.
class ShortReduction {
 public:
  void clear() {
    text_.clear();
    too_long_ = false;
  }
  void append(char32_t c) {
    if (too_long_) return;
    utf::append_utf8(text_, c);
    too_long_ = text_.size() > kLongestAbbreviation;
  }
  [[nodiscard]] bool is_single_ascii_letter() const {
    return text_.size() == 1 && is_ascii_letter(static_cast<unsigned char>(text_[0]));
  }
  [[nodiscard]] bool is_abbreviation() const {
    return !too_long_ && abbreviation_set().contains(text_);
  }
  [[nodiscard]] bool is_title() const { return !too_long_ && in_list(kTitleAbbreviations, text_); }

 private:
  static constexpr std::size_t kLongestAbbreviation = longest_entry(kAbbreviationWords);
  static_assert(longest_entry(kTitleAbbreviations) <= kLongestAbbreviation);

  std::string text_;
  bool too_long_ = false;
};

// What the period rules ask about the word that ends at a period, folded in character by
// character as the word grows: a token of many periods ('a.a.a.', minified code, chained URLs)
// then costs one pass in all rather than one pass per period.
struct WordFacts {
  std::size_t begin = 0;    // the word's first character
  std::size_t scanned = 0;  // [begin, scanned) is folded in
  bool has_at = false;
  ShortReduction alphabetic;
  ShortReduction alphanumeric;
  // A run of initials ('J.R.R.'): only letters and periods, no two letters adjacent.
  std::size_t letters = 0;
  std::size_t periods = 0;
  bool initials_shape = true;
  bool previous_alpha = false;
  // The lower-cased word has a period followed by a domain suffix within [begin, domain_scanned).
  std::size_t domain_scanned = 0;
  bool has_domain = false;

  void reset(std::size_t at) {
    begin = scanned = domain_scanned = at;
    has_at = has_domain = false;
    alphabetic.clear();
    alphanumeric.clear();
    letters = periods = 0;
    initials_shape = true;
    previous_alpha = false;
  }

  void add(char32_t c) {
    has_at = has_at || c == U'@';
    const bool alpha = is_alphabetic(c);
    if (alpha) alphabetic.append(c);
    if (is_alphanumeric(c)) alphanumeric.append(c);
    if (alpha) {
      initials_shape = initials_shape && !previous_alpha;
      ++letters;
    } else if (c == '.') {
      ++periods;
    } else {
      initials_shape = false;
    }
    previous_alpha = alpha;
  }

  [[nodiscard]] bool is_run_of_initials() const {
    return initials_shape && letters >= 2 && periods >= letters;
  }
};

inline bool title_abbreviation_in(std::span<const char32_t> c) {
  const Span word = last_word(c, 0, c.size());
  ShortReduction letters;
  for (std::size_t k = word.begin; k < word.end; ++k) {
    if (is_alphabetic(c[k])) letters.append(c[k]);
  }
  return letters.is_title();
}

// Full Unicode lower-case mapping (root locale) of c, as UTF-8.
void lowercase_full(std::span<const char32_t> c, std::string& out);

// Working storage reused across lines so that the walk allocates nothing per character.
struct Scratch {
  DecodedLine line;
  std::vector<Span> sentences;  // byte ranges relative to the line start
  std::string word;
};

}  // namespace quarnel::core::sentence_splitter::detail
