#pragma once
// Containment (substring elimination): a phrase is dropped when it occurs, byte-wise, inside a
// longer phrase with at least its count that is not dropped itself. Phrases that are their own
// raw bytes are answered on the text, by one sweep over their occurrences (containment_on_text.*);
// the others by an Aho-Corasick automaton over the phrases an anchor prefilter leaves.
// Time: the sweep is linear in the occurrences after a radix sort; the automaton runs only over
// phrases in which an anchor was found; memory: 8 bytes per occurrence of the swept phrases
// (32-bit text, twice that while sorted), the automaton over the targets' bytes.

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "base/parallel.hpp"
#include "duplicate_finder/analysis_index.hpp"
#include "duplicate_finder/candidates.hpp"
#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"

namespace quarnel::core::duplicate_finder {

// By phrase, ordered by byte length descending: whether it occurs inside an earlier, unflagged
// phrase with at least its count.
[[nodiscard]] std::vector<char> flag_contained_phrases(std::span<const std::string_view> phrases,
                                                       std::span<const std::uint64_t> counts);

// Drops every record whose phrase occurs (byte-wise) inside the phrase of an earlier, not yet
// dropped record with at least its count. Expects records ordered by byte length descending.
[[nodiscard]] std::vector<phrase_records::PhraseData> eliminate_contained_phrases(
    std::vector<phrase_records::PhraseData> records);

// The same question for the candidates of a scan, by entry of `repeated`, which must be in
// record order. All zero unless the scan dropped contained windows (then the question is asked
// of the phrases alone, before any record is built). `arrays_read`, when given, runs once the
// index's LCP array is not read again and once its suffix array is not either, so that the caller
// may free them before the stage's largest allocations (on a large corpus they hold 6 bytes per
// byte). On two lanes, parts of the work run on a second thread.
template <class Idx>
[[nodiscard]] std::vector<char> contained_candidates(
    const BasicAnalysisIndex<Idx>& index, const Candidates<Idx>& scan,
    std::span<const RepeatedPhrase<Idx>> repeated, parallel::Lanes lanes,
    const std::function<void(ArraysRead)>& arrays_read = {});

}  // namespace quarnel::core::duplicate_finder
