#include "duplicate_finder/results.hpp"

#include <algorithm>
#include <numeric>

#include "base/parallel.hpp"
#include "base/prefetch.hpp"
#include "base/radix_sort.hpp"
#include "text/text_positions.hpp"
#include "text/utf.hpp"

namespace quarnel::core::duplicate_finder {
namespace {

using phrase_records::PhraseData;
using phrase_records::PhraseResult;
using text_positions::TextPositions;

// Occurrences lie scattered over the text; lookups run this many occurrences behind the requests
// for their memory, which also reach into the next records.
constexpr std::size_t kPrefetchedOccurrences = 4;

void prefetch_first_occurrences(const PhraseData& record, const TextPositions& positions) {
  const std::size_t n =
      std::min({record.starts.size(), record.ends.size(), kPrefetchedOccurrences});
  for (std::size_t i = 0; i < n; ++i) {
    positions.prefetch(record.starts[i]);
    positions.prefetch(record.ends[i]);
  }
}

PhraseResult to_result(PhraseData record, std::uint64_t code_points,
                       const TextPositions& positions) {
  PhraseResult result;
  const std::size_t n = std::min(record.starts.size(), record.ends.size());
  result.occurrences.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kPrefetchedOccurrences < n) {
      positions.prefetch(record.starts[i + kPrefetchedOccurrences]);
      positions.prefetch(record.ends[i + kPrefetchedOccurrences]);
    }
    result.occurrences.push_back(
        {positions.utf16(record.starts[i]), positions.utf16(record.ends[i])});
  }
  result.count = n;
  result.string_length = code_points;
  result.number_of_words = record.number_of_words;
  result.phrase = std::move(record.phrase);
  return result;
}

}  // namespace

void translate_offsets(std::vector<PhraseData>& records,
                       std::span<const normalize::RemovedRange> removed_ranges) {
  if (removed_ranges.empty()) return;
  const text_positions::WayBack way_back{normalize::build_cumulative_deltas(removed_ranges), {}};
  for (PhraseData& record : records) {
    for (auto& s : record.starts) s = way_back.to_source(s);
    for (auto& e : record.ends) e = way_back.to_source(e);
  }
}

// The order is settled on indices first, so each result is built once, in place.
std::vector<PhraseResult> sorted_results(std::vector<PhraseData> records,
                                         std::string_view source_text, bool ascii_phrases,
                                         parallel::Lanes lanes) {
  std::vector<std::uint64_t> code_points(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    code_points[i] =
        ascii_phrases ? records[i].phrase.size() : utf::count_code_points(records[i].phrase);
  }
  std::vector<std::size_t> order(records.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  // Stable, as the final order must be: a radix sort is.
  const std::uint64_t most =
      code_points.empty() ? 0 : *std::max_element(code_points.begin(), code_points.end());
  radix_sort_by_position(order, [&](std::size_t k) { return most - code_points[k]; });
  const TextPositions positions(source_text, text_positions::Lines::kUncounted);
  std::vector<PhraseResult> results(records.size());
  // Records are taken in a scattered order: each is requested some steps ahead, and its first
  // occurrences one step ahead. Each result depends on its record alone, so the two halves can
  // be built on two lanes.
  constexpr std::size_t kRecordsAhead = 8;
  parallel::over_parts(lanes, order.size(), order.size() / 2, [&](parallel::Part part) {
    const std::size_t end = part.end;
    for (std::size_t k = part.begin; k < end; ++k) {
      if (k + kRecordsAhead < end) prefetch_read(&records[order[k + kRecordsAhead]]);
      if (k + 1 < end) prefetch_first_occurrences(records[order[k + 1]], positions);
      results[k] = to_result(std::move(records[order[k]]), code_points[order[k]], positions);
    }
  });
  return results;
}

}  // namespace quarnel::core::duplicate_finder
