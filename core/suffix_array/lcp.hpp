#pragma once
// LCP construction, generic over the element type (bytes, code units, symbols).

#include <algorithm>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "base/interrupt.hpp"
#include "base/large_array.hpp"
#include "base/parallel.hpp"
#include "base/prefetch.hpp"

namespace quarnel::core::suffix_array {

// Replaces phi[i - base] (the suffix one rank below i, or none) by the LCP of suffix i with it,
// for i in [begin, end). Position i compares the text at phi[i - base], scattered: the bytes a
// later position will compare first are requested that many positions ahead (h falls by at most
// one per position).
template <class T, class Idx>
void permuted_lcp(std::span<const T> text, std::span<Idx> plcp, std::size_t base, std::size_t begin,
                  std::size_t end) {
  constexpr Idx kNone = static_cast<Idx>(~Idx{0});
  constexpr std::size_t kAhead = 64;
  const std::size_t len = text.size();
  std::size_t h = 0;
  for (std::size_t i = begin; i < end; ++i) {
    interrupt::checkpoint_every(i);
    if (i + kAhead < end && plcp[i + kAhead - base] < len) {
      const std::size_t skip = h > kAhead ? h - kAhead : 0;
      prefetch_read(text.data() + std::min<std::size_t>(plcp[i + kAhead - base] + skip, len - 1));
    }
    const Idx j = plcp[i - base];
    if (j == kNone) {
      h = 0;
      plcp[i - base] = 0;
      continue;
    }
    while (i + h < len && j + h < len && text[i + h] == text[j + h]) ++h;
    plcp[i - base] = static_cast<Idx>(h);
    if (h > 0) --h;
  }
}

// LCP[0] = 0; LCP[r] = longest common prefix of the suffixes at ranks r - 1 and r, into `lcp`
// (as long as `sa`, its prior contents unread).
//
// Computed in text order through the permuted LCP (the phi method): h drops by at most one per
// position as in Kasai's method, but the text is compared at consecutive positions, which keeps
// the comparisons cache-friendly; the array is then gathered into rank order.
// `Idx` is the suffix array's entry type and `Out` the LCP array's; 32-bit arrays halve the
// working memory. The permuted array is built for `parts` slices of the text positions in turn,
// each gathered before the next: its memory is a slice's, at the cost of a pass over the suffix
// array per slice for each of phi and the gather.
// Each pass runs in two parts on the call's lanes.
template <class T, class Idx = std::uint64_t, class Out = std::uint64_t>
void lcp_kasai_in_parts_into(std::span<const T> text, std::type_identity_t<std::span<const Idx>> sa,
                             std::type_identity_t<std::span<Out>> lcp, parallel::Lanes lanes,
                             std::size_t parts) {
  const std::size_t n = sa.size();
  if (n == 0) return;
  lcp[0] = 0;
  if (n == 1) return;
  parts = std::clamp<std::size_t>(parts, 1, n);
  const std::size_t slice = (n + parts - 1) / parts;
  // Two slots more, one for each thread's positions outside the slice: branches on whether a
  // scattered position falls inside would be mispredicted half the time.
  std::vector<Idx> plcp = large_array_faulted_in<Idx>(slice + 2, lanes);
  // Each pass splits into halves that touch disjoint entries: phi writes each position once,
  // and a permuted-LCP half may start from h = 0 (h is only a lower bound carried along).
  const std::size_t mid = n / 2;
  for (std::size_t lo = 0; lo < n; lo += slice) {
    const std::size_t hi = std::min(n, lo + slice);
    const auto inside = [&](std::size_t p) { return p - lo < hi - lo; };
    parallel::over_parts(lanes, n, mid, [&](parallel::Part part) {
      const std::size_t spare = slice + part.index;
      for (std::size_t r = std::max<std::size_t>(part.begin, 1); r < part.end; ++r) {
        const std::size_t p = sa[r];
        plcp[inside(p) ? p - lo : spare] = sa[r - 1];
      }
    });
    if (inside(sa[0])) plcp[sa[0] - lo] = static_cast<Idx>(~Idx{0});  // none below it
    interrupt::checkpoint();
    parallel::over_parts(lanes, hi - lo, (hi - lo) / 2, [&](parallel::Part part) {
      permuted_lcp<T, Idx>(text, plcp, lo, lo + part.begin, lo + part.end);
    });
    interrupt::checkpoint();
    // The first slice writes every entry, the others only theirs: no entry is read unwritten.
    const bool first = lo == 0;
    parallel::over_parts(lanes, n, mid, [&](parallel::Part part) {
      for (std::size_t r = std::max<std::size_t>(part.begin, 1); r < part.end; ++r) {
        const std::size_t p = sa[r];
        const auto value = static_cast<Out>(plcp[inside(p) ? p - lo : slice]);
        lcp[r] = first || inside(p) ? value : lcp[r];
      }
    });
  }
}

template <class T, class Idx = std::uint64_t, class Out = std::uint64_t>
[[nodiscard]] std::vector<Out> lcp_kasai_in_parts(std::span<const T> text,
                                                  std::type_identity_t<std::span<const Idx>> sa,
                                                  parallel::Lanes lanes, std::size_t parts) {
  std::vector<Out> lcp = large_array_faulted_in<Out>(sa.size(), lanes);
  lcp_kasai_in_parts_into<T, Idx, Out>(text, sa, lcp, lanes, parts);
  return lcp;
}

// From this length on, the permuted array is built in two slices: the arrays' peak falls from
// 12 to 10 bytes per text byte (32-bit entries) for two more passes over the suffix array.
inline constexpr std::size_t kSlicedLcpLength = std::size_t{1} << 24;

// The number of slices lcp_kasai cuts an array of n entries into.
[[nodiscard]] inline std::size_t lcp_parts(std::size_t n) {
  return n >= kSlicedLcpLength ? 2 : 1;
}

template <class T, class Idx = std::uint64_t, class Out = std::uint64_t>
[[nodiscard]] std::vector<Out> lcp_kasai(std::span<const T> text,
                                         std::type_identity_t<std::span<const Idx>> sa,
                                         parallel::Lanes lanes) {
  return lcp_kasai_in_parts<T, Idx, Out>(text, sa, lanes, lcp_parts(sa.size()));
}

// On two threads when the array is large.
template <class T, class Idx = std::uint64_t, class Out = std::uint64_t>
[[nodiscard]] std::vector<Out> lcp_kasai(std::span<const T> text,
                                         std::type_identity_t<std::span<const Idx>> sa) {
  return lcp_kasai<T, Idx, Out>(text, sa, parallel::Lanes::for_size(sa.size()));
}

// The same array into `lcp` (as long as `sa`), on two threads when the array is large.
template <class T, class Idx = std::uint64_t, class Out = std::uint64_t>
void lcp_kasai_into(std::span<const T> text, std::type_identity_t<std::span<const Idx>> sa,
                    std::type_identity_t<std::span<Out>> lcp) {
  lcp_kasai_in_parts_into<T, Idx, Out>(text, sa, lcp, parallel::Lanes::for_size(sa.size()),
                                       lcp_parts(sa.size()));
}

}  // namespace quarnel::core::suffix_array
