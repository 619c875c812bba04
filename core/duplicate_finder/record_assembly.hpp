#pragma once
// Record assembly: counts the starts of every phrase the scan recorded, drops the phrases that a
// window of at least their count extends (with `drop_contained`), orders the rest by byte length
// descending, then first start, and builds the records of those that survive containment.
// Time: one pass over the hits per step, radix sorts by position; memory: 2 offsets per phrase
// id for the counts, then the records themselves (their starts and ends, 16 bytes per
// occurrence, and their phrases).

#include <span>
#include <vector>

#include "base/parallel.hpp"
#include "duplicate_finder/candidates.hpp"
#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"

namespace quarnel::core::duplicate_finder {

// The phrases of `scan` seen at two or more offsets with min_words_in_substring words (with
// `drop_contained`, not extended by a window of at least their count), by byte length
// descending, then first start ascending (a total order). On two lanes, the two extension marks
// run on two threads.
template <class Idx>
[[nodiscard]] std::vector<RepeatedPhrase<Idx>> repeated_phrases(const Candidates<Idx>& scan,
                                                                const FinderParams& params,
                                                                parallel::Lanes lanes);

// The records of the entries of `repeated` not flagged in `contained`, in that order; the scan
// is released on return. Built in two halves on the call's lanes.
template <class Idx>
[[nodiscard]] std::vector<phrase_records::PhraseData> assemble_records(
    Candidates<Idx> scan, std::vector<RepeatedPhrase<Idx>> repeated,
    std::span<const char> contained, parallel::Lanes lanes);

}  // namespace quarnel::core::duplicate_finder
