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

struct TokenizerCase {
  std::string text;
  Offsets starts;
  Offsets ends;
};

class TokenizerExamples : public ::testing::TestWithParam<TokenizerCase> {};

TEST_P(TokenizerExamples, StartsAndEnds) {
  const auto& c = GetParam();
  EXPECT_EQ(tk::word_starts(c.text), c.starts);
  EXPECT_EQ(tk::word_ends(c.text), c.ends);
}

INSTANTIATE_TEST_SUITE_P(
    Words, TokenizerExamples,
    ::testing::Values(TokenizerCase{"", {}, {}}, TokenizerCase{"Hello, world", {0, 7}, {5, 12}},
                      TokenizerCase{"don't", {0, 4}, {3, 5}},
                      TokenizerCase{"e-mail foo_bar", {0, 2, 7, 11}, {1, 6, 10, 14}},
                      TokenizerCase{"na\xC3\xAFve", {0}, {6}},
                      TokenizerCase{"a\xC2\xA0"
                                    "b",
                                    {0},
                                    {4}},
                      TokenizerCase{" \t.,;!?-_'\"()\n", {}, {}}, TokenizerCase{"x", {0}, {1}},
                      TokenizerCase{"2024 rev3", {0, 5}, {4, 9}},
                      TokenizerCase{" lead trail ", {1, 6}, {5, 11}},
                      TokenizerCase{"\x7F"
                                    "a\x1F"
                                    "b",
                                    {1, 3},
                                    {2, 4}}));

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

TEST(Tokenizer, MatchesRunsOfWordBytesOnRandomBytes) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::string text(rng() % 40, '\0');
    for (auto& c : text) c = static_cast<char>(rng() % 256);
    const auto [starts, ends] = runs_of_word_bytes(text);
    EXPECT_EQ(tk::word_starts(text), starts) << round;
    EXPECT_EQ(tk::word_ends(text), ends) << round;
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
