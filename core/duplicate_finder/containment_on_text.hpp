#pragma once
// Containment on the text, the first half of containment for the candidates: phrases that are
// their own raw bytes are compared by one sweep over the occurrences of every phrase in the
// text, sorted by start. Time: linear in the occurrences after a radix sort; memory: 8 bytes
// per occurrence of the swept phrases (32-bit text), twice that while they are sorted.

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "base/parallel.hpp"
#include "duplicate_finder/analysis_index.hpp"
#include "duplicate_finder/candidates.hpp"

namespace quarnel::core::duplicate_finder {

// Flags in `contained` (by entry of `repeated`, in record order) every phrase that occurs in the
// text inside an occurrence of a longer phrase of `repeated` that is its own raw bytes (one with
// a rank in `rank_of`, by id) with at least its count. Returns, by entry, whether the phrase is
// its own raw bytes: pairs whose container is not are left to the caller. `arrays_read` runs
// once the LCP array is read for the last time, before the occurrences are gathered, and once the
// suffix array is, before the sweep's largest allocation. On two lanes, the phrases are looked up
// on two threads.
template <class Idx>
[[nodiscard]] std::vector<char> flag_contained_on_text(
    const BasicAnalysisIndex<Idx>& index, std::span<const Idx> rank_of,
    std::span<const RepeatedPhrase<Idx>> repeated, std::vector<char>& contained,
    parallel::Lanes lanes, const std::function<void(ArraysRead)>& arrays_read);

}  // namespace quarnel::core::duplicate_finder
