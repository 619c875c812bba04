#pragma once
// Set-aside recovery: the windows the candidate scan did not store (raw windows hit at one start,
// or contained as often by the next window at their start) matter only when a rewritten phrase
// (one that normalisation changed) equals their bytes; then they are admitted as hits of it.
// Raw phrases equal to a rewritten one take its id. Nothing is looked at again when the text
// rewrote no phrase.
// Time: one filter test per set-aside entry when rewritten phrases exist (a suffix-array range
// walk for those that pass), none otherwise; memory: the admitted hits, 8 bytes each.

#include <cstdint>

#include "duplicate_finder/candidate_scan.hpp"

namespace quarnel::core::duplicate_finder {

template <class Idx>
void recover_set_aside(CandidateCollector<Idx>& scan);

}  // namespace quarnel::core::duplicate_finder
