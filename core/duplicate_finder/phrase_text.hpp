#pragma once
// Phrase text: the whitespace normalisation of a phrase (every run of Unicode white space one
// space, none at either end) and word counts of normalised phrases.
// Time: linear in the bytes read; memory: a copy of the output only once it differs from the
// text read.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"
#include "text/white_space.hpp"

namespace quarnel::core::duplicate_finder {

// The normalised form of the text read from one start position. Normalisation is a streaming
// transformation, so the phrase of every word window at that start is a prefix of one output
// (less a trailing space): each position's text is normalised once, however many windows it
// has. As long as the output equals the text read (single spaces between other characters, the
// common case) it is not copied at all; the copy starts at the first white space that changes.
class NormalizedStream {
 public:
  void reset(std::string_view text, std::uint64_t start) {
    text_ = text;
    start_ = start;
    raw_length_ = 0;
    after_space_ = true;
    altered_ = false;
    buffer_.clear();
  }

  // Reads on to raw length `raw_length`, which must end on a character boundary.
  void extend_to(std::uint64_t raw_length) {
    const std::size_t stop = start_ + raw_length;
    std::size_t at = start_ + raw_length_;
    while (at < stop) {
      const std::size_t space = white_space::white_space_length_at(text_, at);
      if (space != 0) {
        read_white_space(at, space);
        at += space;
        continue;
      }
      // The run of bytes that cannot begin white space is taken in one go.
      std::size_t run_end = at + 1;
      while (run_end < stop &&
             !white_space::may_begin_white_space(static_cast<unsigned char>(text_[run_end]))) {
        ++run_end;
      }
      if (altered_) buffer_.append(text_.data() + at, run_end - at);
      after_space_ = false;
      at = run_end;
    }
    raw_length_ = at - start_;
  }

  [[nodiscard]] std::string_view phrase() const {
    std::string_view out = altered_ ? std::string_view(buffer_) : text_.substr(start_, raw_length_);
    if (!out.empty() && out.back() == ' ') out.remove_suffix(1);
    return out;
  }

 private:
  void read_white_space(std::size_t at, std::size_t length) {
    const bool kept_as_is = !after_space_ && length == 1 && text_[at] == ' ';
    if (!kept_as_is && !altered_) {
      // The output so far is the text so far; from here on it is built separately.
      buffer_.assign(text_.data() + start_, at - start_);
      altered_ = true;
    }
    if (altered_ && !after_space_) buffer_.push_back(' ');
    after_space_ = true;
  }

  std::string_view text_;
  std::uint64_t start_ = 0;
  std::uint64_t raw_length_ = 0;
  bool after_space_ = true;
  bool altered_ = false;  // the output differs from the text read; it is in buffer_
  std::string buffer_;
};

// Candidate phrases are normalised: their words are separated by single spaces, with none at
// either end, so counting words is counting spaces.
inline std::uint64_t word_count(std::string_view phrase) {
  return phrase.empty()
             ? 0
             : 1 + static_cast<std::uint64_t>(std::count(phrase.begin(), phrase.end(), ' '));
}

// Whether a normalised phrase has at least `needed` words; looks only as far as that word.
inline bool has_words(std::string_view phrase, std::uint64_t needed) {
  if (needed == 0) return true;
  if (phrase.empty()) return false;
  std::size_t at = 0;
  for (std::uint64_t words = 1; words < needed; ++words) {
    at = phrase.find(' ', at);
    if (at == std::string_view::npos) return false;
    ++at;
  }
  return true;
}

// The normalised form of a whole phrase.
[[nodiscard]] inline std::string normalize_phrase(std::string_view raw) {
  NormalizedStream stream;
  stream.reset(raw, 0);
  stream.extend_to(raw.size());
  return std::string(stream.phrase());
}

}  // namespace quarnel::core::duplicate_finder
