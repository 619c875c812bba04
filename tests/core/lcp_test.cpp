#include "suffix_array/lcp.hpp"

#include "base/parallel.hpp"
#include "suffix_array/construction.hpp"
#include "suffix_array/lcp_planes.hpp"
#include "suffix_array/lcp_runs.hpp"
#include "test_support.hpp"

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

// Whole, with wide and narrow suffix arrays, and a slice of text positions at a time for any
// number of slices (more than the text has positions included), on one thread and on two, also
// into an array the caller allocated, holding anything beforehand.
TYPED_TEST(LcpKasai, MatchesBruteForceWholeAndInParts) {
  std::mt19937_64 rng(31);
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<TypeParam> s(rng() % 120);
    const unsigned sigma = 1 + rng() % 4;
    // Values near the top of the type's range check that elements compare unsigned.
    for (auto& c : s)
      c = (rng() & 1) ? rng() % sigma : static_cast<TypeParam>(~TypeParam{0} - rng() % sigma);
    const auto suffixes = sorted_suffixes(s);
    const auto expected = brute_force_lcp(s, suffixes);
    EXPECT_EQ(sa::lcp_kasai<TypeParam>(s, suffixes), expected);
    const std::vector<std::uint32_t> narrow(suffixes.begin(), suffixes.end());
    EXPECT_EQ((sa::lcp_kasai<TypeParam, std::uint32_t>(s, narrow)), expected);
    if (trial >= 200) continue;  // threads started per call: slow
    for (const std::size_t parts : {1, 2, 3, 5, 7, 200}) {
      for (const Lanes lanes : {Lanes::one(), Lanes::two()}) {
        ASSERT_EQ((sa::lcp_kasai_in_parts<TypeParam, std::uint32_t>(s, narrow, lanes, parts)),
                  expected)
            << "trial " << trial << ", " << parts << " parts";
        std::vector<std::uint64_t> into(s.size(), ~std::uint64_t{0});
        sa::lcp_kasai_in_parts_into<TypeParam, std::uint32_t>(s, narrow, into, lanes, parts);
        ASSERT_EQ(into, expected) << "trial " << trial << ", " << parts << " parts, into";
      }
    }
  }
}

