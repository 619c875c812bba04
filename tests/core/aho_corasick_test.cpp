#include "base/aho_corasick.hpp"

#include "test_support.hpp"

namespace ac = quarnel::core::aho_corasick;

namespace {

std::vector<ac::Match> naive_matches(const std::vector<std::string>& patterns,
                                     std::string_view text) {
  std::vector<ac::Match> out;
  for (std::size_t id = 0; id < patterns.size(); ++id) {
    const std::string& p = patterns[id];
    for (std::size_t end = p.size(); end <= text.size(); ++end) {
      if (text.substr(end - p.size(), p.size()) == p) {
        out.push_back({static_cast<ac::PatternId>(id), end});
      }
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<ac::Match> automaton_matches(const std::vector<std::string>& patterns,
                                         std::string_view text) {
  const std::vector<std::string_view> views(patterns.begin(), patterns.end());
  const ac::Automaton automaton(views);
  auto found = automaton.find_all(text);
  std::sort(found.begin(), found.end());
  return found;
}

std::string random_string(std::mt19937& rng, std::size_t max_len, std::string_view alphabet) {
  std::string s(rng() % (max_len + 1), ' ');
  for (auto& c : s) c = alphabet[rng() % alphabet.size()];
  return s;
}

// Alphabet, most patterns, longest pattern, longest text.
using RandomShape = std::tuple<std::string, std::size_t, std::size_t, std::size_t>;
class AhoCorasickVersusNaive : public ::testing::TestWithParam<RandomShape> {};

// Small alphabets force overlaps, nested matches, shared prefixes and suffixes, and duplicates.
TEST_P(AhoCorasickVersusNaive, ReportsEveryOccurrence) {
  const auto& [alphabet, most, longest_pattern, longest_text] = GetParam();
  std::mt19937 rng(1234);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::string> patterns;
    if (round % 50 == 0) patterns.emplace_back();  // matches at every position
    for (std::size_t i = 0; i < 1 + rng() % most; ++i) {
      std::string p = random_string(rng, longest_pattern, alphabet);
      patterns.push_back(p.empty() ? alphabet.substr(0, 1) : p);
    }
    const std::string text = round % 100 == 0 ? "" : random_string(rng, longest_text, alphabet);
    ASSERT_EQ(automaton_matches(patterns, text), naive_matches(patterns, text)) << round;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Alphabets, AhoCorasickVersusNaive,
    ::testing::Values(RandomShape{"ab", 8, 5, 40}, RandomShape{"abc", 20, 7, 60},
                      RandomShape{"a", 6, 6, 20}, RandomShape{"abcdefghijklmnop", 60, 4, 200},
                      RandomShape{std::string("\x00\xff\x80 ", 4), 10, 4, 50}));

// A state with many children is searched by bisection rather than a linear scan. Every pattern
// of a run of 'a's is a suffix of the next, so each ends at every later position: outputs
// reached through dictionary links, longest first at each end. The states are the shared
// prefixes plus the root, the root alone without patterns; more than the limit allows are an
// internal error.
TEST(AhoCorasick, WideStatesNestedSuffixesAndStateCounts) {
  std::vector<std::string> wide;
  std::string text;
  for (int c = 0; c < 256; ++c) wide.push_back(std::string("x") + static_cast<char>(c));
  for (int c = 255; c >= 0; --c) text += std::string("x") + static_cast<char>(c);
  EXPECT_EQ(automaton_matches(wide, text), naive_matches(wide, text));

  std::vector<std::string> nested;
  for (std::size_t len = 1; len <= 50; ++len) nested.push_back(std::string(len, 'a'));
  const std::vector<std::string_view> views(nested.begin(), nested.end());
  const ac::Automaton runs(views);
  EXPECT_EQ(runs.state_count(), 51U);
  std::vector<ac::Match> expected;
  for (std::uint64_t end = 1; end <= 60; ++end) {
    for (std::uint64_t len = std::min<std::uint64_t>(end, 50); len >= 1; --len) {
      expected.push_back({static_cast<ac::PatternId>(len - 1), end});
    }
  }
  EXPECT_EQ(runs.find_all(std::string(60, 'a')), expected);

  const ac::Automaton none(std::span<const std::string_view>{});
  EXPECT_TRUE(none.find_all("anything").empty());
  EXPECT_EQ(none.state_count(), 1U);
  const std::vector<std::string_view> patterns{"abcd", "abce", "abx", "abcd", "q"};
  const ac::Automaton automaton(patterns);
  EXPECT_EQ(automaton.state_count(), 8U);  // root, a, ab, abc, abcd, abce, abx, q
  EXPECT_EQ(automaton.pattern_count(), 5U);
  EXPECT_EQ(automaton.find_all("abcd"), (std::vector<ac::Match>{{0, 4}, {3, 4}}));
  const std::vector<std::string_view> eleven_states{"abcdef", "ghij"};
  EXPECT_NO_THROW(ac::Automaton(eleven_states, 11));
  try {
    const ac::Automaton too_many(eleven_states, 10);
    FAIL() << "expected InternalError";
  } catch (const quarnel::core::InternalError& e) {
    EXPECT_STREQ(e.what(), "Failed to build Aho-Corasick automaton");
  }
}

}  // namespace
