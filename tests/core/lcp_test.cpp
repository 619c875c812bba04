#include "suffix_array/lcp.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "base/parallel.hpp"
#include "suffix_array/construction.hpp"
#include "test_support.hpp"

using quarnel::core::parallel::Lanes;

namespace sa = quarnel::core::suffix_array;

namespace {

using quarnel::test::sorted_suffixes;

template <class T>
std::vector<std::uint64_t> brute_force_lcp(const std::vector<T>& s,
                                           const std::vector<std::uint64_t>& suffixes) {
  std::vector<std::uint64_t> lcp(s.size(), 0);
  for (std::size_t r = 1; r < suffixes.size(); ++r) {
    auto a = s.begin() + suffixes[r - 1], b = s.begin() + suffixes[r];
    lcp[r] = std::mismatch(a, s.end(), b, s.end()).first - a;
  }
  return lcp;
}

template <class T>
class LcpKasai : public ::testing::Test {};

using ElementTypes = ::testing::Types<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t>;
TYPED_TEST_SUITE(LcpKasai, ElementTypes);

TYPED_TEST(LcpKasai, MatchesBruteForceWithWideAndNarrowSuffixArrays) {
  std::mt19937_64 rng(31);
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<TypeParam> s(rng() % 80);
    const unsigned sigma = 1 + rng() % 3;
    // Values near the top of the type's range check that elements compare unsigned.
    for (auto& c : s)
      c = (rng() & 1) ? rng() % sigma : static_cast<TypeParam>(~TypeParam{0} - rng() % sigma);
    const auto suffixes = sorted_suffixes(s);
    const auto expected = brute_force_lcp(s, suffixes);
    EXPECT_EQ(sa::lcp_kasai<TypeParam>(s, suffixes), expected);
    const std::vector<std::uint32_t> narrow(suffixes.begin(), suffixes.end());
    EXPECT_EQ((sa::lcp_kasai<TypeParam, std::uint32_t>(s, narrow)), expected);
  }
}

// Kasai's method as published, through the rank array: an oracle for texts too long to compare
// suffixes one by one.
std::vector<std::uint32_t> textbook_kasai(const std::vector<std::uint8_t>& s,
                                          const std::vector<std::uint32_t>& sa) {
  std::vector<std::uint32_t> rank(s.size()), lcp(s.size(), 0);
  for (std::size_t r = 0; r < sa.size(); ++r) rank[sa[r]] = static_cast<std::uint32_t>(r);
  std::size_t h = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (rank[i] == 0) {
      h = 0;
      continue;
    }
    const std::size_t j = sa[rank[i] - 1];
    while (i + h < s.size() && j + h < s.size() && s[i + h] == s[j + h]) ++h;
    lcp[rank[i]] = static_cast<std::uint32_t>(h);
    if (h > 0) --h;
  }
  return lcp;
}

// Texts long enough to be split over two threads: random bytes over a small alphabet, and a
// block repeated so that common prefixes run far across the middle of the text.
std::vector<std::vector<std::uint8_t>> long_texts() {
  std::mt19937_64 rng(77);
  const std::size_t n = quarnel::core::parallel::kMinParallelSize + 4099;
  const auto random = quarnel::test::random_symbols(rng, n, 3, 'a');
  const auto block = quarnel::test::random_symbols(rng, 300'007, 256);
  std::vector<std::uint8_t> repeated;
  while (repeated.size() < n) repeated.insert(repeated.end(), block.begin(), block.end());
  return {random, repeated};
}

// Whole, in three slices on two threads, into an array holding garbage beforehand, and the
// permuted LCP in two halves (the second starting from nothing) at several split points.
TEST(LcpKasaiLongText, MatchesTheTextbookMethodWhateverTheSplit) {
  for (const auto& text : long_texts()) {
    const auto suffixes = sa::build_sa32(text);
    const auto expected = textbook_kasai(text, suffixes);
    EXPECT_EQ((sa::lcp_kasai<std::uint8_t, std::uint32_t, std::uint32_t>(text, suffixes)),
              expected);
    EXPECT_EQ((sa::lcp_kasai_in_parts<std::uint8_t, std::uint32_t, std::uint32_t>(text, suffixes,
                                                                                  Lanes::two(), 3)),
              expected);
    std::vector<std::uint64_t> into(text.size(), ~std::uint64_t{0});
    sa::lcp_kasai_into<std::uint8_t, std::uint32_t>(text, suffixes, into);
    ASSERT_TRUE(std::equal(into.begin(), into.end(), expected.begin(), expected.end()));
    for (const std::size_t mid : {std::size_t{1}, text.size() / 3, text.size() / 2 + 1}) {
      std::vector<std::uint32_t> plcp(text.size());
      for (std::size_t r = 1; r < suffixes.size(); ++r) plcp[suffixes[r]] = suffixes[r - 1];
      plcp[suffixes[0]] = ~std::uint32_t{0};
      sa::permuted_lcp<std::uint8_t, std::uint32_t>(text, plcp, 0, mid, text.size());
      sa::permuted_lcp<std::uint8_t, std::uint32_t>(text, plcp, 0, 0, mid);
      for (std::size_t r = 1; r < suffixes.size(); ++r) {
        ASSERT_EQ(plcp[suffixes[r]], expected[r]) << "split at " << mid << ", rank " << r;
      }
    }
  }
}

// The permuted array built a slice of text positions at a time gives the same array, for any
// number of slices (more than the text has positions included), on one thread and on two, and
// writes every entry of an array the caller allocated, holding anything beforehand.
TEST(LcpKasaiInParts, MatchesBruteForceForEverySliceCount) {
  std::mt19937_64 rng(5);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<std::uint8_t> s(rng() % 120);
    const unsigned alphabet = 1 + trial % 4;
    for (auto& c : s) c = static_cast<std::uint8_t>('a' + rng() % alphabet);
    const std::vector<std::uint64_t> wide = sorted_suffixes(s);
    const std::vector<std::uint32_t> suffixes(wide.begin(), wide.end());
    const std::vector<std::uint64_t> expected = brute_force_lcp(s, wide);
    for (const std::size_t parts : {1, 2, 3, 5, 7, 200}) {
      for (const Lanes lanes : {Lanes::one(), Lanes::two()}) {
        const auto lcp = sa::lcp_kasai_in_parts<std::uint8_t, std::uint32_t, std::uint64_t>(
            s, suffixes, lanes, parts);
        ASSERT_EQ(lcp, expected) << "trial " << trial << ", " << parts << " parts";
        std::vector<std::uint64_t> into(s.size(), ~std::uint64_t{0});
        sa::lcp_kasai_in_parts_into<std::uint8_t, std::uint32_t, std::uint64_t>(s, suffixes, into,
                                                                                lanes, parts);
        ASSERT_EQ(into, expected) << "trial " << trial << ", " << parts << " parts, into";
      }
    }
  }
}

}  // namespace
