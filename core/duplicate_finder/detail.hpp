#pragma once
// Seams of the duplicate finder for its tests: the stages one by one, so that each can be checked
// against its own rules, and the split of the work over two threads forced on small inputs.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/parallel.hpp"
#include "base/string_interner.hpp"
#include "duplicate_finder/analysis_index.hpp"
#include "duplicate_finder/blocks.hpp"
#include "duplicate_finder/containment.hpp"
#include "duplicate_finder/covered_intervals.hpp"
#include "duplicate_finder/finder.hpp"
#include "duplicate_finder/phrase_text.hpp"
#include "duplicate_finder/results.hpp"

namespace quarnel::core::duplicate_finder::detail {

// Where a call uses a second thread: on inputs of `min_split_size` bytes or more, when
// `allowed`. The default is the library's; tests lower the size to 0 to take every split path on
// small texts (the halves sort, the candidate scan by rank halves, the extension marks, records
// and results by halves, the block search beside the phrases).
struct Concurrency {
  bool allowed = parallel::threads_allowed();
  std::size_t min_split_size = parallel::kMinParallelSize;
  [[nodiscard]] parallel::Lanes lanes(std::size_t size) const {
    return parallel::Lanes::two_if(allowed && size >= min_split_size);
  }
};
inline constexpr Concurrency kNoSplit{false, 0};
inline constexpr Concurrency kEverySplit{true, 0};

[[nodiscard]] std::vector<phrase_records::PhraseResult> process_test_string(
    std::string_view analysis_text, std::string_view source_text,
    std::span<const normalize::RemovedRange> removed_ranges, const FinderParams& params,
    const Concurrency& concurrency);

[[nodiscard]] std::vector<phrase_records::PhraseData> find_document_records(
    std::string_view analysis_text, const DocumentLayout& documents, const FinderParams& params,
    const Concurrency& concurrency);

// Every run of neighbours sharing at least the phrase threshold is cut, at each of its word
// starts, into whitespace-normalised phrases of min_words..max_words words that stay inside one
// sentence and within the run's longest shared prefix. Phrases seen at two or more offsets
// become records, ordered by byte length descending, then first start ascending, and filtered by
// min_words_in_substring. `hash_key` only seeds the phrase table; the result does not depend on
// it. On two lanes, the scan and the records are split over both.
[[nodiscard]] std::vector<phrase_records::PhraseData> find_candidate_phrases(
    const AnalysisIndex& index, const FinderParams& params,
    const string_interner::HashKey& hash_key, parallel::Lanes lanes = {});

// find_candidate_phrases followed by eliminate_contained_phrases (when it yields two or more
// records), without building records for the eliminated phrases.
[[nodiscard]] std::vector<phrase_records::PhraseData> find_uncontained_candidates(
    const AnalysisIndex& index, const FinderParams& params,
    const string_interner::HashKey& hash_key, parallel::Lanes lanes = {});

[[nodiscard]] inline std::vector<phrase_records::PhraseResult> to_sorted_results(
    std::vector<phrase_records::PhraseData> records, std::string_view source_text) {
  return sorted_results(std::move(records), source_text, false, parallel::Lanes::one());
}

}  // namespace quarnel::core::duplicate_finder::detail
