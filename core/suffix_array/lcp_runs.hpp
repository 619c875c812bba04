#pragma once
// Runs of suffix-array neighbours that share a long prefix: maximal rank ranges [begin, end),
// begin >= 1, in which every LCP entry reaches a threshold. The suffixes of a run are those at
// ranks begin - 1 .. end - 1; every two of them share at least `threshold` bytes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace quarnel::core::suffix_array {

struct LcpRun {
  std::size_t begin = 0;      // first rank whose LCP entry reaches the threshold
  std::size_t end = 0;        // one past the last such rank
  std::uint64_t max_lcp = 0;  // largest LCP entry of the run
  friend bool operator==(const LcpRun&, const LcpRun&) = default;
};

// Calls visit(run) for every run whose ranks lie in [first, last), first >= 1, by increasing
// rank; a run crossing `last` is cut there. Ranks below the threshold cost one comparison each.
template <class Entry, class Visit>
void for_each_lcp_run(std::span<const Entry> lcp, std::uint64_t threshold, std::size_t first,
                      std::size_t last, Visit&& visit) {
  const std::size_t n = std::min(lcp.size(), last);
  std::size_t r = first;
  while (r < n) {
    if (lcp[r] < threshold) {
      ++r;
      continue;
    }
    LcpRun run{r, r, lcp[r]};
    while (run.end < n && lcp[run.end] >= threshold) {
      if (lcp[run.end] > run.max_lcp) run.max_lcp = lcp[run.end];
      ++run.end;
    }
    visit(run);
    r = run.end;
  }
}

// Calls visit(run) for every run, by increasing rank.
template <class Entry, class Visit>
void for_each_lcp_run(std::span<const Entry> lcp, std::uint64_t threshold, Visit&& visit) {
  for_each_lcp_run(lcp, threshold, 1, lcp.size(), std::forward<Visit>(visit));
}

}  // namespace quarnel::core::suffix_array
