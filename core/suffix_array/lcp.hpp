#pragma once
// Kasai's LCP construction, generic over the element type (bytes, code units, symbols).

#include <cstdint>
#include <span>
#include <vector>

namespace quarnel::core::suffix_array {

// LCP[0] = 0; LCP[r] = longest common prefix of the suffixes at ranks r - 1 and r.
template <class T>
[[nodiscard]] std::vector<std::uint64_t> lcp_kasai(std::span<const T> text,
                                                   std::span<const std::uint64_t> sa) {
  const std::size_t n = sa.size();
  std::vector<std::uint64_t> lcp(n, 0);
  if (n <= 1) return lcp;
  // The rank array doubles as the output buffer's twin; both are n entries.
  std::vector<std::uint64_t> rank(n);
  for (std::size_t r = 0; r < n; ++r) rank[sa[r]] = r;
  const std::size_t len = text.size();
  std::size_t h = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t r = rank[i];
    if (r == 0) {
      h = 0;
      continue;
    }
    const std::size_t j = sa[r - 1];
    while (i + h < len && j + h < len && text[i + h] == text[j + h]) ++h;
    lcp[r] = h;
    if (h > 0) --h;
  }
  return lcp;
}

}  // namespace quarnel::core::suffix_array
