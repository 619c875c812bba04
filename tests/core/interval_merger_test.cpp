#include "duplicate_finder/interval_merger.hpp"

#include "test_support.hpp"

namespace im = quarnel::core::interval_merger;

namespace {

PhraseData record(std::string phrase, std::vector<std::uint64_t> starts, std::uint64_t words = 1) {
  return quarnel::test::phrase_record(std::move(phrase), std::move(starts), words);
}

// Which neighbours merge, by their gaps and counts, is the pipeline oracle's fact
// (test_pipeline_matches_the_oracle, on its sentence texts); here what the finder never hands
// over, and the merge cut inside a character, which that oracle leaves open.

PhraseData counted(std::string phrase, std::vector<std::uint64_t> starts, std::uint64_t count) {
  PhraseData r = record(std::move(phrase), std::move(starts));
  r.count = count;
  return r;
}

// Records that merge with none come by count, descending, then by first start. One without
// occurrences (a caller's, never the finder's) leads its count, those keeping their input order;
// counts spanning the whole range (a caller's too) order the same way.
TEST(IntervalMerger, OrderIsCountDescendingThenFirstStart) {
  const std::vector<std::pair<std::vector<PhraseData>, std::vector<std::string>>> cases{
      {{}, {}},
      {{record("aaaa", {50, 100}), record("bbbb", {10, 150}), record("cccc", {30, 60, 90}),
        record("dddd", {5, 70, 120})},
       {"dddd", "cccc", "bbbb", "aaaa"}},
      {{record("aaaa", {50, 100}), counted("eeee", {}, 2), record("bbbb", {10, 150}),
        counted("ffff", {}, 2)},
       {"eeee", "ffff", "bbbb", "aaaa"}},
      {{counted("bbbb", {0, 150}, kMax), counted("cccc", {}, kMax),
        counted("aaaa", {10, 100}, kMax), counted("dddd", {5, 70}, kMax / 2)},  // 2^63 below
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
