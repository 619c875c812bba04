#include "text/sentence_splitter.hpp"

#include <algorithm>
#include <span>

#include "text/sentence_walk.hpp"

namespace quarnel::core::sentence_splitter {

namespace {

using namespace detail;

// The walk's lookups, carried from period to period: white space after what the word facts
// folded in starts a new word, and without any, a buffer that now starts inside the word cuts
// it; a token is scanned once however many periods ask about it.
struct CarriedLookups {
  static void start_word(std::span<const char32_t> c, std::size_t buf_begin, std::size_t end,
                         WordFacts& word) {
    const std::size_t from = std::max(word.scanned, buf_begin);
    std::size_t k = end;
    while (k > from && !is_whitespace(c[k - 1])) --k;
    if (k > from) {
      word.reset(k);
    } else if (word.begin < buf_begin) {
      word.reset(buf_begin);
    }
  }
  static bool keeps(const Token& token, std::size_t start) {
    return start >= token.from && start < token.end;
  }
};

}  // namespace

std::vector<std::uint64_t> sentence_boundary_offsets(std::string_view text) {
  return boundary_offsets<CarriedLookups>(text);
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
