#include "corpus/prepare.hpp"

#include <algorithm>

#include "base/errors.hpp"
#include "base/interrupt.hpp"

namespace quarnel::core::corpus {

PreparedCorpus prepare(const SourceCorpus& source, const Preparation& preparation) {
  PreparedCorpus prepared;
  const std::size_t n = source.starts.size();
  const bool normalizes = preparation.case_insensitive || preparation.collapse_whitespace;
  const bool removes = std::any_of(source.removed.begin(), source.removed.end(),
                                   [](const auto& ranges) { return !ranges.empty(); });
  if (!source.removed.empty() && source.removed.size() != n) {
    throw UsageError("removed: expected one list of ranges per document");
  }
  if (!normalizes && !removes) {
    prepared.text = source.text;
    prepared.starts.assign(source.starts.begin(), source.starts.end());
    prepared.ends.assign(source.ends.begin(), source.ends.end());
    return prepared;
  }
  prepared.owned.reserve(source.text.size());
  prepared.ways_back.resize(n);
  for (std::size_t d = 0; d < n; ++d) {
    const std::string_view doc =
        source.text.substr(source.starts[d], source.ends[d] - source.starts[d]);
    if (d > 0) prepared.owned.append(duplicate_finder::kDocumentSeparator);
    prepared.starts.push_back(prepared.owned.size());
    const std::span<const normalize::RemovedRange> removed =
        removes ? std::span<const normalize::RemovedRange>(source.removed[d])
                : std::span<const normalize::RemovedRange>();
    prepared.ways_back[d] =
        text_positions::append_prepared(doc, removed, preparation.case_insensitive,
                                        preparation.collapse_whitespace, prepared.owned);
    prepared.ends.push_back(prepared.owned.size());
    interrupt::checkpoint();
  }
  prepared.text = prepared.owned;
  return prepared;
}

}  // namespace quarnel::core::corpus
