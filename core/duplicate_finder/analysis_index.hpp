#pragma once
// The analysis text with the arrays every stage looks things up in.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "suffix_array/lcp_planes.hpp"

namespace quarnel::core::duplicate_finder {

// Words need no lists: a word starts wherever a word byte follows a non-word byte and ends where
// a non-word byte (or the end of the text) follows a word byte, exactly the tokenizer's word
// starts and ends. `Idx` is the entry type of the suffix array and the LCP array: 32 bits halve
// the memory traffic of every stage on texts below 4 GiB; the LCP array is held in 16-bit planes.
template <class Idx>
struct BasicAnalysisIndex {
  std::string_view text;
  std::span<const Idx> suffix_array;
  typename suffix_array::LcpPlanes<Idx>::View lcp;
  std::span<const std::uint64_t> sentence_boundaries;  // ascending byte offsets
};
using AnalysisIndex = BasicAnalysisIndex<std::uint64_t>;

// What a stage has read for the last time, in the order the arrays are done with: the LCP array,
// then the suffix array as well. A caller may free them then.
enum class ArraysRead { Lcp, SuffixArray };

// The ranks [first, last) of the suffixes that share the first `length` bytes of the one at
// `rank`: a walk over the LCP entries around it.
template <class Idx>
[[nodiscard]] std::pair<std::size_t, std::size_t> ranks_sharing(
    const BasicAnalysisIndex<Idx>& index, std::size_t rank, std::uint64_t length) {
  const auto& lcp = index.lcp;
  std::size_t low = rank;
  while (low > 0 && lcp[low] >= length) --low;
  std::size_t high = rank + 1;
  while (high < lcp.size() && lcp[high] >= length) ++high;
  return {low, high};
}

}  // namespace quarnel::core::duplicate_finder
