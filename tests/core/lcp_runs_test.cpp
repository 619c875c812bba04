#include "suffix_array/lcp_runs.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

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

TEST(LcpRuns, MatchMaximalRangesAtOrAboveTheThreshold) {
  std::mt19937 rng(99);
  for (int round = 0; round < 500; ++round) {
    std::vector<std::uint64_t> lcp(rng() % 30);
    for (auto& v : lcp) v = rng() % 8;
    if (!lcp.empty()) lcp[0] = rng() % 8;  // entry 0 never starts a run, whatever it holds
    const std::uint64_t t = rng() % 9;
    ASSERT_EQ(visited_runs(lcp, t), maximal_ranges(lcp, t)) << round;
  }
}

TEST(LcpRuns, ThresholdZeroMakesOneRunOverEveryRankAfterTheFirst) {
  const std::vector<std::uint64_t> lcp{0, 0, 3, 0, 1};
  EXPECT_EQ(visited_runs(lcp, 0), (std::vector<sa::LcpRun>{{1, 5, 3}}));
  EXPECT_TRUE(visited_runs({0}, 0).empty());
  EXPECT_TRUE(visited_runs({}, 0).empty());
}

}  // namespace
