#include "suffix_array/lcp.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "test_support.hpp"

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

TYPED_TEST(LcpKasai, ComparisonsStopAtTheGivenTextLength) {
  // Only the first M symbols take part, as when a separator-joined string drops its sentinel.
  const std::vector<TypeParam> joined = {2, 3, 1, 2, 3};
  const std::vector<TypeParam> first_three(joined.begin(), joined.begin() + 3);
  const auto suffixes = sorted_suffixes(first_three);
  EXPECT_EQ(sa::lcp_kasai<TypeParam>(first_three, suffixes),
            brute_force_lcp(first_three, suffixes));
  EXPECT_TRUE(
      sa::lcp_kasai<TypeParam>(std::vector<TypeParam>{}, std::vector<std::uint64_t>{}).empty());
  EXPECT_EQ(sa::lcp_kasai<TypeParam>(std::vector<TypeParam>{7}, std::vector<std::uint64_t>{0}),
            std::vector<std::uint64_t>{0});
}

}  // namespace
