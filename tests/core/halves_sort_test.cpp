#include "suffix_array/halves_sort.hpp"

#include "suffix_array/construction.hpp"
#include "suffix_array/lcp.hpp"
#include "test_support.hpp"

namespace {

using quarnel::test::bytes_of;

// The arrays the whole-text sort and Kasai's method give.
sa::SuffixAndLcp32 whole(const std::string& s) {
  auto array = sa::build_sa32(bytes_of(s));
  auto lcp =
      sa::lcp_kasai<std::uint8_t, std::uint32_t, std::uint32_t>(bytes_of(s), array, Lanes::one());
  return {std::move(array), std::move(lcp)};
}

void expect_same(const sa::SuffixAndLcp32& got, const std::string& s) {
  const auto expected = whole(s);
  ASSERT_EQ(std::tie(got.sa, got.lcp), std::tie(expected.sa, expected.lcp)) << s;
}

std::string random_text(std::mt19937_64& rng, std::size_t n, int alphabet) {
  const auto letters = quarnel::test::random_symbols<char>(rng, n, alphabet, 'a');
  return {letters.begin(), letters.end()};
}

// Copies passages of the text to other places, many of them across the middle: the merge then
// meets long agreeing pairs at many distances.
void copy_passages(std::mt19937_64& rng, std::string& s, int copies) {
  for (int i = 0; i < copies; ++i) {
    const std::size_t len = 1 + rng() % (s.size() / 4);
    const std::size_t from = rng() % (s.size() - len);
    const std::size_t to = rng() % (s.size() - len);
    s.replace(to, len, s.substr(from, len));
  }
}

// Alphabet, unique tail, passages copied.
using Shape = std::tuple<int, std::size_t, int>;
class HalvesSort : public ::testing::TestWithParam<Shape> {};

TEST_P(HalvesSort, MatchesTheWholeSortWheneverItSplits) {
  const auto [alphabet, tail, copies] = GetParam();
  std::mt19937_64 rng(static_cast<unsigned>(alphabet * 131 + tail * 7 + copies));
  int split = 0;
  constexpr int kTexts = 120;
  for (int t = 0; t < kTexts; ++t) {
    std::string s = random_text(rng, 200 + rng() % 3000, alphabet);
    copy_passages(rng, s, copies);
    const sa::detail::HalvesSortParams params{
        .tail = tail,
        .first_share = 4 + static_cast<std::size_t>(rng() % 24),
        .walk_budget = ~std::uint64_t{0}};
    int beside_calls = 0;
    const auto got = sa::detail::sort_halves(bytes_of(s), params, Lanes::two_if(t % 2 == 0),
                                             [&] { ++beside_calls; });
    if (!got) {
      EXPECT_EQ(beside_calls, 0);
      continue;
    }
    ++split;
    EXPECT_EQ(beside_calls, 1);
    expect_same(*got, s);
  }
  // Most texts of these shapes have a unique tail near the share, so the halves path is tested.
  EXPECT_GT(split, kTexts / 2);
}

INSTANTIATE_TEST_SUITE_P(Shapes, HalvesSort,
                         ::testing::Values(Shape{2, 16, 0}, Shape{2, 16, 3}, Shape{3, 12, 0},
                                           Shape{3, 10, 4}, Shape{4, 8, 1}, Shape{26, 3, 2},
                                           Shape{26, 4, 0}, Shape{2, 40, 2}, Shape{255, 2, 6}));

// A text of one repeated passage has no unique tail to split at; on a text copied across the
// split the merge gives up past its budget, and with room to walk the stretches found once answer
// the rest.
TEST(HalvesSort, GivesUpWithoutATailOrPastItsBudget) {
  std::string repeated;
  while (repeated.size() < 5000) repeated += "the same passage, again and ";
  int beside_calls = 0;
  const auto beside = [&] { ++beside_calls; };
  EXPECT_FALSE(sa::detail::sort_halves(bytes_of(repeated), {.tail = 8, .walk_budget = 1 << 20},
                                       Lanes::two(), beside));
  EXPECT_EQ(beside_calls, 0);
  std::mt19937_64 rng(5);
  const std::string half = random_text(rng, 4000, 4);
  const std::string s = half + half;  // every first-half suffix agrees long with its copy
  const sa::detail::HalvesSortParams tight{.tail = 12, .first_share = 15, .walk_budget = 0};
  EXPECT_FALSE(sa::detail::sort_halves(bytes_of(s), tight, Lanes::two(), beside));
  EXPECT_EQ(beside_calls, 1);
  const sa::detail::HalvesSortParams roomy{.tail = 12, .first_share = 15, .walk_budget = 64000};
  const auto got = sa::detail::sort_halves(bytes_of(s), roomy, Lanes::two(), [] {});
  ASSERT_TRUE(got.has_value());
  expect_same(*got, s);
}

TEST(BuildSa32AndLcpBeside, ReturnsTheArraysAndRunsBesideOnceEitherWay) {
  std::mt19937_64 rng(9);
  std::string prose = random_text(rng, (1 << 20) + 777, 20);
  copy_passages(rng, prose, 8);
  std::string repeated;
  while (repeated.size() < (1 << 20) + 5) repeated += "one passage over and over. ";
  for (const std::string* s : {&prose, &repeated}) {
    const auto expected = whole(*s);
    for (const Lanes lanes : {Lanes::one(), Lanes::two()}) {
      int calls = 0;
      const auto [array, lcp, value] = sa::build_sa32_and_lcp_beside(bytes_of(*s), lanes, [&] {
        ++calls;
        return 42;
      });
      EXPECT_EQ(std::tie(calls, value, array, lcp), std::tuple(1, 42, expected.sa, expected.lcp));
    }
  }
}

}  // namespace
