#include "base/radix_sort.hpp"

#include "test_support.hpp"

namespace {

using quarnel::core::arrange_in_place;
using quarnel::core::radix_sort_by_position;

struct Tagged {
  std::uint64_t key;
  std::size_t tag;  // the item's place before sorting, to check stability
  friend bool operator==(const Tagged&, const Tagged&) = default;
};

class RadixSort : public ::testing::TestWithParam<std::uint64_t> {};

// Against std::stable_sort, for keys of one byte up to keys needing every pass.
TEST_P(RadixSort, MatchesAStableComparisonSort) {
  std::mt19937_64 rng(GetParam());
  for (const std::size_t n : {0, 1, 2, 255, 256, 257, 5000}) {
    std::vector<Tagged> items(n);
    for (std::size_t i = 0; i < n; ++i) items[i] = {rng() % GetParam(), i};
    auto expected = items;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const Tagged& a, const Tagged& b) { return a.key < b.key; });
    radix_sort_by_position(items, [](const Tagged& t) { return t.key; });
    EXPECT_EQ(items, expected) << "n=" << n;
  }
}

INSTANTIATE_TEST_SUITE_P(KeyRanges, RadixSort,
                         ::testing::Values(1, 7, 256, 70000, std::uint64_t{1} << 40,
                                           ~std::uint64_t{0}));

// Against a copy in the permuted order, on permutations of one cycle, of many short ones, the
// identity and random ones; strings, so that a lost or doubled move shows.
TEST(ArrangeInPlace, MovesEachItemToWhereThePermutationSends) {
  std::mt19937_64 rng(11);
  for (const std::size_t n : {0, 1, 2, 3, 10, 1000}) {
    std::vector<std::vector<std::size_t>> permutations(4, std::vector<std::size_t>(n));
    for (auto& p : permutations) std::iota(p.begin(), p.end(), 0);
    std::shuffle(permutations[1].begin(), permutations[1].end(), rng);
    for (std::size_t k = 0; k < n; ++k) permutations[2][k] = (k + 1) % n;  // one cycle
    for (std::size_t k = 0; k + 1 < n; k += 2)
      std::swap(permutations[3][k], permutations[3][k + 1]);
    for (const auto& source : permutations) {
      std::vector<std::string> items(n);
      for (std::size_t k = 0; k < n; ++k) items[k] = "item " + std::to_string(k) + " of many";
      std::vector<std::string> expected(n);
      for (std::size_t k = 0; k < n; ++k) expected[k] = items[source[k]];
      arrange_in_place(items, [&](std::size_t k) { return source[k]; });
      EXPECT_EQ(items, expected) << "n=" << n;
    }
  }
}

}  // namespace
