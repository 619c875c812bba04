#include "text/normalize.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/errors.hpp"

namespace nz = quarnel::core::normalize;
using nz::CumulativeDelta;
using nz::RemovedRange;

namespace {

bool is_collapsible(char c) {
  return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

// Whitespace runs found independently of the implementation's scan: leading run gone, inner runs
// one space, trailing run gone.
std::string collapse_oracle(const std::string& s) {
  std::string out;
  bool pending_space = false;
  for (char c : s) {
    if (is_collapsible(c)) {
      pending_space = !out.empty();
    } else {
      if (pending_space) out.push_back(' ');
      pending_space = false;
      out.push_back(c);
    }
  }
  return out;
}

std::string random_text(std::mt19937& rng, std::size_t max_len) {
  static const std::vector<std::string> pieces = {"a",
                                                  "B",
                                                  "Z",
                                                  "@",
                                                  "[",
                                                  "`",
                                                  "{",
                                                  " ",
                                                  " ",
                                                  "\t",
                                                  "\n",
                                                  "\r\n",
                                                  "\f",
                                                  "\v",
                                                  "\xC3\x84",
                                                  "\xC2\xA0",
                                                  "\xE2\x80\x83",
                                                  "\xF0\x9F\x98\x80"};
  std::uniform_int_distribution<std::size_t> len(0, max_len);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::string s;
  for (std::size_t n = len(rng); s.size() < n;) s += pieces[pick(rng)];
  return s;
}

struct Example {
  const char* name;
  std::string source;
  bool lower;
  bool collapse;
  std::string text;
  std::vector<RemovedRange> ranges;
  std::vector<CumulativeDelta> deltas;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> mapped;  // normalised -> source offset
};

class NormalizeExample : public ::testing::TestWithParam<Example> {};

TEST_P(NormalizeExample, GivesDocumentedResult) {
  const Example& ex = GetParam();
  const nz::NormalizedText r = nz::normalize_text(ex.source, ex.lower, ex.collapse);
  EXPECT_EQ(r.text, ex.text);
  EXPECT_EQ(r.removed_ranges, ex.ranges);
  EXPECT_EQ(r.deltas, ex.deltas);
  EXPECT_EQ(r.lowercased, ex.lower);
  for (auto [x, expected] : ex.mapped) EXPECT_EQ(nz::map_to_source(r.deltas, x), expected) << x;
}

INSTANTIATE_TEST_SUITE_P(
    Documented, NormalizeExample,
    ::testing::Values(
        Example{"empty_plain", "", false, false, "", {}, {}, {{0, 0}}},
        Example{"all_space", "   ", false, true, "", {{0, 3}}, {{0, 3}}, {{0, 3}}},
        Example{"inner_run", "a \t b", false, true, "a b", {{2, 4}}, {{2, 2}}, {{2, 4}, {3, 5}}},
        Example{"trailing_run",
                "ab \n",
                false,
                true,
                "ab",
                {{3, 4}, {2, 3}},
                {{2, 1}, {2, 2}},
                {{2, 4}}},
        Example{"crlf_runs",
                "x \r\n\r\n y z ",
                false,
                true,
                "x y z",
                {{2, 7}, {10, 11}},
                {{2, 5}, {5, 6}},
                {{2, 7}, {5, 11}}},
        Example{"worked",
                "  Hello,\t\n world  ",
                false,
                true,
                "Hello, world",
                {{0, 2}, {9, 11}, {17, 18}, {16, 17}},
                {{0, 2}, {7, 4}, {12, 5}, {12, 6}},
                {{0, 2}, {6, 8}, {7, 11}, {12, 18}}},
        Example{"lower_non_ascii",
                "\xC3\x84"
                "BC x",
                true,
                false,
                "\xC3\x84"
                "bc x",
                {},
                {},
                {{3, 3}}},
        Example{"lower_and_collapse",
                "A  B\t",
                true,
                true,
                "a b",
                {{2, 3}, {4, 5}},
                {{2, 1}, {3, 2}},
                {{2, 3}, {3, 5}}},
        Example{"vt_and_nbsp_kept",
                "a\v\xC2\xA0  b",
                false,
                true,
                "a\v\xC2\xA0 b",
                {{5, 6}},
                {{5, 1}},
                {{5, 6}}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(BuildCumulativeDeltas, IndependentOfInputOrderForDisjointRanges) {
  const std::vector<RemovedRange> a{{16, 17}, {9, 11}}, b{{9, 11}, {16, 17}};
  EXPECT_EQ(nz::build_cumulative_deltas(a), nz::build_cumulative_deltas(b));
  EXPECT_EQ(nz::build_cumulative_deltas(a), (std::vector<CumulativeDelta>{{9, 2}, {14, 3}}));
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

// Random texts: collapsing matches the oracle, is idempotent, keeps the length invariant, and
// every offset maps back to the byte it came from.
TEST(CollapseWhitespace, PropertiesOnRandomTexts) {
  std::mt19937 rng(42);
  for (int round = 0; round < 2000; ++round) {
    const std::string src = random_text(rng, 40);
    const bool lower = round % 2 == 1;
    const nz::NormalizedText r = nz::normalize_text(src, lower, true);
    std::string prepared = src;
    if (lower) nz::ascii_lowercase_in_place(prepared);
    ASSERT_EQ(r.text, collapse_oracle(prepared)) << src;
    EXPECT_EQ(nz::collapse_whitespace(r.text).text, r.text);

    std::uint64_t removed = 0;
    for (const RemovedRange& rr : r.removed_ranges) removed += rr.end - rr.start;
    EXPECT_EQ(r.text.size() + removed, src.size());
    EXPECT_EQ(r.deltas, nz::build_cumulative_deltas(r.removed_ranges));

    for (std::uint64_t x = 0; x < r.text.size(); ++x) {
      const std::uint64_t y = nz::map_to_source(r.deltas, x);
      ASSERT_LT(y, src.size());
      if (r.text[x] == ' ') {  // a collapsed run: the first byte of that run
        EXPECT_TRUE(is_collapsible(src[y])) << src << " @" << x;
        EXPECT_TRUE(y > 0 && !is_collapsible(src[y - 1])) << src << " @" << x;
      } else {
        EXPECT_EQ(prepared[y], r.text[x]) << src << " @" << x;
      }
    }
    EXPECT_EQ(nz::map_to_source(r.deltas, r.text.size()), src.size());
  }
}

TEST(NormalizeText, LowercaseOnlyKeepsOffsets) {
  const nz::NormalizedText r = nz::normalize_text("  MiXeD\tCase  ", true, false);
  EXPECT_EQ(r.text, "  mixed\tcase  ");
  EXPECT_TRUE(r.deltas.empty());
  for (std::uint64_t x = 0; x <= r.text.size(); ++x) EXPECT_EQ(nz::map_to_source(r.deltas, x), x);
}

TEST(CollapseWhitespace, RejectsInvalidUtf8AsInternalError) {
  EXPECT_THROW((void)nz::collapse_whitespace("ok \xC3"), quarnel::core::InternalError);
  EXPECT_THROW((void)nz::collapse_whitespace("\xED\xA0\x80"), quarnel::core::InternalError);
  EXPECT_NO_THROW((void)nz::collapse_whitespace("\xF0\x9F\x98\x80 \xE2\x82\xAC"));
}

TEST(SanitizeRanges, WellFormedRangesAreOnlySortedStably) {
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
}

TEST(SanitizeRanges, ClampsReversedAndMergesOverlapping) {
  const std::vector<RemovedRange> in{{10, 3}, {2, 6}, {4, 5}, {5, 9}, {20, 22}, {20, 21}};
  const std::vector<RemovedRange> want{{2, 9}, {10, 10}, {20, 22}};
  EXPECT_EQ(nz::sanitize_ranges(in), want);
}

// Any pairs, malformed or not: the table is ordered, never wraps, and mapping equals picking the
// x-th byte that no (clamped) range covers.
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
}

TEST(BuildCumulativeDeltas, ExtremeValuesDoNotWrap) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::vector<RemovedRange> ranges{{kMax, 0}, {kMax - 1, kMax}, {0, kMax}, {5, 2}};
  const std::vector<CumulativeDelta> deltas = nz::build_cumulative_deltas(ranges);
  // The empty range at kMax touches, not overlaps, the merged range, so it stays separate.
  EXPECT_EQ(deltas, (std::vector<CumulativeDelta>{{0, kMax}, {0, kMax}}));
  EXPECT_EQ(nz::map_to_source(deltas, 0), kMax);
}

}  // namespace
