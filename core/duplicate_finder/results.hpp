#pragma once
// Results: offsets carried from the analysis text to the source text through the removed ranges,
// then records converted to results in UTF-16 code units of the source text, in final order
// (phrase length in code points, descending, stable).
// Time: one bisection of the delta table per offset when ranges were removed; one pass over the
// source text for its position map (none when it is ASCII), one radix sort of the records, and
// an O(1) lookup per offset; memory: the map (text_positions.hpp: n/2 bytes, n/4 more with
// characters beyond the BMP), plus the results (16 bytes per occurrence and the phrases).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/parallel.hpp"
#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"
#include "text/normalize.hpp"

namespace quarnel::core::duplicate_finder {

// Maps every start and end from the analysis text to the source text.
void translate_offsets(std::vector<phrase_records::PhraseData>& records,
                       std::span<const normalize::RemovedRange> removed_ranges);

// Converts records to results in UTF-16 offsets of `source_text` and sorts them stably by
// phrase length in code points, descending. `ascii_phrases`: every phrase is ASCII (they come
// from an ASCII analysis text), so its code points are its bytes. The results are built in two
// halves on the call's lanes.
[[nodiscard]] std::vector<phrase_records::PhraseResult> sorted_results(
    std::vector<phrase_records::PhraseData> records, std::string_view source_text,
    bool ascii_phrases, parallel::Lanes lanes);

}  // namespace quarnel::core::duplicate_finder
