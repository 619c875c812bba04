#pragma once
// Runs of suffix-array neighbours that share a long prefix: maximal rank ranges [begin, end),
// begin >= 1, in which every LCP entry reaches a threshold. The suffixes of a run are those at
// ranks begin - 1 .. end - 1; every two of them share at least `threshold` bytes.

#include <cstddef>
#include <cstdint>
#include <span>

namespace quarnel::core::suffix_array {

struct LcpRun {
  std::size_t begin = 0;      // first rank whose LCP entry reaches the threshold
  std::size_t end = 0;        // one past the last such rank
  std::uint64_t max_lcp = 0;  // largest LCP entry of the run
  friend bool operator==(const LcpRun&, const LcpRun&) = default;
};

// Calls visit(run) for every run, by increasing rank. Ranks below the threshold cost one
// comparison each.
template <class Entry, class Visit>
void for_each_lcp_run(std::span<const Entry> lcp, std::uint64_t threshold, Visit&& visit) {
  const std::size_t n = lcp.size();
  std::size_t r = 1;
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

}  // namespace quarnel::core::suffix_array
