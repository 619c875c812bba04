#include "duplicate_finder/interval_merger.hpp"

#include <algorithm>
#include <utility>

#include "base/prefetch.hpp"
#include "base/radix_sort.hpp"
#include "text/utf.hpp"
#include "text/white_space.hpp"

namespace quarnel::core::interval_merger {
namespace {

using phrase_records::PhraseData;

// Count descending, then first start ascending; a record without starts sorts before every
// record with starts of its count. The key also carries what decides most merges (the first
// occurrence of each record), so that the records themselves are only read where one may merge.
struct SortKey {
  std::uint64_t count;
  bool has_start;
  bool has_end;
  std::uint64_t first_start;
  std::uint64_t first_end;
  std::size_t index;
};

std::vector<SortKey> merge_order(const std::vector<PhraseData>& records) {
  std::vector<SortKey> keys(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    const PhraseData& r = records[i];
    keys[i] = {r.count,
               !r.starts.empty(),
               !r.ends.empty(),
               r.starts.empty() ? 0 : r.starts.front(),
               r.ends.empty() ? 0 : r.ends.front(),
               i};
  }
  // Stable passes, least significant key first.
  std::uint64_t most = 0;
  for (const SortKey& k : keys) most = std::max(most, k.count);
  radix_sort_by_position(keys, [](const SortKey& k) { return k.first_start; });
  radix_sort_by_position(keys, [](const SortKey& k) { return k.has_start ? 1U : 0U; });
  radix_sort_by_position(keys, [&](const SortKey& k) { return most - k.count; });
  return keys;
}

// What the keys alone rule out: different counts, or first occurrences too far apart.
bool may_merge(const SortKey& prev, const SortKey& cur) {
  return prev.count == cur.count && cur.has_start && prev.has_end &&
         cur.first_start - prev.first_end <= kMaxMergeGap;
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
  while (pos < text.size() && utf::is_continuation_byte(static_cast<unsigned char>(text[pos]))) {
    ++pos;
  }
  return pos;
}

std::string merged_phrase_text(std::string_view text, std::uint64_t start, std::uint64_t end) {
  const std::size_t begin = std::min<std::uint64_t>(start, text.size());
  const std::size_t stop = std::max(begin, next_char_boundary(text, end));
  return std::string(white_space::trim_white_space(text.substr(begin, stop - begin)));
}

PhraseData merge_pair(const PhraseData& prev, const PhraseData& cur, std::string_view text) {
  PhraseData merged;
  merged.phrase = merged_phrase_text(text, prev.starts.front(), cur.ends.front());
  merged.starts = prev.starts;
  merged.ends = cur.ends;
  merged.count = prev.count;
  merged.string_length = merged.phrase.size();
  merged.number_of_words = white_space::count_whitespace_words(merged.phrase);
  return merged;
}

// The records lie in key order, but their occurrences are scattered: those of a record that may
// merge are requested a few steps before `mergeable` reads them.
void prefetch_ahead(const std::vector<PhraseData>& records, std::size_t k) {
  constexpr std::size_t kOccurrences = 4;
  if (k + kOccurrences < records.size()) {
    const PhraseData& r = records[k + kOccurrences];
    if (!r.starts.empty()) prefetch_read(r.starts.data());
    if (!r.ends.empty()) prefetch_read(r.ends.data());
  }
}

}  // namespace

// The records are put in key order where they are, and merged records are written back over the
// ones they replace: on a large corpus the records are tens of millions, and a second array of
// them would cost as much as their occurrences.
std::vector<PhraseData> merge_adjacent_phrases(std::vector<PhraseData> records,
                                               std::string_view analysis_text) {
  if (records.empty()) return records;
  const std::vector<SortKey> keys = merge_order(records);
  arrange_in_place(records, [&](std::size_t k) { return keys[k].index; });
  std::size_t kept = 0;
  SortKey prev_key = keys.front();
  PhraseData prev = std::move(records.front());
  for (std::size_t k = 1; k < keys.size(); ++k) {
    prefetch_ahead(records, k);
    PhraseData& cur = records[k];
    if (may_merge(prev_key, keys[k]) && mergeable(prev, cur)) {
      prev = merge_pair(prev, cur, analysis_text);
      prev_key.has_end = keys[k].has_end;  // the merged record ends where cur ends
      prev_key.first_end = keys[k].first_end;
      cur = PhraseData{};
    } else {
      records[kept++] = std::move(prev);
      prev = std::move(cur);
      prev_key = keys[k];
    }
  }
  records[kept++] = std::move(prev);
  records.resize(kept);
  return records;
}

}  // namespace quarnel::core::interval_merger
