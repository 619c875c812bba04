#include "text/normalize.hpp"

#include "test_support.hpp"

namespace nz = quarnel::core::normalize;
using nz::CumulativeDelta;
using nz::RemovedRange;

namespace {

using quarnel::test::prepare;

std::string random_text(std::mt19937& rng, std::size_t max_len) {
  static const std::vector<std::string> pieces = [] {
    std::vector<std::string> out{"\r\n", "\xC3\x84", "\xC2\xA0", "\xE2\x80\x83",
                                 "\xF0\x9F\x98\x80"};
    for (const char c : std::string_view("aBZ@[`{  \t\n\f\v")) out.emplace_back(1, c);
    return out;
  }();
  std::uniform_int_distribution<std::size_t> len(0, max_len);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::string s;
  for (std::size_t n = len(rng); s.size() < n;) s += pieces[pick(rng)];
  return s;
}

TEST(AsciiLowercase, MatchesBytewiseOracleAtEveryLengthAndAlignment) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  for (std::size_t len = 0; len < 200; ++len) {
    std::string s(len + 7, '\0');
    for (char& c : s) c = static_cast<char>(byte(rng));
    for (std::size_t shift = 0; shift < 8 && shift <= s.size() - len; shift += 3) {
      std::string got = s;
      nz::ascii_lowercase_in_place(std::span<char>(got.data() + shift, len));
      std::string want = s;
      for (std::size_t k = shift; k < shift + len; ++k) {
        if (want[k] >= 'A' && want[k] <= 'Z') want[k] = static_cast<char>(want[k] + 32);
      }
      ASSERT_EQ(got, want) << "len " << len << " shift " << shift;
    }
  }
}

// Random texts, with and without each step: the text is the oracle's, collapsing again changes
// nothing, the delta table is the one built from the removed ranges, and every offset maps back
// to the source byte the oracle took it from (the end to the source's end).
TEST(NormalizeText, MatchesTheOracleAndMapsEveryOffsetBack) {
  std::mt19937 rng(42);
  for (int round = 0; round < 4000; ++round) {
    const std::string src = random_text(rng, 40);
    const bool lower = round % 2 == 1, collapse = round % 4 >= 2;
    const nz::NormalizedText r = nz::normalize_text(src, lower, collapse);
    const auto want = prepare(src, lower, collapse);
    ASSERT_EQ(r.text, want.text) << src;
    EXPECT_EQ(r.lowercased, lower);
    EXPECT_EQ(nz::collapse_whitespace(r.text).text, prepare(r.text, false, true).text);
    std::uint64_t removed = 0;
    for (const RemovedRange& rr : r.removed_ranges) removed += rr.end - rr.start;
    EXPECT_EQ(r.text.size() + removed, src.size());
    EXPECT_EQ(r.deltas, nz::build_cumulative_deltas(r.removed_ranges));
    for (std::uint64_t x = 0; x < r.text.size(); ++x) {
      ASSERT_EQ(nz::map_to_source(r.deltas, x), want.origin[x]) << src << " @" << x;
    }
    EXPECT_EQ(nz::map_to_source(r.deltas, r.text.size()), src.size());
  }
}

TEST(CollapseWhitespace, RejectsInvalidUtf8AsInternalError) {
  EXPECT_THROW((void)nz::collapse_whitespace("ok \xC3"), quarnel::core::InternalError);
  EXPECT_THROW((void)nz::collapse_whitespace("\xED\xA0\x80"), quarnel::core::InternalError);
  EXPECT_NO_THROW((void)nz::collapse_whitespace("\xF0\x9F\x98\x80 \xE2\x82\xAC"));
}

// Well-formed ranges are only sorted, stably; reversed ones are clamped, overlapping ones merged.
TEST(SanitizeRanges, SortStablyClampAndMerge) {
  const std::vector<RemovedRange> in{{17, 18}, {16, 17}, {4, 4}, {0, 2}, {4, 6}, {9, 11}};
  const std::vector<RemovedRange> want{{0, 2}, {4, 4}, {4, 6}, {9, 11}, {16, 17}, {17, 18}};
  EXPECT_EQ(nz::sanitize_ranges(in), want);

  // Enough equal-start pairs, given in descending start order, that the sort really moves them.
  std::vector<RemovedRange> many, many_want;
  for (std::uint64_t k = 32; k-- > 0;) {
    many.insert(many.end(), {{10 * k, 10 * k}, {10 * k, 10 * k + 3}});
  }
  for (std::uint64_t k = 0; k < 32; ++k) {
    many_want.insert(many_want.end(), {{10 * k, 10 * k}, {10 * k, 10 * k + 3}});
  }
  EXPECT_EQ(nz::sanitize_ranges(many), many_want);
  const std::vector<RemovedRange> bad{{10, 3}, {2, 6}, {4, 5}, {5, 9}, {20, 22}, {20, 21}};
  EXPECT_EQ(nz::sanitize_ranges(bad), (std::vector<RemovedRange>{{2, 9}, {10, 10}, {20, 22}}));
}

// Any pairs, malformed or not: the table is ordered, never wraps (extreme values included), and
// mapping equals picking the x-th byte that no (clamped) range covers.
TEST(BuildCumulativeDeltas, ArbitraryRangesMapLikeKeptByteOracle) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<std::uint64_t> pos(0, 63);
  std::uniform_int_distribution<int> count(0, 8);
  for (int round = 0; round < 3000; ++round) {
    std::vector<RemovedRange> ranges(count(rng));
    for (RemovedRange& r : ranges) r = {pos(rng), pos(rng)};
    const std::vector<CumulativeDelta> deltas = nz::build_cumulative_deltas(ranges);
    for (std::size_t k = 1; k < deltas.size(); ++k) {
      ASSERT_LE(deltas[k - 1].position, deltas[k].position);
      ASSERT_LE(deltas[k - 1].cumulative, deltas[k].cumulative);
    }
    std::vector<std::uint64_t> kept;
    for (std::uint64_t b = 0; b < 128; ++b) {
      const bool removed = std::any_of(ranges.begin(), ranges.end(), [&](const RemovedRange& r) {
        return r.start <= b && b < r.end;
      });
      if (!removed) kept.push_back(b);
    }
    for (std::uint64_t x = 0; x < kept.size(); ++x) {
      ASSERT_EQ(nz::map_to_source(deltas, x), kept[x]) << "round " << round << " x " << x;
    }
  }
  const std::vector<RemovedRange> ranges{{kMax, 0}, {kMax - 1, kMax}, {0, kMax}, {5, 2}};
  const std::vector<CumulativeDelta> deltas = nz::build_cumulative_deltas(ranges);
  // The empty range at kMax touches, not overlaps, the merged range, so it stays separate.
  EXPECT_EQ(deltas, (std::vector<CumulativeDelta>{{0, kMax}, {0, kMax}}));
  EXPECT_EQ(nz::map_to_source(deltas, 0), kMax);
}

}  // namespace
