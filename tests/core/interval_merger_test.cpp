#include "duplicate_finder/interval_merger.hpp"

#include "test_support.hpp"

namespace im = quarnel::core::interval_merger;

namespace {

PhraseData record(std::string phrase, std::vector<std::uint64_t> starts, std::uint64_t words = 1) {
  return quarnel::test::phrase_record(std::move(phrase), std::move(starts), words);
}

// Sentences split by a boundary merge into one record, and chains into the first of them.
TEST(IntervalMerger, AdjacentPhrasesMergeIntoOneRecord) {
  const std::string sentences = "Alpha beta gamma delta. Epsilon zeta eta theta.";
  EXPECT_EQ(im::merge_adjacent_phrases({record("Epsilon zeta eta theta", {24, 72}),
                                        record("Alpha beta gamma delta", {0, 48})},
                                       sentences + " " + sentences),
            std::vector{record("Alpha beta gamma delta. Epsilon zeta eta theta", {0, 48}, 8)});
  EXPECT_EQ(im::merge_adjacent_phrases(
                {record("three", {10, 29}), record("one", {0, 19}), record("two", {5, 24})},
                "one, two; three. | one, two; three."),
            std::vector{record("one, two; three", {0, 19}, 3)});
}

// "left" is followed by "right" with the given gaps (filled with '-') at its two occurrences:
// they merge only when every gap is at most two bytes.
TEST(IntervalMerger, MergeOnlyWhenEveryGapIsAtMostTwo) {
  for (const auto& [first_gap, second_gap] :
       {std::pair{0U, 0U}, {1U, 1U}, {2U, 2U}, {0U, 2U}, {3U, 3U}, {2U, 3U}, {3U, 0U}}) {
    const std::string text = "left" + std::string(first_gap, '-') + "right | left" +
                             std::string(second_gap, '-') + "right";
    const std::uint64_t second_left = text.find("left", 1);
    const auto merged =
        im::merge_adjacent_phrases({record("left", {0, second_left}),
                                    record("right", {4 + first_gap, second_left + 4 + second_gap})},
                                   text);
    std::vector<std::string> phrases;
    for (const auto& r : merged) phrases.push_back(r.phrase);
    if (std::max(first_gap, second_gap) <= 2) {
      EXPECT_EQ(phrases, std::vector{"left" + std::string(first_gap, '-') + "right"});
      EXPECT_EQ(merged[0].ends[1], text.size());
    } else {
      EXPECT_EQ(phrases, (std::vector<std::string>{"left", "right"}));
    }
  }
}

// Different counts do not merge (the higher count comes first); overlapping occurrences never do.
TEST(IntervalMerger, DifferentCountsOrOverlapsDoNotMerge) {
  const auto merged = im::merge_adjacent_phrases(
      {record("left", {0, 12}), record("right", {5, 17, 24})}, "left right, left right, right");
  ASSERT_EQ(merged.size(), 2U);
  EXPECT_EQ(merged[0].phrase + " " + merged[1].phrase, "right left");
  EXPECT_EQ(
      im::merge_adjacent_phrases({record("abcd", {0, 7}), record("cdef", {2, 9})}, "abcdef abcdef")
          .size(),
      2U);
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
