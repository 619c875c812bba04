#pragma once
// Set-aside recovery: the windows the candidate scan did not store (windows hit at one start, or
// contained as often by the next window at their start) matter only when windows of other bytes
// have their phrase (a rewritten phrase equal to raw bytes, or white space spelt otherwise); then
// they are admitted as hits of it. Raw phrases equal to a rewritten one take its id. Nothing is
// looked at again when the text rewrote no phrase.
// Time: when rewritten phrases exist, one bitmap test per logged start (may a rewritten phrase
// begin as it does?), then a key and a filter test per raw window of the starts that pass (a
// suffix-array range walk for those admitted); per rewritten set-aside window, its phrase read
// once (twice for the few whose key repeats) and a table look-up; nothing when the text rewrote
// no phrase. Memory: the admitted hits, 8 bytes each, and about 30 bytes per rewritten set-aside
// window (32-bit text) while recovering.

#include "base/parallel.hpp"
#include "duplicate_finder/analysis_index.hpp"
#include "duplicate_finder/candidates.hpp"
#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"
#include "duplicate_finder/positions.hpp"

namespace quarnel::core::duplicate_finder {

// Adds to `scan` the admitted hits and the rewritten set-aside phrases met elsewhere, joins raw
// phrases to equal rewritten ones, and clears the set-aside logs. `index`, `positions` and
// `params` are those of the scan: the logged windows are cut again from them. On two lanes, the
// raw set-aside windows are looked at on two threads.
template <class Idx>
void recover_set_aside(const BasicAnalysisIndex<Idx>& index, const PositionIndex& positions,
                       const FinderParams& params, Candidates<Idx>& scan, parallel::Lanes lanes);

}  // namespace quarnel::core::duplicate_finder
