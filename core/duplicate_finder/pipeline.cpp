// The driver: the stages in pipeline order, and which of them run on the second thread. Two
// lanes at most: this thread builds the suffix and LCP arrays and then the phrases; the second
// finds the sentence boundaries while the arrays are built, and the blocks (when asked for) while
// the phrases after the candidate scan are put together. A stage that splits its own work over
// both lanes is handed the call's `Lanes`, one while the other lane is busy.

#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "base/interrupt.hpp"
#include "base/large_array.hpp"
#include "base/parallel.hpp"
#include "duplicate_finder/analysis_index.hpp"
#include "duplicate_finder/blocks.hpp"
#include "duplicate_finder/candidate_scan.hpp"
#include "duplicate_finder/containment.hpp"
#include "duplicate_finder/detail.hpp"
#include "duplicate_finder/documents.hpp"
#include "duplicate_finder/interval_merger.hpp"
#include "duplicate_finder/positions.hpp"
#include "duplicate_finder/record_assembly.hpp"
#include "duplicate_finder/results.hpp"
#include "duplicate_finder/set_aside_recovery.hpp"
#include "suffix_array/construction.hpp"
#include "suffix_array/halves_sort.hpp"
#include "suffix_array/lcp.hpp"
#include "suffix_array/lcp_planes.hpp"
#include "text/sentence_splitter.hpp"
#include "text/utf.hpp"

namespace quarnel::core::duplicate_finder {
namespace {

using phrase_records::PhraseData;
using phrase_records::PhraseResult;

template <class Idx, class Lcp = suffix_array::LcpPlanes<Idx>>
struct AnalysisArrays {
  std::vector<Idx> suffix_array;
  Lcp lcp;
  std::vector<std::uint64_t> sentence_boundaries;
};

// The suffix and LCP arrays of the text, and its sentence boundaries found meanwhile (on the
// second lane when there is one, or while the second lane sorts its half).
template <class Idx>
AnalysisArrays<Idx, std::vector<Idx>> analysis_arrays(std::string_view text,
                                                      const DocumentLayout& documents,
                                                      parallel::Lanes lanes) {
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size());
  const auto sentences = [&] {
    return documents.single() ? sentence_splitter::sentence_boundary_offsets(text)
                              : document_sentence_boundaries(text, documents);
  };
  if constexpr (std::is_same_v<Idx, std::uint32_t>) {
    auto [sa, lcp, found] = suffix_array::build_sa32_and_lcp_beside(bytes, lanes, sentences);
    return {std::move(sa), std::move(lcp), std::move(found)};
  } else {
    constexpr auto kAuto = suffix_array::SuffixArrayBackend::Auto;
    auto [sa, found] = parallel::both(
        lanes, [&] { return suffix_array::build_suffix_array_bytes_with_backend(bytes, kAuto); },
        sentences);
    auto lcp = suffix_array::lcp_kasai<std::uint8_t>(bytes, sa, lanes);
    return {std::move(sa), std::move(lcp), std::move(found)};
  }
}

// The arrays with every LCP entry cut at its neighbours' document ends, the LCP array then
// narrowed into planes: from the candidate scan to containment, the stages' tables sit beside it.
template <class Idx>
AnalysisArrays<Idx> document_arrays(std::string_view text, const DocumentLayout& documents,
                                    parallel::Lanes lanes) {
  auto arrays = analysis_arrays<Idx>(text, documents, lanes);
  if (!documents.single()) {
    cut_at_document_ends(std::span<Idx>(arrays.lcp), std::span<const Idx>(arrays.suffix_array),
                         DocumentEnds(documents, text.size()), lanes);
  }
  return {std::move(arrays.suffix_array), suffix_array::LcpPlanes<Idx>(std::move(arrays.lcp)),
          std::move(arrays.sentence_boundaries)};
}

// Frees the suffix and LCP arrays; the index over them is not to be read again.
template <class Idx>
void release_sorted_arrays(AnalysisArrays<Idx>& arrays) {
  std::vector<Idx>().swap(arrays.suffix_array);
  arrays.lcp = {};
}

// Candidates with containment, set-aside recovery and record assembly, for the test seams.
template <class Idx>
std::vector<PhraseData> candidate_records(const BasicAnalysisIndex<Idx>& index,
                                          const FinderParams& params,
                                          const string_interner::HashKey& key, bool drop_contained,
                                          parallel::Lanes lanes) {
  const PositionIndex positions(index.text, index.sentence_boundaries);
  auto scan = scan_candidates(index, positions, params, key, drop_contained, lanes);
  recover_set_aside(index, positions, params, scan, lanes);
  auto repeated = repeated_phrases(scan, params, lanes);
  const auto contained =
      contained_candidates(index, scan, std::span<const RepeatedPhrase<Idx>>(repeated), lanes);
  return assemble_records(std::move(scan), std::move(repeated), contained, lanes);
}

// Stages 1 to 10: the records in analysis-text offsets, merged, with blocks when asked for.
template <class Idx>
std::vector<PhraseData> find_records(std::string_view analysis_text,
                                     const DocumentLayout& documents, const FinderParams& params,
                                     bool ascii_text, parallel::Lanes lanes) {
  auto arrays = document_arrays<Idx>(analysis_text, documents, lanes);
  interrupt::checkpoint();
  const BasicAnalysisIndex<Idx> index{analysis_text, arrays.suffix_array, arrays.lcp,
                                      arrays.sentence_boundaries};
  std::optional<PositionIndex> positions(std::in_place, analysis_text, arrays.sentence_boundaries);
  auto scan =
      scan_candidates(index, *positions, params, string_interner::process_hash_key(), true, lanes);
  interrupt::checkpoint();
  // The block search reads only the arrays: from here to the merge it has the second thread.
  const auto search = [&] { return find_blocks(index, params, ascii_text); };
  std::optional<parallel::SideTask<decltype(search)>> blocks;
  if (params.enable_block_detection) blocks.emplace(lanes, search);
  const parallel::Lanes after_scan = lanes.without_second(blocks && blocks->on_second_thread());
  recover_set_aside(index, *positions, params, scan, after_scan);
  positions.reset();  // a byte per text byte, and no later stage reads it
  auto repeated = repeated_phrases(scan, params, after_scan);
  // Nothing after containment's last read of the arrays reads them but the block search: without
  // it, their room (6 bytes per byte) goes to containment's sweep and to the records. The LCP
  // array goes first, before the sweep gathers the occurrences from the suffix array.
  const auto contained =
      contained_candidates(index, scan, std::span<const RepeatedPhrase<Idx>>(repeated), after_scan,
                           [&](ArraysRead read) {
                             if (blocks) return;
                             if (read == ArraysRead::Lcp) {
                               arrays.lcp = {};
                             } else {
                               release_sorted_arrays(arrays);
                             }
                           });
  auto records = assemble_records(std::move(scan), std::move(repeated), contained, after_scan);
  return_free_heap_pages();  // the scan's tables, scattered over the heap
  interrupt::checkpoint();
  if (records.size() >= 2) {
    records = interval_merger::merge_adjacent_phrases(std::move(records), analysis_text);
  }
  if (blocks) records = with_blocks(std::move(records), blocks->get(), analysis_text.size());
  return records;
}

// Every stage in order. Working arrays live inside find_records only: they are released before
// the results are built.
template <class Idx>
std::vector<PhraseResult> run_stages(std::string_view analysis_text, std::string_view source_text,
                                     std::span<const normalize::RemovedRange> removed_ranges,
                                     const FinderParams& params,
                                     const detail::Concurrency& concurrency) {
  const bool ascii_text = utf::is_ascii(analysis_text);
  auto records = find_records<Idx>(analysis_text, {}, params, ascii_text,
                                   concurrency.lanes(analysis_text.size()));
  interrupt::checkpoint();
  translate_offsets(records, removed_ranges);
  // Phrases are slices of the analysis text, trimmed or with white space made single spaces.
  return sorted_results(std::move(records), source_text, ascii_text,
                        concurrency.lanes(source_text.size()));
}

}  // namespace

