#include "duplicate_finder/record_assembly.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <string>

#include "base/parallel.hpp"
#include "base/prefetch.hpp"
#include "base/radix_sort.hpp"
#include "duplicate_finder/phrase_text.hpp"

namespace quarnel::core::duplicate_finder {
namespace {

using phrase_records::PhraseData;

// The offsets of one phrase arrive in suffix-array order, often already ascending or exactly
// descending (copies of a repeated passage sort by how much text follows them).
template <class It>
void sort_offsets(It begin, It end) {
  if (std::is_sorted(begin, end)) return;
  if (std::is_sorted(begin, end, std::greater<>())) {
    std::reverse(begin, end);
  } else {
    std::sort(begin, end);
  }
}

// By phrase id: its starts, and the first of them.
template <class Offset>
struct HitCounts {
  std::vector<Offset> counts;
  std::vector<Offset> first_start;
};

// Every (phrase, start) pair is hit once: windows of one start with one phrase were merged
// when recorded, and a lonely window sharing a rewritten window's start and phrase was dropped.
// So counting hits counts distinct starts, and offsets are gathered only for the phrases that
// end up as records.
template <class Offset>
HitCounts<Offset> count_hits(const Candidates<Offset>& scan) {
  const std::size_t ids = scan.phrases.size();
  HitCounts<Offset> out{std::vector<Offset>(ids, 0),
                        std::vector<Offset>(ids, std::numeric_limits<Offset>::max())};
  scan.hits.for_each_hit([&](std::uint32_t id, Offset p) {
    ++out.counts[id];
    out.first_start[id] = std::min(out.first_start[id], p);
  });
  return out;
}

// A phrase is eliminated exactly when some longer candidate containing it has at least its
// count: flags never chain past a survivor, so the order of the scan does not matter, and
// dropping phrases known to be eliminated leaves the outcome for the others unchanged. A window
// is contained in the longer windows at its start and in every window from an earlier start to
// its end; phrases with such a container of at least their count (two or more) are marked here
// and dropped before the automaton. On a duplicated passage that leaves a few windows per
// sentence instead of one per pair of words. A container has at least the words of what it
// contains, so it passes the word filter whenever the contained phrase does.
template <class Offset>
bool extends(std::uint32_t outer, std::uint32_t inner, std::span<const Offset> counts) {
  return outer != inner && counts[inner] >= 2 && counts[outer] >= counts[inner];
}

// Within a list (one start's windows, shortest first) every later window contains an earlier
// one; the largest later count decides.
template <class Offset>
void mark_right_extensions(const HitLists<Offset>& hits, std::span<const Offset> counts,
                           std::vector<char>& extended) {
  for (std::size_t list = 0; list + 1 < hits.begin.size(); ++list) {
    std::uint32_t widest = 0;  // the later window with the largest count
    bool any_later = false;
    for (std::uint64_t k = hits.begin[list + 1]; k-- > hits.begin[list];) {
      const std::uint32_t id = hits.windows[k].id;
      if (any_later && extends(widest, id, counts)) extended[id] = 1;
      if (!any_later || counts[id] > counts[widest]) widest = id;
      any_later = true;
    }
  }
}

// Lists are stored in the order they were recorded, so a walk in text order reads them
// scattered: the list bounds, the windows and then the counts of hits ahead are requested in
// turn, each once the one before has had time to arrive.
template <class Offset>
void prefetch_list_of(const HitLists<Offset>& lists,
                      std::span<const typename HitLists<Offset>::PositionHits> hits, std::size_t k,
                      std::span<const Offset> counts) {
  constexpr std::size_t kBounds = 24, kWindows = 12, kCounts = 6;
  if (k + kBounds < hits.size()) prefetch_read(&lists.begin[hits[k + kBounds].list]);
  if (k + kWindows < hits.size()) {
    prefetch_read(&lists.windows[lists.begin[hits[k + kWindows].list]]);
  }
  if (k + kCounts < hits.size()) {
    const std::uint64_t list = hits[k + kCounts].list;
    for (std::uint64_t w = lists.begin[list]; w < lists.begin[list + 1]; ++w) {
      prefetch_read(&counts[lists.windows[w].id]);
    }
  }
}

// A window from an earlier start to the same end contains a window (normalising the longer text
// yields the shorter one's phrase as its tail). The recording start before each one is tried;
// both lists are ordered by end, so one merge walk pairs them.
template <class Offset>
void mark_left_extensions(const HitLists<Offset>& lists, std::span<const Offset> counts,
                          std::vector<char>& extended) {
  const auto hits = lists.by_position();
  const auto& windows = lists.windows;
  for (std::size_t k = 1; k < hits.size(); ++k) {
    prefetch_list_of<Offset>(lists, hits, k, counts);
    const auto& left = hits[k - 1];
    const auto& right = hits[k];
    const std::uint64_t shift = right.position - left.position;
    std::uint64_t l = lists.begin[left.list];
    const std::uint64_t l_end = lists.begin[left.list + 1];
    for (std::uint64_t r = lists.begin[right.list]; r < lists.begin[right.list + 1]; ++r) {
      const auto& inner = windows[r];
      while (l < l_end && windows[l].raw_length < inner.raw_length + shift) ++l;
      if (l == l_end) break;
      if (windows[l].raw_length == inner.raw_length + shift &&
          extends(windows[l].id, inner.id, counts)) {
        extended[inner.id] = 1;
      }
    }
  }
}

// By id, whether a window of at least its count extends the phrase. Both marks only set flags:
// on a large text they run side by side, each into its own array.
template <class Offset>
std::vector<char> extended_phrases(const HitLists<Offset>& hits, std::span<const Offset> counts,
                                   parallel::Lanes lanes) {
  std::vector<char> extended(counts.size(), 0);
  std::vector<char> left(counts.size(), 0);
  (void)parallel::both(
      lanes,
      [&] {
        mark_right_extensions(hits, counts, extended);
        return true;
      },
      [&] {
        mark_left_extensions(hits, counts, left);
        return true;
      });
  for (std::size_t id = 0; id < extended.size(); ++id) extended[id] |= left[id];
  return extended;
}

// Phrases with two or more starts and enough words, not marked as extended, in id order.
template <class Offset>
std::vector<RepeatedPhrase<Offset>> select_repeated(const string_interner::StringInterner& phrases,
                                                    const HitCounts<Offset>& hit_counts,
                                                    std::span<const char> extended,
                                                    std::uint64_t min_words) {
  const auto& counts = hit_counts.counts;
  std::vector<RepeatedPhrase<Offset>> repeated;
  for (std::size_t id = 0; id < counts.size(); ++id) {
    if (counts[id] < 2 || extended[id]) continue;
    const std::string_view phrase = phrases.key(id);
    if (!has_words(phrase, min_words)) continue;
    repeated.push_back(
        {phrase, hit_counts.first_start[id], static_cast<std::uint32_t>(id), counts[id]});
  }
  return repeated;
}

// Byte length descending, then first start ascending: a total order, by two stable passes.
template <class Offset>
void sort_in_record_order(std::vector<RepeatedPhrase<Offset>>& repeated) {
  using Repeated = RepeatedPhrase<Offset>;
  std::uint64_t longest = 0;
  for (const Repeated& r : repeated) longest = std::max(longest, r.length());
  radix_sort_by_position(repeated, [](const Repeated& r) { return r.first_start; });
  radix_sort_by_position(repeated, [&](const Repeated& r) { return longest - r.length(); });
}

// The starts of all records in one array, each record's in a slice of its own: filling that
// touches one slot per hit instead of a record and its vector.
template <class Offset>
struct GatheredStarts {
  std::vector<Offset> starts;
  // Filling left each slice's mark at its end, which is where the next one begins: record k's
  // starts are [ends[k - 1], ends[k]), the first's from 0.
  std::vector<std::uint64_t> ends;
};

template <class Offset>
GatheredStarts<Offset> gather_starts(const Candidates<Offset>& scan,
                                     std::span<const RepeatedPhrase<Offset>> repeated) {
  constexpr auto kNoRecord = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> record_of(scan.phrases.size(), kNoRecord);
  std::vector<std::uint64_t> fill(repeated.size() + 1, 0);  // next free slot of each slice
  for (std::size_t k = 0; k < repeated.size(); ++k) {
    record_of[repeated[k].id] = static_cast<std::uint32_t>(k);
    fill[k + 1] = fill[k] + repeated[k].count;
  }
  std::vector<Offset> starts(fill.back());
  scan.hits.for_each_hit([&](std::uint32_t id, Offset p) {
    if (record_of[id] != kNoRecord) starts[fill[record_of[id]]++] = p;
  });
  return {std::move(starts), std::move(fill)};
}

// Once the starts are gathered only the phrase texts are read: the hit lists and the tables of
// recovery go before the records take their room.
template <class Offset>
void release_all_but_phrases(Candidates<Offset>& scan) {
  scan.hits = {};
  scan.set_aside = {};
  scan.rewritten = {};
  std::vector<std::uint32_t>().swap(scan.rewritten_ids);
  std::vector<std::uint32_t>().swap(scan.raw_ids);
  decltype(scan.rank_of)().swap(scan.rank_of);
}

// The record of a phrase from its slice of starts, sorted in place.
template <class Offset, class It>
void fill_record(const RepeatedPhrase<Offset>& r, It slice, It slice_end, PhraseData& record) {
  sort_offsets(slice, slice_end);
  record.phrase = std::string(r.phrase);
  record.starts.assign(slice, slice_end);
  record.ends.resize(record.starts.size());
  for (std::size_t i = 0; i < record.starts.size(); ++i) {
    record.ends[i] = record.starts[i] + r.length();
  }
  record.count = record.starts.size();
  record.string_length = r.length();
  record.number_of_words = word_count(record.phrase);
}

// The records of `repeated`, in that order; independent of each other, so built in two halves on
// two threads on two lanes.
template <class Offset>
std::vector<PhraseData> build_records(GatheredStarts<Offset> gathered,
                                      std::span<const RepeatedPhrase<Offset>> repeated,
                                      parallel::Lanes lanes) {
  auto& starts = gathered.starts;
  const auto& ends = gathered.ends;
  std::vector<PhraseData> records(repeated.size());
  constexpr std::size_t kAhead = 4;  // phrase texts lie scattered in the table
  parallel::over_parts(lanes, repeated.size(), repeated.size() / 2, [&](parallel::Part part) {
    const std::size_t first = part.begin;
    const std::size_t last = part.end;
    for (std::size_t k = first; k < last; ++k) {
      if (k + kAhead < last) prefetch_read(repeated[k + kAhead].phrase.data());
      const auto slice = starts.begin() + static_cast<std::ptrdiff_t>(k == 0 ? 0 : ends[k - 1]);
      const auto slice_end = starts.begin() + static_cast<std::ptrdiff_t>(ends[k]);
      fill_record(repeated[k], slice, slice_end, records[k]);
    }
  });
  return records;
}

}  // namespace

template <class Idx>
std::vector<RepeatedPhrase<Idx>> repeated_phrases(const Candidates<Idx>& scan,
                                                  const FinderParams& params,
                                                  parallel::Lanes lanes) {
  HitCounts<Idx> hit_counts = count_hits(scan);
  const std::span<const Idx> counts(hit_counts.counts);
  const std::vector<char> extended = scan.drop_contained
                                         ? extended_phrases(scan.hits, counts, lanes)
                                         : std::vector<char>(counts.size(), 0);
  std::vector<RepeatedPhrase<Idx>> repeated =
      select_repeated(scan.phrases, hit_counts, extended, params.min_words_in_substring);
  std::vector<Idx>().swap(hit_counts.first_start);
  sort_in_record_order(repeated);
  return repeated;
}

template <class Idx>
std::vector<PhraseData> assemble_records(Candidates<Idx> scan,
                                         std::vector<RepeatedPhrase<Idx>> repeated,
                                         std::span<const char> contained, parallel::Lanes lanes) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < repeated.size(); ++i) {
    if (i < contained.size() && contained[i]) continue;
    repeated[kept++] = repeated[i];
  }
  repeated.resize(kept);
  const std::span<const RepeatedPhrase<Idx>> records_of(repeated);
  GatheredStarts<Idx> gathered = gather_starts(scan, records_of);
  release_all_but_phrases(scan);
  return build_records(std::move(gathered), records_of, lanes);
}

template std::vector<RepeatedPhrase<std::uint32_t>> repeated_phrases(
    const Candidates<std::uint32_t>&, const FinderParams&, parallel::Lanes);
template std::vector<RepeatedPhrase<std::uint64_t>> repeated_phrases(
    const Candidates<std::uint64_t>&, const FinderParams&, parallel::Lanes);
template std::vector<PhraseData> assemble_records(Candidates<std::uint32_t>,
                                                  std::vector<RepeatedPhrase<std::uint32_t>>,
                                                  std::span<const char>, parallel::Lanes);
template std::vector<PhraseData> assemble_records(Candidates<std::uint64_t>,
                                                  std::vector<RepeatedPhrase<std::uint64_t>>,
                                                  std::span<const char>, parallel::Lanes);

}  // namespace quarnel::core::duplicate_finder