// Kasai's method as published, through the rank array: an oracle for texts too long to compare
// suffixes one by one.
std::vector<std::uint32_t> textbook_kasai(const Bytes& s, const std::vector<std::uint32_t>& sa) {
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
std::vector<Bytes> long_texts() {
  std::mt19937_64 rng(77);
  const std::size_t n = quarnel::core::parallel::kMinParallelSize + 4099;
  const auto random = quarnel::test::random_symbols(rng, n, 3, 'a');
  return {random, quarnel::test::cycled(quarnel::test::random_symbols(rng, 300'007, 256), n)};
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

template <class Lcp>
std::vector<sa::LcpRun> visited_runs(const Lcp& lcp, std::uint64_t t) {
  std::vector<sa::LcpRun> runs;
  sa::for_each_lcp_run(lcp, t, [&](const sa::LcpRun& run) { runs.push_back(run); });
  return runs;
}

// Direct definition: maximal rank ranges [begin, end), begin >= 1, of entries >= t.
std::vector<sa::LcpRun> maximal_ranges(const std::vector<std::uint64_t>& lcp, std::uint64_t t) {
  std::vector<sa::LcpRun> runs;
  for (std::size_t r = 1; r < lcp.size(); ++r) {
    const bool starts_run = lcp[r] >= t && (r == 1 || lcp[r - 1] < t);
    if (!starts_run) continue;
    std::size_t s = r;
    while (s < lcp.size() && lcp[s] >= t) ++s;
    runs.push_back({r, s, *std::max_element(lcp.begin() + r, lcp.begin() + s)});
  }
  return runs;
}

// Every length up to 30 (the empty array too) at every threshold, zero included.
TEST(LcpRuns, MatchMaximalRangesAtOrAboveTheThreshold) {
  std::mt19937 rng(99);
  for (int round = 0; round < 540; ++round) {
    std::vector<std::uint64_t> lcp(round % 30);
    for (auto& v : lcp) v = rng() % 8;  // entry 0 too: it never starts a run, whatever it holds
    const std::uint64_t t = round / 30 % 9;
    ASSERT_EQ(visited_runs(std::span<const std::uint64_t>(lcp), t), maximal_ranges(lcp, t))
        << round;
  }
}

// Entries mostly short, with blocks of long ones (a pasted passage) and single long entries:
// values on both sides of 2^16 and, for 64-bit entries, of 2^32.
template <class Idx>
std::vector<Idx> mixed_entries(std::size_t n, std::mt19937_64& rng) {
  std::vector<Idx> lcp(n);
  const std::uint64_t top = sizeof(Idx) == 4 ? 0xFFFF'FFFFULL : 0xFF'FFFF'FFFFULL;
  for (auto& v : lcp) v = static_cast<Idx>(rng() % 40);
  for (std::size_t k = 0; k < n / 3000 + 1 && n > 0; ++k) {
    const std::size_t at = rng() % n;
    const std::size_t len = std::min<std::size_t>(n - at, rng() % 2500);
    for (std::size_t i = at; i < at + len; ++i) lcp[i] = static_cast<Idx>(0xFFF0 + rng() % 32);
    lcp[rng() % n] = static_cast<Idx>(rng() % (top + 1));
  }
  return lcp;
}

template <class Idx>
class Planes : public ::testing::Test {};
using Widths = ::testing::Types<std::uint32_t, std::uint64_t>;
TYPED_TEST_SUITE(Planes, Widths);

// Read back, and the runs found, from a view of the array and from the array taken (with several
// huge pages, handed back while the entries after them are read); only the blocks with an entry
// of 2^16 or more keep high bits.
TYPED_TEST(Planes, ReadBackEveryEntryAndFindTheRunsOfThePlainArray) {
  using Idx = TypeParam;
  constexpr std::size_t kBlock = sa::LcpPlanes<Idx>::kBlock;
  std::mt19937_64 rng(5);
  for (const std::size_t n : {0, 1, 1023, 1024, 1025, 2048, 7000, 40000, 3'000'000}) {
    const std::vector<Idx> lcp = mixed_entries<Idx>(n, rng);
    const sa::LcpPlanes<Idx> viewed{std::span<const Idx>(lcp)};
    const sa::LcpPlanes<Idx> taken{std::vector<Idx>(lcp)};
    std::size_t wide_blocks = 0;
    for (std::size_t b = 0; b < n; b += kBlock) {
      const auto end = lcp.begin() + static_cast<std::ptrdiff_t>(std::min(n, b + kBlock));
      wide_blocks += *std::max_element(lcp.begin() + static_cast<std::ptrdiff_t>(b), end) > 0xFFFF;
    }
    EXPECT_EQ(taken.wide_blocks(), wide_blocks) << n;
    if (n > kBlock * 64) {
      EXPECT_LT(wide_blocks, n / kBlock);  // narrow blocks stay narrow
    }
    for (const sa::LcpPlanes<Idx>* planes : {&viewed, &taken}) {
      ASSERT_EQ(planes->size(), n);
      for (std::size_t r = 0; r < n; ++r) ASSERT_EQ((*planes)[r], lcp[r]) << n << " " << r;
      const std::vector<std::uint64_t> wide(lcp.begin(), lcp.end());
      for (const std::uint64_t t : {0ULL, 1ULL, 17ULL, 0xFFFFULL, 0x10000ULL, 0x1'0000'0000ULL}) {
        ASSERT_EQ(visited_runs(planes->view(), t), maximal_ranges(wide, t)) << n << " " << t;
      }
    }
  }
}

}  // namespace
