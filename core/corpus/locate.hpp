#pragma once
// Placed occurrences located in the documents as given: their character offsets, the lines and
// columns of their first and last characters, and the words of each document and of those the
// ones some occurrence covers.
// The words are counted over every occurrence found, and only the groups returned are located.
// Cost: one pass over the source for its position table (beside the rest, on two lanes) and one
// over the analysis text for its word starts, then O(1) per occurrence, on two lanes; memory: the
// tables (about 1 byte per text byte) and 16 bytes per occurrence returned for the line and
// column columns.

#include <functional>

#include "base/parallel.hpp"
#include "corpus.hpp"
#include "corpus/place.hpp"
#include "corpus/prepare.hpp"

namespace quarnel::core::corpus {

// `shown` turns the groups found into those returned (freeing the others' rows), with the
// totals found.
[[nodiscard]] Matches located(const SourceCorpus& source, const PreparedCorpus& prepared,
                              PlacedGroups found,
                              const std::function<PlacedGroups(PlacedGroups)>& shown,
                              parallel::Lanes lanes);

}  // namespace quarnel::core::corpus
