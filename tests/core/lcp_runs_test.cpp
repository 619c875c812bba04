#include "suffix_array/lcp_runs.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "suffix_array/lcp_planes.hpp"

namespace sa = quarnel::core::suffix_array;

namespace {

std::vector<sa::LcpRun> visited_runs(const std::vector<std::uint64_t>& lcp, std::uint64_t t) {
  std::vector<sa::LcpRun> runs;
  sa::for_each_lcp_run(std::span<const std::uint64_t>(lcp), t,
                       [&](const sa::LcpRun& run) { runs.push_back(run); });
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
    ASSERT_EQ(visited_runs(lcp, t), maximal_ranges(lcp, t)) << round;
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

TYPED_TEST(Planes, ReadBackEveryEntryAndFindTheRunsOfThePlainArray) {
  using Idx = TypeParam;
  std::mt19937_64 rng(5);
  for (const std::size_t n : {0, 1, 1023, 1024, 1025, 2048, 7000, 40000}) {
    const std::vector<Idx> lcp = mixed_entries<Idx>(n, rng);
    const sa::LcpPlanes<Idx> planes{std::span<const Idx>(lcp)};
    ASSERT_EQ(planes.size(), n);
    for (std::size_t r = 0; r < n; ++r) ASSERT_EQ(planes[r], lcp[r]) << n << " " << r;
    const std::vector<std::uint64_t> wide(lcp.begin(), lcp.end());
    for (const std::uint64_t t : {0ULL, 1ULL, 17ULL, 0xFFFFULL, 0x10000ULL, 0x1'0000'0000ULL}) {
      std::vector<sa::LcpRun> runs;
      sa::for_each_lcp_run(planes.view(), t, [&](const sa::LcpRun& run) { runs.push_back(run); });
      ASSERT_EQ(runs, maximal_ranges(wide, t)) << n << " " << t;
    }
  }
}

TYPED_TEST(Planes, TakingAnArrayFreesItsPagesWithoutChangingTheEntries) {
  using Idx = TypeParam;
  std::mt19937_64 rng(6);
  // Several huge pages, so that pages are handed back while the entries after them are read.
  std::vector<Idx> lcp = mixed_entries<Idx>(3'000'000, rng);
  const std::vector<Idx> copy = lcp;
  const sa::LcpPlanes<Idx> planes(std::move(lcp));
  ASSERT_EQ(planes.size(), copy.size());
  for (std::size_t r = 0; r < copy.size(); ++r) ASSERT_EQ(planes[r], copy[r]) << r;
  // Only the blocks with an entry of 2^16 or more keep high bits.
  constexpr std::size_t kBlock = sa::LcpPlanes<Idx>::kBlock;
  std::size_t wide = 0;
  for (std::size_t b = 0; b < copy.size(); b += kBlock) {
    const auto end = copy.begin() + static_cast<std::ptrdiff_t>(std::min(copy.size(), b + kBlock));
    wide += *std::max_element(copy.begin() + static_cast<std::ptrdiff_t>(b), end) > 0xFFFF ? 1 : 0;
  }
  EXPECT_EQ(planes.wide_blocks(), wide);
  EXPECT_LT(wide, copy.size() / kBlock);
}

}  // namespace
