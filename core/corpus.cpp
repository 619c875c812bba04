// The corpus driver: prepare the documents, find in the prepared text, place the finds in the
// documents of the prepared corpus, locate them in the documents as given.

#include "corpus.hpp"

#include <utility>
#include <vector>

#include "base/interrupt.hpp"
#include "base/large_array.hpp"
#include "corpus/locate.hpp"
#include "corpus/place.hpp"
#include "corpus/prepare.hpp"
#include "duplicate_finder/finder.hpp"

namespace quarnel::core::corpus {

Matches find_phrases(const SourceCorpus& source, const Preparation& preparation,
                     const duplicate_finder::FinderParams& params, const Selection& selection) {
  return detail::find_phrases(source, preparation, params, selection,
                              parallel::Lanes::for_size(source.text.size()));
}

Matches find_passages(const SourceCorpus& source, const Preparation& preparation,
                      const passages::PassageParams& params, const Selection& selection) {
  return detail::find_passages(source, preparation, params, selection,
                               parallel::Lanes::for_size(source.text.size()));
}

namespace detail {

Matches find_phrases(const SourceCorpus& source, const Preparation& preparation,
                     const duplicate_finder::FinderParams& params, const Selection& selection,
                     parallel::Lanes lanes) {
  const PreparedCorpus prepared = prepare(source, preparation);
  auto records = duplicate_finder::find_document_records(prepared.text, prepared.layout(), params);
  interrupt::checkpoint();
  PlacedGroups groups = placed_phrases(prepared, records, lanes);
  records = {};
  return_free_heap_pages();  // the records' blocks, before the columns are built
  return located(
      source, prepared, std::move(groups),
      [&](PlacedGroups found) { return selected_phrases(std::move(found), selection); }, lanes);
}

Matches find_passages(const SourceCorpus& source, const Preparation& preparation,
                      const passages::PassageParams& params, const Selection& selection,
                      parallel::Lanes lanes) {
  const PreparedCorpus prepared = prepare(source, preparation);
  std::vector<std::string_view> documents;
  documents.reserve(prepared.documents());
  for (std::size_t d = 0; d < prepared.documents(); ++d) documents.push_back(prepared.document(d));
  passages::Passages found = passages::find_passages(documents, params, lanes);
  interrupt::checkpoint();
  const auto shown = [&](PlacedGroups all) {
    return placed_passages(source, prepared, std::move(all.placed), selection);
  };
  PlacedGroups all;
  all.placed = std::move(found);
  return located(source, prepared, std::move(all), shown, lanes);
}

}  // namespace detail

}  // namespace quarnel::core::corpus
