#include "sentence_splitter.hpp"

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <unordered_set>

#include "errors.hpp"
#include "interrupt.hpp"
#include "swar.hpp"
#include "unicode/properties.hpp"
#include "utf.hpp"
#include "white_space.hpp"

namespace quarnel::core::sentence_splitter {

namespace {

// ---------------------------------------------------------------------------------------------
// Character classes

bool is_whitespace(char32_t c) {
  return white_space::is_white_space(c);
}

bool is_other_terminator(char32_t c) {
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

bool is_bang_or_question(char32_t c) {
  return c == '!' || c == '?';
}

bool is_closer(char32_t c) {
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

bool is_opener(char32_t c) {
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

bool is_single_quote(char32_t c) {
  return c == 0x27 || c == 0x2018 || c == 0x2019;
}
bool is_double_quote(char32_t c) {
  return c == 0x22 || c == 0x201C || c == 0x201D;
}

bool is_ascii_digit(char32_t c) {
  return c >= '0' && c <= '9';
}
bool is_ascii_lower(char32_t c) {
  return c >= 'a' && c <= 'z';
}
bool is_ascii_upper(char32_t c) {
  return c >= 'A' && c <= 'Z';
}
bool is_ascii_letter(char32_t c) {
  return is_ascii_lower(c) || is_ascii_upper(c);
}
bool is_ascii_alnum(char32_t c) {
  return is_ascii_letter(c) || is_ascii_digit(c);
}
char32_t ascii_lower(char32_t c) {
  return is_ascii_upper(c) ? c | 0x20 : c;
}

bool is_uppercase(char32_t c) {
  if (c < 0x80) return is_ascii_upper(c);
  return unicode::is_uppercase(c);
}

bool is_uppercase_letter(char32_t c) {
  if (c < 0x80) return is_ascii_upper(c);
  return unicode::is_alphabetic(c) && unicode::is_uppercase(c);
}

bool is_alphabetic(char32_t c) {
  if (c < 0x80) return is_ascii_letter(c);
  return unicode::is_alphabetic(c);
}

bool is_alphanumeric(char32_t c) {
  if (c < 0x80) return is_ascii_alnum(c);
  return unicode::is_alphabetic(c) || unicode::is_numeric(c);
}

// ---------------------------------------------------------------------------------------------
// Word tables

const std::unordered_set<std::string_view>& abbreviation_set() {
  static const std::unordered_set<std::string_view> set = [] {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::unordered_set<std::string_view> s(kAbbreviationWords.begin(), kAbbreviationWords.end());
    for (std::size_t k = 0; k < 52; ++k) s.insert(std::string_view(kLetters + k, 1));
    return s;
  }();
  return set;
}

template <std::size_t N>
bool in_list(const std::array<std::string_view, N>& list, std::string_view word) {
  return std::find(list.begin(), list.end(), word) != list.end();
}

template <std::size_t N>
constexpr std::size_t longest_entry(const std::array<std::string_view, N>& list) {
  std::size_t longest = 0;
  for (std::string_view entry : list) longest = std::max(longest, entry.size());
  return longest;
}

// ---------------------------------------------------------------------------------------------
// Decoding

// A line as code points, each with the byte offset at which it starts; `offsets` has one more
// entry, the line's length, so that offsets[k + 1] is where character k ends.
struct DecodedLine {
  std::vector<char32_t> chars;
  std::vector<std::size_t> offsets;
};

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

// ---------------------------------------------------------------------------------------------
// Text helpers shared by the rules

// A half-open range of character indices (or, for finished sentences, of line bytes).
struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool empty() const { return begin == end; }
};

// The last maximal run of non-whitespace characters of c[begin, end); empty if there is none.
Span last_word(std::span<const char32_t> c, std::size_t begin, std::size_t end) {
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

bool title_abbreviation_in(std::span<const char32_t> c) {
  const Span word = last_word(c, 0, c.size());
  ShortReduction letters;
  for (std::size_t k = word.begin; k < word.end; ++k) {
    if (is_alphabetic(c[k])) letters.append(c[k]);
  }
  return letters.is_title();
}

// Full Unicode lower-case mapping (root locale) of c, as UTF-8.
void lowercase_full(std::span<const char32_t> c, std::string& out) {
  out.clear();
  if (std::all_of(c.begin(), c.end(), [](char32_t ch) { return ch < 0x80; })) {
    for (char32_t ch : c) out.push_back(static_cast<char>(ascii_lower(ch)));
    return;
  }
  unicode::append_lower_utf8(c, out);
}

// Working storage reused across lines so that the walk allocates nothing per character.
struct Scratch {
  DecodedLine line;
  std::vector<Span> sentences;  // byte ranges relative to the line start
  std::string word;
};

// ---------------------------------------------------------------------------------------------
// The sentence walk over one trimmed line

class SentenceWalk {
 public:
  // c: characters of the trimmed line; offsets: n + 1 byte offsets of those characters relative
  // to the untrimmed line `line`.
  // rescan: every rule looks at its word afresh (the reference for the word facts).
  SentenceWalk(std::string_view line, std::span<const char32_t> c,
               std::span<const std::size_t> offsets, Scratch& scratch, bool rescan)
      : line_(line), c_(c), off_(offsets), n_(c.size()), scratch_(scratch), rescan_(rescan) {}

  void run() {
    std::size_t i = 0;
    for (std::size_t steps = 1; i < n_; ++steps) {
      interrupt::checkpoint_every(steps);  // one line can be the whole text
      buf_end_ = i + 1;
      const char32_t ch = c_[i];
      if (ch == '.') {
        i = on_period(i);
      } else if (is_bang_or_question(ch)) {
        i = on_bang_or_question(i);
      } else if (is_other_terminator(ch)) {
        i = close_terminator(i);
      } else {
        ++i;
      }
    }
    split();  // the rest of the line is its last sentence
  }

 private:
  // -- the buffer: always the contiguous characters c[buf_begin_, buf_end_) --

  void split() {
    std::size_t b = buf_begin_, e = buf_end_;
    while (b < e && is_whitespace(c_[b])) ++b;
    while (e > b && is_whitespace(c_[e - 1])) --e;
    if (b < e) scratch_.sentences.push_back({off_[b], off_[e]});
    buf_begin_ = buf_end_;
    quote_scan_ = url_scan_ = buf_begin_;
    single_quotes_ = double_quotes_ = 0;
    url_found_ = false;
  }

  std::size_t skip_whitespace(std::size_t k) const {
    while (k < n_ && is_whitespace(c_[k])) ++k;
    return k;
  }

  std::span<const char32_t> chars(std::size_t begin, std::size_t end) const {
    return c_.subspan(begin, end - begin);
  }

  std::string_view bytes(std::size_t begin, std::size_t end) const {
    return line_.substr(off_[begin], off_[end] - off_[begin]);
  }

  // Index one past the last buffer character that is not a period (buf_begin_ if none).
  std::size_t end_without_trailing_periods() const {
    std::size_t e = buf_end_;
    while (e > buf_begin_ && c_[e - 1] == '.') --e;
    return e;
  }

  // -- walk steps --

  std::size_t on_period(std::size_t i) {
    std::size_t k = 1;
    while (i + k < n_ && c_[i + k] == '.') ++k;
    if (k >= 3) return on_ellipsis(i, k);
    return close_terminator(i);  // a double period is two single ones, handled in turn
  }

  std::size_t on_ellipsis(std::size_t i, std::size_t k) {
    buf_end_ = i + k;
    const std::size_t next = skip_whitespace(i + k);
    if (next == n_ || is_uppercase(c_[next])) split();
    return i + k;
  }

  std::size_t on_bang_or_question(std::size_t i) {
    while (i + 1 < n_ && is_bang_or_question(c_[i + 1])) ++i;
    buf_end_ = i + 1;
    return close_terminator(i);
  }

  // A terminator at t, then any closers; decides whether the sentence ends after them.
  std::size_t close_terminator(std::size_t t) {
    std::size_t j = t + 1;
    while (j < n_ && is_closer(c_[j])) ++j;
    buf_end_ = j;
    const std::size_t last = j - 1;
    bool ends;
    if (is_other_terminator(c_[last])) {
      ends = true;
    } else if (last != t) {
      ends = next_word_starts_sentence(last);
    } else if (is_bang_or_question(c_[t])) {
      ends = quotes_balanced();
    } else {
      ends = period_ends_sentence(t);
    }
    if (ends) split();
    return last + 1;
  }

  // An odd count of either quote kind means the mark sits inside an open quotation.
  bool quotes_balanced() {
    for (; quote_scan_ < buf_end_; ++quote_scan_) {
      single_quotes_ += is_single_quote(c_[quote_scan_]);
      double_quotes_ += is_double_quote(c_[quote_scan_]);
    }
    return single_quotes_ % 2 == 0 && double_quotes_ % 2 == 0;
  }

  // -- period rules, in order; the first that applies decides --

  bool period_ends_sentence(std::size_t i) {
    if (is_initial_in_dotted_abbreviation(i)) return false;
    if (is_number_continued(i)) return false;
    if (is_in_email_address(i)) return false;
    if (is_in_url()) return false;
    if (is_in_domain_name(i)) return false;
    if (is_before_file_extension(i)) return false;
    const bool after_abbreviation = follows_abbreviation(i);
    if (const int dotted = dotted_abbreviation_decision(i); dotted >= 0) return dotted == 1;
    return after_abbreviation ? confirm_abbreviation_end(i) : next_word_starts_sentence(i);
  }

  // Rule 1: the 'U.' of 'U.S.'.
  bool is_initial_in_dotted_abbreviation(std::size_t i) const {
    return i + 2 < n_ && is_uppercase_letter(c_[i + 1]) && c_[i + 2] == '.';
  }

  // Rule 2: '3.50', 'Chapter 2. the end', 'Ver 2. 5 items'.
  bool is_number_continued(std::size_t i) const {
    const std::size_t p = end_without_trailing_periods();
    if (p == buf_begin_ || !is_ascii_digit(c_[p - 1])) return false;
    const std::size_t k = skip_whitespace(i + 1);
    return k < n_ && (is_ascii_digit(c_[k]) || is_ascii_lower(c_[k]));
  }

  // Rule 3: a period inside an e-mail address.
  bool is_in_email_address(std::size_t i) { return word_ending_at(i).has_at; }

  // Rule 4: the marker may appear anywhere in the buffer. Only ASCII lower-casing matters: no
  // other character lower-cases to a string containing a marker character.
  bool is_in_url() {
    if (url_found_) return true;
    // Starts seen before may have been cut short by the old buffer end: recheck the last few.
    constexpr std::size_t kLongestMarker = 8;
    std::size_t p = url_scan_ >= buf_begin_ + kLongestMarker - 1 ? url_scan_ - (kLongestMarker - 1)
                                                                 : buf_begin_;
    for (; p < buf_end_; ++p) {
      if (url_marker_at(p)) {
        url_found_ = true;
        break;
      }
    }
    url_scan_ = buf_end_;
    return url_found_;
  }

  bool url_marker_at(std::size_t p) const {
    // Every marker starts with 'h' or 'w'; setting bit 5 lower-cases exactly 'H' and 'W' into
    // them, and turns no other character into either.
    const char32_t first = c_[p] | 0x20;
    if (first != 'h' && first != 'w') return false;
    for (std::string_view marker : kUrlMarkers) {
      if (p + marker.size() > buf_end_) continue;
      std::size_t k = 0;
      while (k < marker.size() && ascii_lower(c_[p + k]) == static_cast<char32_t>(marker[k])) ++k;
      if (k == marker.size()) return true;
    }
    return false;
  }

  // Rule 5: a plain substring test on the lower-cased last word, so '.community' has '.com'.
  // Lower-casing maps each character on its own (only a final sigma looks at its neighbours, and
  // none of its forms is ASCII), and maps none to nothing; so only the part of the word not yet
  // searched is lower-cased, with the few characters before it that a match ending in it can
  // start with.
  bool is_in_domain_name(std::size_t i) {
    if (i + 1 >= n_ || is_whitespace(c_[i + 1])) return false;
    WordFacts& word = word_ending_at(i);
    if (word.has_domain) return true;
    // A match is a period and a suffix: it starts at most this many characters before its end.
    constexpr std::size_t kReach = longest_entry(kDomainSuffixes);
    const std::size_t from =
        word.domain_scanned >= word.begin + kReach ? word.domain_scanned - kReach : word.begin;
    word.domain_scanned = i + 1;
    lowercase_full(chars(from, i + 1), scratch_.word);
    const std::string_view lowered = scratch_.word;
    for (std::size_t dot = lowered.find('.'); dot != std::string_view::npos;
         dot = lowered.find('.', dot + 1)) {
      const std::string_view rest = lowered.substr(dot + 1);
      for (std::string_view suffix : kDomainSuffixes) {
        if (rest.starts_with(suffix)) return word.has_domain = true;
      }
    }
    return false;
  }

  // Rule 6: 'report.pdf'; the extension must run to whitespace or the end of the line.
  bool is_before_file_extension(std::size_t i) {
    if (i + 1 >= n_) return false;
    constexpr std::size_t kLongest = longest_entry(kFileExtensions);
    std::size_t j = i + 1;
    while (j < n_ && is_ascii_alnum(c_[j]) && j - i <= kLongest) ++j;
    if (j - (i + 1) > kLongest) return false;                           // too long to be one
    if (j == i + 1 || (j < n_ && !is_whitespace(c_[j]))) return false;  // no extension
    std::string& ext = scratch_.word;
    ext.clear();
    for (std::size_t k = i + 1; k < j; ++k) ext.push_back(static_cast<char>(ascii_lower(c_[k])));
    if (!in_list(kFileExtensions, ext)) return false;
    const std::size_t p = end_without_trailing_periods();
    return p > buf_begin_ && is_alphanumeric(c_[p - 1]);
  }

  // Rule 7: the last word, without trailing periods, reduced to its alphanumeric characters.
  bool follows_abbreviation(std::size_t i) {
    const std::size_t end = end_without_trailing_periods();
    if (end > buf_begin_ && !is_whitespace(c_[end - 1])) {
      // The word of the period itself; its trailing periods add nothing to the reduction.
      const ShortReduction& reduced = word_ending_at(i).alphanumeric;
      return reduced.is_single_ascii_letter() || reduced.is_abbreviation();
    }
    // At most two periods follow white space here (three or more are an ellipsis), so the word
    // before them is looked at for no more than two periods.
    const Span word = last_word(c_, buf_begin_, end);
    ShortReduction reduced;
    for (std::size_t k = word.begin; k < word.end; ++k) {
      if (is_alphanumeric(c_[k])) reduced.append(c_[k]);
    }
    return reduced.is_single_ascii_letter() || reduced.is_abbreviation();
  }

  // Rule 8: 1 split, 0 keep, -1 the rule does not apply.
  int dotted_abbreviation_decision(std::size_t i) {
    const WordFacts& word = word_ending_at(i);
    const std::string_view word_bytes = bytes(word.begin, i + 1);
    for (std::string_view prefix : kDottedPrefixes) {
      // The first-byte test spares a comparison call for nearly every ordinary word.
      if (word_bytes[0] == prefix[0] && word_bytes.starts_with(prefix)) {
        return confirm_abbreviation_end(i) ? 1 : 0;
      }
    }
    // 'J.R.R.' or 'U.N.': single letters, each followed by at least as many periods.
    if (!word.is_run_of_initials()) return -1;
    if (i + 1 == n_) return 1;
    return confirm_abbreviation_end(i) ? 1 : 0;
  }

  // The facts of the last word of the buffer, which ends with the period at i.
  WordFacts& word_ending_at(std::size_t i) {
    const std::size_t end = i + 1;
    if (rescan_) {
      word_.reset(last_word(c_, buf_begin_, end).begin);
    } else {
      // White space after what was folded in starts a new word; without any, a buffer that now
      // starts inside the word cuts it.
      const std::size_t from = std::max(word_.scanned, buf_begin_);
      std::size_t k = end;
      while (k > from && !is_whitespace(c_[k - 1])) --k;
      if (k > from) {
        word_.reset(k);
      } else if (word_.begin < buf_begin_) {
        word_.reset(buf_begin_);
      }
    }
    for (std::size_t k = word_.scanned; k < end; ++k) word_.add(c_[k]);
    word_.scanned = end;
    return word_;
  }

  // -- abbreviation confirmation: does the word after an abbreviation's period open a sentence?

  bool confirm_abbreviation_end(std::size_t i) {
    if (i + 1 == n_) return true;
    const std::size_t start = skip_whitespace(i + 1);
    if (start == n_ || start - (i + 1) >= 2) return true;
    const std::size_t end = std::max(start, token_starting_at(start).alnum_end);
    const std::string_view next_word = bytes(start, end);
    if (in_list(kSentenceStarters, next_word)) return true;
    if (word_ending_at(i).alphabetic.is_title()) return false;
    // Every character lower-cases to one or more bytes and is at most four bytes long: a longer
    // word cannot lower-case to a common word.
    constexpr std::size_t kLongestLowerable = 4 * longest_entry(kCommonWords);
    return end > start && is_uppercase(c_[start]) && next_word.size() > 2 &&
           next_word.size() <= kLongestLowerable && lowercase_is_common_word(start, end);
  }

  // The run of non-white-space characters that `start` lies in. Successive periods ask about
  // starts further and further on, mostly in the same run, which is then scanned only once.
  struct Token {
    std::size_t from = 0;
    std::size_t end = 0;        // the white space after it, or the line end
    std::size_t alnum_end = 0;  // one past its last alphanumeric character (`from` if none)
  };
  const Token& token_starting_at(std::size_t start) {
    if (!rescan_ && start >= token_.from && start < token_.end) return token_;
    token_ = {start, start, start};
    for (; token_.end < n_ && !is_whitespace(c_[token_.end]); ++token_.end) {
      if (is_alphanumeric(c_[token_.end])) token_.alnum_end = token_.end + 1;
    }
    return token_;
  }

  bool lowercase_is_common_word(std::size_t start, std::size_t end) {
    lowercase_full(chars(start, end), scratch_.word);
    return is_common_word(scratch_.word);
  }

  // -- next-word test at `last`, the terminator or its last closer --

  bool next_word_starts_sentence(std::size_t last) const {
    const std::size_t k = skip_whitespace(last + 1);
    if (k == n_) return true;
    if (is_uppercase(c_[k])) return true;
    if (is_opener(c_[k]) && k + 1 < n_ && is_uppercase(c_[k + 1])) return true;
    const bool wide_gap = k - last > 2;  // two or more whitespace characters in between
    if (is_ascii_digit(c_[k]) && last > 0) return wide_gap || !is_ascii_digit(c_[last - 1]);
    return wide_gap;
  }

  std::string_view line_;
  std::span<const char32_t> c_;
  std::span<const std::size_t> off_;
  std::size_t n_;
  Scratch& scratch_;
  bool rescan_;

  std::size_t buf_begin_ = 0;
  std::size_t buf_end_ = 0;
  // Incremental state so that repeated rule checks on one long buffer stay linear overall.
  std::size_t quote_scan_ = 0;
  std::size_t single_quotes_ = 0;
  std::size_t double_quotes_ = 0;
  std::size_t url_scan_ = 0;
  bool url_found_ = false;
  WordFacts word_;
  Token token_;
};

// ---------------------------------------------------------------------------------------------
// Lines

// The sentences are found again in the untrimmed line, each search starting where the previous
// match ended; every match end but the last sentence's is a boundary.
void record_inner_boundaries(std::string_view line, std::uint64_t line_start,
                             std::span<const Span> sentences, std::vector<std::uint64_t>& out) {
  std::size_t from = 0;
  for (std::size_t k = 0; k + 1 < sentences.size(); ++k) {
    const std::string_view sentence =
        line.substr(sentences[k].begin, sentences[k].end - sentences[k].begin);
    const std::size_t at = line.find(sentence, from);
    if (at == std::string_view::npos) throw InternalError("sentence not found in its own line");
    from = at + sentence.size();
    out.push_back(line_start + from);
  }
}

void split_line(std::string_view line, std::uint64_t line_start, Scratch& scratch, bool rescan,
                std::vector<std::uint64_t>& out) {
  if (line.empty()) return;
  decode_line(line, scratch.line);
  const std::vector<char32_t>& chars = scratch.line.chars;
  std::size_t lo = 0, hi = chars.size();
  while (lo < hi && is_whitespace(chars[lo])) ++lo;
  while (hi > lo && is_whitespace(chars[hi - 1])) --hi;
  if (lo == hi) return;

  scratch.sentences.clear();
  const std::span<const char32_t> trimmed(chars.data() + lo, hi - lo);
  const std::span<const std::size_t> offsets(scratch.line.offsets.data() + lo, hi - lo + 1);
  SentenceWalk(line, trimmed, offsets, scratch, rescan).run();
  record_inner_boundaries(line, line_start, scratch.sentences, out);
}

constexpr std::size_t kCheckpointBytes = std::size_t{1} << 20;

std::vector<std::uint64_t> boundary_offsets(std::string_view text, bool rescan) {
  std::vector<std::uint64_t> out;
  Scratch scratch;
  std::size_t line_start = 0;
  std::size_t unchecked = 0;  // bytes since the last checkpoint
  for (;;) {
    const std::string_view rest = text.substr(line_start);
    const void* lf = rest.empty() ? nullptr : std::memchr(rest.data(), '\n', rest.size());
    const std::size_t line_len =
        lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - rest.data()) : rest.size();
    split_line(rest.substr(0, line_len), line_start, scratch, rescan, out);
    if (line_start + line_len >= text.size()) break;
    out.push_back(line_start + line_len);  // the line feed itself
    line_start += line_len + 1;
    if ((unchecked += line_len + 1) >= kCheckpointBytes) {
      interrupt::checkpoint();
      unchecked = 0;
    }
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace

std::vector<std::uint64_t> sentence_boundary_offsets(std::string_view text) {
  return boundary_offsets(text, false);
}

std::vector<std::uint64_t> detail::sentence_boundary_offsets_rescanning(std::string_view text) {
  return boundary_offsets(text, true);
}

bool is_common_word(std::string_view word) {
  return in_list(kCommonWords, word);
}

bool is_title_abbreviation(std::string_view text) {
  DecodedLine decoded;
  decode_line(text, decoded);
  return title_abbreviation_in(decoded.chars);
}

}  // namespace quarnel::core::sentence_splitter
