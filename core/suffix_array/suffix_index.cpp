#include "suffix_array/suffix_index.hpp"

#include <algorithm>
#include <functional>

#include "base/errors.hpp"
#include "base/large_array.hpp"
#include "base/parallel.hpp"
#include "base/radix_sort.hpp"
#include "suffix_array/lcp.hpp"
#include "suffix_array/symbol_views.hpp"

namespace quarnel::core::suffix_array {

using detail::kMinSplitPatterns;
using detail::owned_array;
using detail::with_entries;
using detail::with_symbols;

namespace {

// Ascending positions of one pattern: a radix sort for the many occurrences of repetitive text,
// where a comparison sort would cost more than the rest of the locate. Digits of 11 bits (16 KiB
// of counters) sort the positions of texts up to 4 MiB in two passes.
void sort_positions(std::uint64_t* positions, std::uint64_t n) {
  constexpr std::uint64_t kRadixFrom = 1024;
  constexpr unsigned kDigit = 11;
  if (n < kRadixFrom) {
    std::sort(positions, positions + n);
    return;
  }
  // On periodic text a pattern's suffixes sort by length, so its places come in descending order.
  if (std::is_sorted(positions, positions + n, std::greater<>())) {
    std::reverse(positions, positions + n);
    return;
  }
  const auto key = [](std::uint64_t p) { return p; };
  const unsigned passes = radix_passes<kDigit>(positions, n, key);
  std::vector<std::uint64_t> buffer(n);
  const std::uint64_t* sorted = radix_sort_into<kDigit>(positions, buffer.data(), n, passes, key);
  if (sorted != positions) std::copy(sorted, sorted + n, positions);
}

}  // namespace

Occurrences locate_many(const IndexArray& sa, std::span<const SaInterval> ranges) {
  Occurrences occ;
  occ.offsets.resize(ranges.size() + 1, 0);
  for (std::size_t k = 0; k < ranges.size(); ++k) {
    occ.offsets[k + 1] = occ.offsets[k] + (ranges[k].hi - ranges[k].lo);
  }
  occ.positions = large_array<std::uint64_t>(occ.offsets.back());
  const std::size_t count = ranges.size();
  with_entries(sa, [&](const auto* entries) {
    const auto fill = [&](std::size_t begin, std::size_t end) {
      for (std::size_t k = begin; k < end; ++k) {
        std::uint64_t* dst = occ.positions.data() + occ.offsets[k];
        std::copy(entries + ranges[k].lo, entries + ranges[k].hi, dst);
        sort_positions(dst, ranges[k].hi - ranges[k].lo);
      }
    };
    // Splits by patterns, at the pattern where half the positions are reached.
    const std::uint64_t total = occ.offsets.back();
    const std::size_t mid = static_cast<std::size_t>(
        std::upper_bound(occ.offsets.begin(), occ.offsets.end() - 1, total / 2) -
        occ.offsets.begin());
    const auto lanes =
        parallel::Lanes::two_if((count >= kMinSplitPatterns || parallel::worth_splitting(total)) &&
                                parallel::threads_allowed());
    parallel::over_parts(lanes, count, std::min(mid, count),
                         [&](parallel::Part part) { fill(part.begin, part.end); });
  });
  return occ;
}

IndexArray lcp_of(const SymbolText& text, const IndexArray& sa) {
  return with_symbols(text, [&](const auto* t) {
    using Sym = std::remove_cv_t<std::remove_pointer_t<decltype(t)>>;
    const std::span<const Sym> symbols(t, text.size);
    return with_entries(sa, [&](const auto* entries) {
      using Idx = std::remove_cv_t<std::remove_pointer_t<decltype(entries)>>;
      return owned_array(lcp_kasai<Sym, Idx, Idx>(symbols, std::span<const Idx>(entries, sa.size)));
    });
  });
}

SymbolBwt bwt_of(const SymbolText& text, const IndexArray& sa) {
  if (text.size == 0) throw UsageError("the BWT of an empty text is undefined (no primary index)");
  SymbolBwt out;
  out.symbols.resize(text.size * text.width);
  with_symbols(text, [&](const auto* t) {
    using Sym = std::remove_cv_t<std::remove_pointer_t<decltype(t)>>;
    auto* last = reinterpret_cast<Sym*>(out.symbols.data());
    const std::uint64_t n = text.size;
    for (std::uint64_t r = 0; r < n; ++r) {
      const std::uint64_t p = sa.at(r);
      if (p == 0) out.primary = r;
      last[r] = p == 0 ? t[n - 1] : t[p - 1];
    }
  });
  return out;
}

}  // namespace quarnel::core::suffix_array
