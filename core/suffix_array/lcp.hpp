#pragma once
// LCP construction, generic over the element type (bytes, code units, symbols).

#include <algorithm>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "large_array.hpp"

namespace quarnel::core::suffix_array {

namespace detail {

// PLCP[i] = longest common prefix of the suffix at i and the suffix one rank below it (0 for the
// smallest suffix), for n >= 2. Computed in text order (the phi method): h drops by at most one
// per position as in Kasai's method, but the text is compared at consecutive positions, which
// keeps the comparisons cache-friendly.
template <class T, class Idx>
[[nodiscard]] std::vector<Idx> permuted_lcp(std::span<const T> text, std::span<const Idx> sa) {
  const std::size_t n = sa.size();
  constexpr Idx kNone = static_cast<Idx>(~Idx{0});
  // phi[SA[r]] = SA[r - 1], the suffix one rank below; none for the smallest suffix.
  std::vector<Idx> plcp = large_array<Idx>(n);
  plcp[sa[0]] = kNone;
  for (std::size_t r = 1; r < n; ++r) plcp[sa[r]] = sa[r - 1];
  const std::size_t len = text.size();
  std::size_t h = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Idx j = plcp[i];
    if (j == kNone) {
      h = 0;
      plcp[i] = 0;
      continue;
    }
    while (i + h < len && j + h < len && text[i + h] == text[j + h]) ++h;
    plcp[i] = static_cast<Idx>(h);
    if (h > 0) --h;
  }
  return plcp;
}

}  // namespace detail

// LCP[0] = 0; LCP[r] = longest common prefix of the suffixes at ranks r - 1 and r, gathered
// into rank order from the permuted LCP.
// `Idx` is the suffix array's entry type and `Out` the LCP array's; 32-bit arrays halve the
// working memory.
template <class T, class Idx = std::uint64_t, class Out = std::uint64_t>
[[nodiscard]] std::vector<Out> lcp_kasai(std::span<const T> text,
                                         std::type_identity_t<std::span<const Idx>> sa) {
  const std::size_t n = sa.size();
  std::vector<Out> lcp = large_array<Out>(n);
  if (n <= 1) return lcp;
  const std::vector<Idx> plcp = detail::permuted_lcp<T, Idx>(text, sa);
  for (std::size_t r = 1; r < n; ++r) lcp[r] = plcp[sa[r]];
  return lcp;
}

template <class Out>
struct MarkedLcp {
  std::vector<Out> lcp;
  std::vector<std::uint64_t> marked_ranks;  // bit r: the suffix at rank r is marked
};

// lcp_kasai, and the marks of `marked_positions` (bit i: position i is marked) put into rank
// order. The gather reads both at the same scattered positions, so the second read costs little
// beside the first, where a pass of its own would miss on nearly every rank.
template <class T, class Idx = std::uint64_t, class Out = std::uint64_t>
[[nodiscard]] MarkedLcp<Out> lcp_kasai_marking(std::span<const T> text,
                                               std::type_identity_t<std::span<const Idx>> sa,
                                               std::span<const std::uint64_t> marked_positions) {
  const std::size_t n = sa.size();
  MarkedLcp<Out> out{large_array<Out>(n), std::vector<std::uint64_t>((n + 63) / 64, 0)};
  const auto marked = [&](std::uint64_t p) -> std::uint64_t {
    return (p >> 6) < marked_positions.size() ? (marked_positions[p >> 6] >> (p & 63)) & 1U : 0;
  };
  if (n == 1) out.marked_ranks[0] = marked(sa[0]);
  if (n <= 1) return out;
  const std::vector<Idx> plcp = detail::permuted_lcp<T, Idx>(text, sa);
  for (std::size_t word = 0; word < out.marked_ranks.size(); ++word) {
    std::uint64_t bits = 0;
    const std::size_t end = std::min(n, 64 * word + 64);
    for (std::size_t r = 64 * word; r < end; ++r) {
      const std::uint64_t p = sa[r];
      if (r > 0) out.lcp[r] = plcp[p];
      bits |= marked(p) << (r & 63);
    }
    out.marked_ranks[word] = bits;
  }
  return out;
}

}  // namespace quarnel::core::suffix_array
