#include "duplicate_finder/interval_merger.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace im = quarnel::core::interval_merger;
using quarnel::core::phrase_records::PhraseData;

namespace {

PhraseData record(std::string phrase, std::vector<std::uint64_t> starts) {
  return quarnel::test::phrase_record(std::move(phrase), std::move(starts), 1);
}

TEST(IntervalMerger, SentencesSplitByABoundaryMergeIntoOne) {
  const std::string text =
      "Alpha beta gamma delta. Epsilon zeta eta theta. Alpha beta gamma delta. Epsilon zeta eta "
      "theta.";
  ASSERT_EQ(text.size(), 95U);
  const auto merged = im::merge_adjacent_phrases(
      {record("Epsilon zeta eta theta", {24, 72}), record("Alpha beta gamma delta", {0, 48})},
      text);
  ASSERT_EQ(merged.size(), 1U);
  EXPECT_EQ(merged[0].phrase, "Alpha beta gamma delta. Epsilon zeta eta theta");
  EXPECT_EQ(merged[0].starts, (std::vector<std::uint64_t>{0, 48}));
  EXPECT_EQ(merged[0].ends, (std::vector<std::uint64_t>{46, 94}));
  EXPECT_EQ(merged[0].count, 2U);
  EXPECT_EQ(merged[0].string_length, 46U);
  EXPECT_EQ(merged[0].number_of_words, 8U);
}

struct GapCase {
  std::uint64_t first_gap;
  std::uint64_t second_gap;
  bool merges;
};

class GapBetweenOccurrences : public ::testing::TestWithParam<GapCase> {};

// "left" is followed by "right" with the given gaps (filled with '-') at its two occurrences.
TEST_P(GapBetweenOccurrences, MergeOnlyWhenEveryGapIsAtMostTwo) {
  const GapCase& c = GetParam();
  const std::string text = "left" + std::string(c.first_gap, '-') + "right | left" +
                           std::string(c.second_gap, '-') + "right";
  const std::uint64_t second_left = text.find("left", 1);
  const auto merged = im::merge_adjacent_phrases(
      {record("left", {0, second_left}),
       record("right", {4 + c.first_gap, second_left + 4 + c.second_gap})},
      text);
  if (c.merges) {
    ASSERT_EQ(merged.size(), 1U);
    EXPECT_EQ(merged[0].phrase, "left" + std::string(c.first_gap, '-') + "right");
    EXPECT_EQ(merged[0].ends[1], text.size());
  } else {
    ASSERT_EQ(merged.size(), 2U);
    EXPECT_EQ(merged[0].phrase, "left");
    EXPECT_EQ(merged[1].phrase, "right");
  }
}

INSTANTIATE_TEST_SUITE_P(Gaps, GapBetweenOccurrences,
                         ::testing::Values(GapCase{0, 0, true}, GapCase{1, 1, true},
                                           GapCase{2, 2, true}, GapCase{0, 2, true},
                                           GapCase{3, 3, false}, GapCase{2, 3, false},
                                           GapCase{3, 0, false}));

TEST(IntervalMerger, DifferentCountsDoNotMerge) {
  const std::string text = "left right, left right, right";
  const auto merged =
      im::merge_adjacent_phrases({record("left", {0, 12}), record("right", {5, 17, 24})}, text);
  ASSERT_EQ(merged.size(), 2U);
  EXPECT_EQ(merged[0].phrase, "right");  // higher count first
  EXPECT_EQ(merged[1].phrase, "left");
}

TEST(IntervalMerger, OverlappingOccurrencesNeverMerge) {
  const std::string text = "abcdef abcdef";
  const auto merged =
      im::merge_adjacent_phrases({record("abcd", {0, 7}), record("cdef", {2, 9})}, text);
  EXPECT_EQ(merged.size(), 2U);
}

TEST(IntervalMerger, ChainsMergeIntoTheFirstRecord) {
  const std::string text = "one, two; three. | one, two; three.";
  const auto merged = im::merge_adjacent_phrases(
      {record("three", {10, 29}), record("one", {0, 19}), record("two", {5, 24})}, text);
  ASSERT_EQ(merged.size(), 1U);
  EXPECT_EQ(merged[0].phrase, "one, two; three");
  EXPECT_EQ(merged[0].starts, (std::vector<std::uint64_t>{0, 19}));
  EXPECT_EQ(merged[0].ends, (std::vector<std::uint64_t>{15, 34}));
  EXPECT_EQ(merged[0].number_of_words, 3U);
}

PhraseData counted(std::string phrase, std::vector<std::uint64_t> starts, std::uint64_t count) {
  PhraseData r = record(std::move(phrase), std::move(starts));
  r.count = count;
  return r;
}

// Records that merge with none come by count, descending, then by first start. One without
// occurrences (a caller's, never the finder's) leads its count, those keeping their input order;
// counts spanning the whole range (a caller's too) order the same way.
TEST(IntervalMerger, OrderIsCountDescendingThenFirstStart) {
  constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
  const std::vector<std::pair<std::vector<PhraseData>, std::vector<std::string>>> cases{
      {{}, {}},
      {{record("aaaa", {50, 100}), record("bbbb", {10, 150}), record("cccc", {30, 60, 90}),
        record("dddd", {5, 70, 120})},
       {"dddd", "cccc", "bbbb", "aaaa"}},
      {{record("aaaa", {50, 100}), counted("eeee", {}, 2), record("bbbb", {10, 150}),
        counted("ffff", {}, 2)},
       {"eeee", "ffff", "bbbb", "aaaa"}},
      {{counted("bbbb", {0, 150}, kTop), counted("cccc", {}, kTop),
        counted("aaaa", {10, 100}, kTop), counted("dddd", {5, 70}, kTop / 2)},  // 2^63 below
       {"cccc", "bbbb", "aaaa", "dddd"}}};
  for (const auto& [records, order] : cases) {
    std::vector<std::string> got;
    for (const auto& r : im::merge_adjacent_phrases(records, std::string(200, 'x'))) {
      got.push_back(r.phrase);
    }
    EXPECT_EQ(got, order);
  }
}

// After white-space collapsing a computed end can land inside a multi-byte character; the merged
// phrase then runs on to the character's end, and white space at its edges is trimmed.
TEST(IntervalMerger, MergedTextEndsOnACharacterBoundaryAndIsTrimmed) {
  const std::string text = "ab. cd\xC3\xA9\xC2\xA0 | ab. cd\xC3\xA9\xC2\xA0";
  PhraseData left = record("ab", {0, 13});
  PhraseData right = record("cd", {4, 17});
  right.ends = {7, 20};  // inside the two-byte U+00E9
  const auto merged = im::merge_adjacent_phrases({left, right}, text);
  ASSERT_EQ(merged.size(), 1U);
  EXPECT_EQ(merged[0].phrase, "ab. cd\xC3\xA9");
  EXPECT_EQ(merged[0].ends, (std::vector<std::uint64_t>{7, 20}));

  right.ends = {10, 23};  // covers the no-break space after U+00E9
  const auto trimmed = im::merge_adjacent_phrases({left, right}, text);
  ASSERT_EQ(trimmed.size(), 1U);
  EXPECT_EQ(trimmed[0].phrase, "ab. cd\xC3\xA9");
  EXPECT_EQ(trimmed[0].number_of_words, 2U);
}

}  // namespace
