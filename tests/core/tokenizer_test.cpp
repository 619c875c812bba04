#include "text/tokenizer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <string>
#include <vector>

namespace tk = quarnel::core::tokenizer;

namespace {

using Offsets = std::vector<std::uint64_t>;

// Direct definition: word k is the k-th maximal run of word bytes.
std::pair<Offsets, Offsets> runs_of_word_bytes(const std::string& text) {
  Offsets starts, ends;
  std::size_t i = 0;
  while (i < text.size()) {
    if (!tk::is_word_byte(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    starts.push_back(i);
    while (i < text.size() && tk::is_word_byte(static_cast<unsigned char>(text[i]))) ++i;
    ends.push_back(i);
  }
  return {starts, ends};
}

// Every byte value, half of them non-ASCII: empty texts, words at either end, punctuation and
// control bytes between them; texts across several 64-byte blocks, some of one word or of none.
TEST(Tokenizer, MatchesRunsOfWordBytesOnRandomBytes) {
  std::mt19937 rng(7);
  for (int round = 0; round < 600; ++round) {
    std::string text(rng() % 200, '\0');
    const unsigned mode = rng() % 3;  // any byte, mostly words, mostly gaps
    for (auto& c : text) {
      c = static_cast<char>(mode == 0        ? rng() % 256
                            : rng() % 8 != 0 ? (mode == 1 ? 'a' : ' ')
                                             : rng() % 256);
    }
    const auto [starts, ends] = runs_of_word_bytes(text);
    EXPECT_EQ(tk::word_starts(text), starts) << round;
    EXPECT_EQ(tk::word_ends(text), ends) << round;
    EXPECT_EQ(tk::count_words(text), starts.size()) << round;
    for (std::size_t p = 0; p < text.size(); ++p) {
      const bool listed = std::binary_search(starts.begin(), starts.end(), p);
      EXPECT_EQ(tk::starts_word_at(text, p), listed) << round << " at " << p;
    }
  }
}

TEST(Tokenizer, WordBytesAreAsciiAlphanumericsAndAllNonAscii) {
  for (int b = 0; b < 256; ++b) {
    const bool expected = std::isalnum(b) != 0 && b < 0x80;
    EXPECT_EQ(tk::is_word_byte(static_cast<unsigned char>(b)), expected || b >= 0x80) << b;
  }
}

}  // namespace
