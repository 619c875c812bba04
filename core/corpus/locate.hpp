#pragma once
// Placed occurrences located in the documents as given: their character offsets, the lines and
// columns of their first and last characters, and the words of each document and of those the
// ones some occurrence covers.
// Cost: one pass over the source for its position table and one over the analysis text for its
// word starts (beside it, on two lanes), then O(1) per occurrence, on two lanes; memory: the
// tables (about 1 byte per text byte) and 16 bytes per occurrence for the line and column columns.

#include "base/parallel.hpp"
#include "corpus.hpp"
#include "corpus/place.hpp"
#include "corpus/prepare.hpp"

namespace quarnel::core::corpus {

[[nodiscard]] Matches located(const SourceCorpus& source, const PreparedCorpus& prepared,
                              PlacedGroups groups, parallel::Lanes lanes);

}  // namespace quarnel::core::corpus
