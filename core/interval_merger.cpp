#include "interval_merger.hpp"

#include <algorithm>
#include <utility>

namespace quarnel::core::interval_merger {
namespace {

using types::PhraseData;

// Count descending, then first start ascending; a record without starts sorts before every
// record with starts of its count. Keys are taken out once, so the sort moves small values.
struct SortKey {
  std::uint64_t count;
  bool has_start;
  std::uint64_t first_start;
  std::size_t index;
};

void sort_for_merging(std::vector<PhraseData>& records) {
  std::vector<SortKey> keys(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    const PhraseData& r = records[i];
    keys[i] = {r.count, !r.starts.empty(), r.starts.empty() ? 0 : r.starts.front(), i};
  }
  std::stable_sort(keys.begin(), keys.end(), [](const SortKey& a, const SortKey& b) {
    if (a.count != b.count) return a.count > b.count;
    if (a.has_start != b.has_start) return !a.has_start;
    return a.first_start < b.first_start;
  });
  std::vector<PhraseData> sorted;
  sorted.reserve(records.size());
  for (const SortKey& k : keys) sorted.push_back(std::move(records[k.index]));
  records = std::move(sorted);
}

// The gap is taken in wrapping arithmetic: a cur occurrence that begins before prev's ends gives
// a huge difference, so overlapping records never merge.
bool mergeable(const PhraseData& prev, const PhraseData& cur) {
  if (prev.count != cur.count || prev.starts.size() != cur.starts.size()) return false;
  if (prev.ends.size() < prev.starts.size() || cur.starts.empty()) return false;
  for (std::size_t i = 0; i < cur.starts.size(); ++i) {
    if (cur.starts[i] - prev.ends[i] > kMaxMergeGap) return false;
  }
  return true;
}

// An end computed from a whitespace-collapsed phrase can fall inside a multi-byte character;
// moving it to the next character boundary keeps the slice valid UTF-8.
std::size_t next_char_boundary(std::string_view text, std::uint64_t offset) {
  std::size_t pos = static_cast<std::size_t>(std::min<std::uint64_t>(offset, text.size()));
  while (pos < text.size() && types::is_utf8_continuation(static_cast<unsigned char>(text[pos]))) {
    ++pos;
  }
  return pos;
}

std::string merged_phrase_text(std::string_view text, std::uint64_t start, std::uint64_t end) {
  const std::size_t begin = std::min<std::uint64_t>(start, text.size());
  const std::size_t stop = std::max(begin, next_char_boundary(text, end));
  return std::string(types::trim_white_space(text.substr(begin, stop - begin)));
}

PhraseData merge_pair(const PhraseData& prev, const PhraseData& cur, std::string_view text) {
  PhraseData merged;
  merged.phrase = merged_phrase_text(text, prev.starts.front(), cur.ends.front());
  merged.starts = prev.starts;
  merged.ends = cur.ends;
  merged.count = prev.count;
  merged.string_length = merged.phrase.size();
  merged.number_of_words = types::count_whitespace_words(merged.phrase);
  return merged;
}

}  // namespace

std::vector<PhraseData> merge_adjacent_phrases(std::vector<PhraseData> records,
                                               std::string_view analysis_text) {
  if (records.empty()) return records;
  sort_for_merging(records);
  std::vector<PhraseData> merged;
  merged.reserve(records.size());
  PhraseData prev = std::move(records.front());
  for (std::size_t i = 1; i < records.size(); ++i) {
    PhraseData& cur = records[i];
    if (mergeable(prev, cur)) {
      prev = merge_pair(prev, cur, analysis_text);
      cur = PhraseData{};
    } else {
      merged.push_back(std::move(prev));
      prev = std::move(cur);
    }
  }
  merged.push_back(std::move(prev));
  return merged;
}

}  // namespace quarnel::core::interval_merger
