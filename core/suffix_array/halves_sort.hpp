#pragma once
// The suffix and LCP arrays on two threads. Each sorting engine (build_sa32 with the Auto
// choice) runs on one thread, and on a large text sorting is most of a call; here the two halves of
// the text are sorted side by side, as texts of their own, each gets its LCP array, and the halves
// are merged on both threads. The LCP arrays guide the merge (most steps compare two numbers
// instead of two suffixes) and give the merged LCP array on the way.
//
// The second half's suffixes are suffixes of the text, so its arrays are final. The first half's
// are sorted as if the text ended at the split, which is right for every pair except where one
// suffix up to the split is a prefix of the other. The split is placed where the `tail` bytes
// before it occur nowhere else in the first half: then only the suffixes that start within
// `tail` bytes of the split can be such a prefix, and those few are set aside and placed by
// search.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "base/parallel.hpp"
#include "suffix_array/construction.hpp"
#include "suffix_array/lcp.hpp"

namespace quarnel::core::suffix_array {

struct SuffixAndLcp32 {
  std::vector<std::uint32_t> sa;
  std::vector<std::uint32_t> lcp;
};

namespace detail {

struct HalvesSortParams {
  std::size_t tail = 32;          // bytes before the split that must be unique in the first half
  std::size_t first_share = 15;   // the first half's share of the text, in 32nds
  std::uint64_t walk_budget = 0;  // bytes the merge may compare past the first 64 of a pair
};

// Both arrays by sorting halves on the call's lanes, with
// `beside()` run on this thread once its half is sorted. nullopt when no split point near the
// share qualifies (then `beside` has not run), or when the merge walked past its budget, as it
// can on text made of long repeats (then it has).
[[nodiscard]] std::optional<SuffixAndLcp32> sort_halves(std::span<const std::uint8_t> text,
                                                        const HalvesSortParams& params,
                                                        parallel::Lanes lanes,
                                                        const std::function<void()>& beside);

}  // namespace detail

// Halves sorted side by side contend for the cache; past this size they take about as long as
// the whole text sorted on one thread (measured on prose), and the merge is extra.
inline constexpr std::size_t kMaxHalvesSortSize = std::size_t{8} << 20;

// The suffix array of `text` and its LCP array in 32-bit entries (as build_sa32 and lcp_kasai),
// with `beside()` run exactly once on this thread meanwhile; returns all three. With two lanes,
// the arrays take both: up to kMaxHalvesSortSize by halves, with `beside` run while
// the second thread finishes its half; otherwise (and for text the halves cannot take) the text
// is sorted whole, with `beside` on the second thread. Requires text.size() <=
// kDivSufSortMaxLength.
template <class Beside>
[[nodiscard]] auto build_sa32_and_lcp_beside(std::span<const std::uint8_t> text,
                                             parallel::Lanes lanes, Beside&& beside)
    -> std::tuple<std::vector<std::uint32_t>, std::vector<std::uint32_t>,
                  std::invoke_result_t<Beside>> {
  std::optional<std::invoke_result_t<Beside>> side;
  if (lanes.has_second() && text.size() <= kMaxHalvesSortSize) {
    const detail::HalvesSortParams params{.walk_budget = 32 * text.size()};
    auto arrays =
        detail::sort_halves(text, params, parallel::Lanes::two(), [&] { side.emplace(beside()); });
    if (arrays) return {std::move(arrays->sa), std::move(arrays->lcp), std::move(*side)};
  }
  // The sort takes the second thread too (its planner, at a lower priority, shares it with
  // `beside` while that runs), and the array's pages are faulted in on both first.
  const unsigned threads = lanes.has_second() ? default_sort_threads(text.size()) : 1;
  std::vector<std::uint32_t> sa = large_array_faulted_in<std::uint32_t>(text.size(), lanes);
  if (side) {
    build_sa32_into(text, SuffixArrayBackend::Auto, sa, threads);
  } else {
    parallel::SideTask beside_task(lanes, std::ref(beside));
    build_sa32_into(text, SuffixArrayBackend::Auto, sa, threads);
    side.emplace(beside_task.get());
  }
  auto lcp = lcp_kasai<std::uint8_t, std::uint32_t, std::uint32_t>(text, sa, lanes);
  return {std::move(sa), std::move(lcp), std::move(*side)};
}

}  // namespace quarnel::core::suffix_array
