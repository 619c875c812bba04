#pragma once
// Joins repeated phrases whose occurrences follow one another closely into single records.

#include <string_view>
#include <vector>

#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"

namespace quarnel::core::interval_merger {

// Largest number of bytes between the end of one phrase's occurrence and the start of the next
// phrase's matching occurrence for the two to merge ('. ' or ',\n' between sentences).
inline constexpr std::uint64_t kMaxMergeGap = 2;

// Sorts the records by count descending, then first start ascending (stable), and merges each
// record into its predecessor when both have the same count and every occurrence of the latter
// begins 0 to kMaxMergeGap bytes after the matching occurrence of the former ends. A merged
// record's phrase is the analysis text it spans, trimmed of white space.
[[nodiscard]] std::vector<phrase_records::PhraseData> merge_adjacent_phrases(
    std::vector<phrase_records::PhraseData> records, std::string_view analysis_text);

}  // namespace quarnel::core::interval_merger
