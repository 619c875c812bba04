#pragma once
// The analysis text with the arrays every stage looks things up in.

#include <cstdint>
#include <span>
#include <string_view>

namespace quarnel::core::duplicate_finder {

// Words need no lists: a word starts wherever a word byte follows a non-word byte and ends where
// a non-word byte (or the end of the text) follows a word byte, exactly the tokenizer's word
// starts and ends. `Idx` is the entry type of the suffix array and the LCP array: 32 bits halve
// the memory traffic of every stage on texts below 4 GiB.
template <class Idx>
struct BasicAnalysisIndex {
  std::string_view text;
  std::span<const Idx> suffix_array;
  std::span<const Idx> lcp;
  std::span<const std::uint64_t> sentence_boundaries;  // ascending byte offsets
};
using AnalysisIndex = BasicAnalysisIndex<std::uint64_t>;

}  // namespace quarnel::core::duplicate_finder
