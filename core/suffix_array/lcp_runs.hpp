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

// The first rank in [r, end) whose entry in `lcp` is at least `threshold`, else end.
template <class Lcp>
[[nodiscard]] std::size_t next_reaching(const Lcp& lcp, std::uint64_t threshold, std::size_t r,
                                        std::size_t end) {
  if constexpr (requires { lcp.next_reaching(threshold, r, end); }) {
    return lcp.next_reaching(threshold, r, end);
  } else {
    while (r < end && lcp[r] < threshold) ++r;
    return r;
  }
}

// `lcp` is any array of LCP entries (operator[] and size()).
// Calls visit(run) for every run whose ranks lie in [first, last), first >= 1, by increasing
// rank; a run crossing `last` is cut there. Ranks below the threshold cost one comparison each.
template <class Lcp, class Visit>
void for_each_lcp_run(const Lcp& lcp, std::uint64_t threshold, std::size_t first, std::size_t last,
                      Visit&& visit) {
  const std::size_t n = std::min(lcp.size(), last);
  std::size_t r = first;
  while ((r = next_reaching(lcp, threshold, r, n)) < n) {
    LcpRun run{r, r, 0};
    for (; run.end < n; ++run.end) {
      const std::uint64_t shared = lcp[run.end];
      if (shared < threshold) break;
      run.max_lcp = std::max(run.max_lcp, shared);
    }
    visit(run);
    r = run.end;
  }
}

// Calls visit(run) for every run, by increasing rank.
template <class Lcp, class Visit>
void for_each_lcp_run(const Lcp& lcp, std::uint64_t threshold, Visit&& visit) {
  for_each_lcp_run(lcp, threshold, 1, lcp.size(), std::forward<Visit>(visit));
}

}  // namespace quarnel::core::suffix_array