std::vector<PhraseResult> process_test_string(
    std::string_view analysis_text, std::string_view source_text,
    std::span<const normalize::RemovedRange> removed_ranges, const FinderParams& params) {
  return detail::process_test_string(analysis_text, source_text, removed_ranges, params, {});
}

std::vector<PhraseData> find_document_records(std::string_view analysis_text,
                                              const DocumentLayout& documents,
                                              const FinderParams& params) {
  return detail::find_document_records(analysis_text, documents, params, {});
}

namespace detail {

std::vector<PhraseData> find_document_records(std::string_view analysis_text,
                                              const DocumentLayout& documents,
                                              const FinderParams& params,
                                              const Concurrency& concurrency) {
  const bool ascii_text = utf::is_ascii(analysis_text);
  const parallel::Lanes lanes = concurrency.lanes(analysis_text.size());
  return suffix_array::fits_32_bit_entries(analysis_text.size())
             ? find_records<std::uint32_t>(analysis_text, documents, params, ascii_text, lanes)
             : find_records<std::uint64_t>(analysis_text, documents, params, ascii_text, lanes);
}

std::vector<PhraseResult> process_test_string(
    std::string_view analysis_text, std::string_view source_text,
    std::span<const normalize::RemovedRange> removed_ranges, const FinderParams& params,
    const Concurrency& concurrency) {
  return suffix_array::fits_32_bit_entries(analysis_text.size())
             ? run_stages<std::uint32_t>(analysis_text, source_text, removed_ranges, params,
                                         concurrency)
             : run_stages<std::uint64_t>(analysis_text, source_text, removed_ranges, params,
                                         concurrency);
}

std::vector<PhraseData> find_candidate_phrases(const AnalysisIndex& index,
                                               const FinderParams& params,
                                               const string_interner::HashKey& hash_key,
                                               parallel::Lanes lanes) {
  return candidate_records(index, params, hash_key, false, lanes);
}

std::vector<PhraseData> find_uncontained_candidates(const AnalysisIndex& index,
                                                    const FinderParams& params,
                                                    const string_interner::HashKey& hash_key,
                                                    parallel::Lanes lanes) {
  return candidate_records(index, params, hash_key, true, lanes);
}

}  // namespace detail
}  // namespace quarnel::core::duplicate_finder
