#pragma once
// The candidate scan: every run of suffix-array neighbours sharing at least the phrase threshold
// is cut, at each of its word starts, into whitespace-normalised windows of min_words..max_words
// words that stay inside one sentence and within the run's longest shared prefix, and the
// windows are recorded by phrase id and start. The stages after the scan (set-aside recovery,
// record assembly, containment) take the `Candidates` it returns.
// Time: one visit per rank inside a run and one classification per distinct window of a run;
// memory: the phrase table and the hit lists (8 bytes per start with a new list of windows, on a
// 32-bit text), 3 to 5 bytes per text byte on the bench prose (DESIGN.md).

#include "base/parallel.hpp"
#include "base/string_interner.hpp"
#include "duplicate_finder/analysis_index.hpp"
#include "duplicate_finder/candidates.hpp"
#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"
#include "duplicate_finder/positions.hpp"

namespace quarnel::core::duplicate_finder {

// The candidate scan of `index`, on the call's lanes (the upper ranks by a second
// collector, then absorbed). With `drop_contained`, raw windows that a longer window at their
// start contains as often are set aside instead of stored. Offsets are stored in the width of the
// suffix array's entries.
template <class Idx>
[[nodiscard]] Candidates<Idx> scan_candidates(const BasicAnalysisIndex<Idx>& index,
                                              const PositionIndex& positions,
                                              const FinderParams& params,
                                              const string_interner::HashKey& key,
                                              bool drop_contained, parallel::Lanes lanes);

}  // namespace quarnel::core::duplicate_finder
