#pragma once
// The sentence walk: one trimmed line read character by character, each terminator deciding by
// the rules (in order, the first that applies decides) whether the sentence ends after it.
//
// `Lookups` says how a rule finds the word that ends at a period and the token that starts at a
// position: the splitter carries what earlier periods found, so a long token of many periods
// costs one pass (sentence_splitter.cpp); the tests' reference looks at each afresh.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "text/sentence_words.hpp"

namespace quarnel::core::sentence_splitter::detail {

// The run of non-white-space characters that a position lies in.
struct Token {
  std::size_t from = 0;
  std::size_t end = 0;        // the white space after it, or the line end
  std::size_t alnum_end = 0;  // one past its last alphanumeric character (`from` if none)
};

template <class Lookups>
class SentenceWalk {
 public:
  // c: characters of the trimmed line; offsets: n + 1 byte offsets of those characters relative
  // to the untrimmed line `line`.
  SentenceWalk(std::string_view line, std::span<const char32_t> c,
               std::span<const std::size_t> offsets, Scratch& scratch)
      : line_(line), c_(c), off_(offsets), n_(c.size()), scratch_(scratch) {}

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
    Lookups::start_word(c_, buf_begin_, end, word_);
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
  const Token& token_starting_at(std::size_t start) {
    if (Lookups::keeps(token_, start)) return token_;
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

// The sentences are found again in the untrimmed line, each search starting where the previous
// match ended; every match end but the last sentence's is a boundary.
inline void record_inner_boundaries(std::string_view line, std::uint64_t line_start,
                                    std::span<const Span> sentences,
                                    std::vector<std::uint64_t>& out) {
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

template <class Lookups>
void split_line(std::string_view line, std::uint64_t line_start, Scratch& scratch,
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
  SentenceWalk<Lookups>(line, trimmed, offsets, scratch).run();
  record_inner_boundaries(line, line_start, scratch.sentences, out);
}

inline constexpr std::size_t kCheckpointBytes = std::size_t{1} << 20;

// The boundaries of `text`: every line feed, and the inner sentence ends of each line.
template <class Lookups>
std::vector<std::uint64_t> boundary_offsets(std::string_view text) {
  std::vector<std::uint64_t> out;
  Scratch scratch;
  std::size_t line_start = 0;
  std::size_t unchecked = 0;  // bytes since the last checkpoint
  for (;;) {
    const std::string_view rest = text.substr(line_start);
    const void* lf = rest.empty() ? nullptr : std::memchr(rest.data(), '\n', rest.size());
    const std::size_t line_len =
        lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - rest.data()) : rest.size();
    split_line<Lookups>(rest.substr(0, line_len), line_start, scratch, out);
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

}  // namespace quarnel::core::sentence_splitter::detail
