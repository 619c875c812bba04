#include "duplicate_finder/record_assembly.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <string>

#include "parallel.hpp"
#include "prefetch.hpp"
#include "radix_sort.hpp"

namespace quarnel::core::duplicate_finder {
namespace {

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

}  // namespace

// Every (phrase, start) pair is hit once: windows of one start with one phrase were merged
// when recorded, and a lonely window sharing a rewritten window's start and phrase was dropped.
// So counting hits counts distinct starts, and offsets are gathered only for the phrases that
// end up as records.
template <class Offset>
auto CandidateCollector<Offset>::repeated_phrases(bool split) const -> std::vector<Repeated> {
  std::vector<Offset> counts(phrases_.size(), 0);  // hits per phrase, at most one per position
  std::vector<Offset> first_start(phrases_.size(), std::numeric_limits<Offset>::max());
  for_each_hit([&](std::uint32_t id, Offset p) {
    ++counts[id];
    first_start[id] = std::min(first_start[id], p);
  });
  std::vector<char> extended(counts.size(), 0);
  if (drop_contained_) {
    // Both only set flags: on a large text they run side by side, each into its own array.
    std::vector<char> left(counts.size(), 0);
    (void)parallel::both(
        split,
        [&] {
          mark_right_extensions(counts, extended);
          return true;
        },
        [&] {
          mark_left_extensions(counts, left);
          return true;
        });
    for (std::size_t id = 0; id < extended.size(); ++id) extended[id] |= left[id];
  }
  std::vector<Repeated> repeated = select_repeated(counts, first_start, extended);
  std::vector<Offset>().swap(first_start);
  // Byte length descending, then first start ascending: a total order, by two stable passes.
  std::uint64_t longest = 0;
  for (const Repeated& r : repeated) longest = std::max(longest, r.length());
  radix_sort_by_position(repeated, [](const Repeated& r) { return r.first_start; });
  radix_sort_by_position(repeated, [&](const Repeated& r) { return longest - r.length(); });
  return repeated;
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
bool CandidateCollector<Offset>::extends(std::uint32_t outer, std::uint32_t inner,
                                         std::span<const Offset> counts) {
  return outer != inner && counts[inner] >= 2 && counts[outer] >= counts[inner];
}

// Within a list (one start's windows, shortest first) every later window contains an earlier
// one; the largest later count decides.
template <class Offset>
void CandidateCollector<Offset>::mark_right_extensions(std::span<const Offset> counts,
                                                       std::vector<char>& extended) const {
  for (std::size_t list = 0; list + 1 < hits_.begin.size(); ++list) {
    std::uint32_t widest = 0;  // the later window with the largest count
    bool any_later = false;
    for (std::uint64_t k = hits_.begin[list + 1]; k-- > hits_.begin[list];) {
      const std::uint32_t id = hits_.windows[k].id;
      if (any_later && extends(widest, id, counts)) extended[id] = 1;
      if (!any_later || counts[id] > counts[widest]) widest = id;
      any_later = true;
    }
  }
}

// A window from an earlier start to the same end contains a window (normalising the longer text
// yields the shorter one's phrase as its tail). The recording start before each one is tried;
// both lists are ordered by end, so one merge walk pairs them.
template <class Offset>
void CandidateCollector<Offset>::mark_left_extensions(std::span<const Offset> counts,
                                                      std::vector<char>& extended) const {
  const std::vector<PositionHits> hits = hits_.by_position();
  for (std::size_t k = 1; k < hits.size(); ++k) {
    prefetch_list_of(hits, k, counts);
    const PositionHits& left = hits[k - 1];
    const PositionHits& right = hits[k];
    const std::uint64_t shift = right.position - left.position;
    std::uint64_t l = hits_.begin[left.list];
    const std::uint64_t l_end = hits_.begin[left.list + 1];
    for (std::uint64_t r = hits_.begin[right.list]; r < hits_.begin[right.list + 1]; ++r) {
      const Window& inner = hits_.windows[r];
      while (l < l_end && hits_.windows[l].raw_length < inner.raw_length + shift) ++l;
      if (l == l_end) break;
      if (hits_.windows[l].raw_length == inner.raw_length + shift &&
          extends(hits_.windows[l].id, inner.id, counts)) {
        extended[inner.id] = 1;
      }
    }
  }
}

// Lists are stored in the order they were recorded, so a walk in text order reads them
// scattered: the list bounds, the windows and then the counts of hits ahead are requested in
// turn, each once the one before has had time to arrive.
template <class Offset>
void CandidateCollector<Offset>::prefetch_list_of(std::span<const PositionHits> hits, std::size_t k,
                                                  std::span<const Offset> counts) const {
  constexpr std::size_t kBounds = 24, kWindows = 12, kCounts = 6;
  if (k + kBounds < hits.size()) prefetch_read(&hits_.begin[hits[k + kBounds].list]);
  if (k + kWindows < hits.size()) {
    prefetch_read(&hits_.windows[hits_.begin[hits[k + kWindows].list]]);
  }
  if (k + kCounts < hits.size()) {
    const std::uint64_t list = hits[k + kCounts].list;
    for (std::uint64_t w = hits_.begin[list]; w < hits_.begin[list + 1]; ++w) {
      prefetch_read(&counts[hits_.windows[w].id]);
    }
  }
}

// Phrases with two or more starts and enough words, not marked as extended, in id order.
template <class Offset>
auto CandidateCollector<Offset>::select_repeated(std::span<const Offset> counts,
                                                 std::span<const Offset> first_start,
                                                 std::span<const char> extended) const
    -> std::vector<Repeated> {
  std::vector<Repeated> repeated;
  for (std::size_t id = 0; id < counts.size(); ++id) {
    if (counts[id] < 2 || extended[id]) continue;
    const std::string_view phrase = phrases_.key(id);
    if (!has_words(phrase, params_.min_words_in_substring)) continue;
    repeated.push_back({phrase, first_start[id], static_cast<std::uint32_t>(id), counts[id]});
  }
  return repeated;
}

// The starts of all records are first gathered into one array, each record's in a slice of its
// own: filling that touches one slot per hit instead of a record and its vector.
template <class Offset>
std::vector<PhraseData> CandidateCollector<Offset>::build_records(
    std::span<const Repeated> repeated, bool split) const {
  constexpr auto kNoRecord = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> record_of(phrases_.size(), kNoRecord);
  std::vector<std::uint64_t> fill(repeated.size() + 1, 0);  // next free slot of each slice
  for (std::size_t k = 0; k < repeated.size(); ++k) {
    record_of[repeated[k].id] = static_cast<std::uint32_t>(k);
    fill[k + 1] = fill[k] + repeated[k].count;
  }
  std::vector<Offset> starts(fill.back());
  for_each_hit([&](std::uint32_t id, Offset p) {
    if (record_of[id] != kNoRecord) starts[fill[record_of[id]]++] = p;
  });
  std::vector<PhraseData> records(repeated.size());
  constexpr std::size_t kAhead = 4;  // phrase texts lie scattered in the table
  // Records are independent of each other: two halves on two threads when `split`.
  parallel::halves(
      split, repeated.size(), repeated.size() / 2, [&](std::size_t first, std::size_t last) {
        for (std::size_t k = first; k < last; ++k) {
          if (k + kAhead < last) prefetch_read(repeated[k + kAhead].phrase.data());
          const Repeated& r = repeated[k];
          PhraseData& record = records[k];
          // Filling left each slice's mark at its end, which is where the next one begins.
          const auto slice = starts.begin() + static_cast<std::ptrdiff_t>(k == 0 ? 0 : fill[k - 1]);
          const auto slice_end = starts.begin() + static_cast<std::ptrdiff_t>(fill[k]);
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
      });
  return records;
}

template <class Idx>
std::vector<RepeatedPhrase<Idx>> repeated_phrases(const CandidateCollector<Idx>& scan, bool split) {
  return scan.repeated_phrases(split);
}

template <class Idx>
std::vector<PhraseData> assemble_records(CandidateCollector<Idx> scan,
                                         std::vector<RepeatedPhrase<Idx>> repeated,
                                         std::span<const char> contained, bool split) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < repeated.size(); ++i) {
    if (i < contained.size() && contained[i]) continue;
    repeated[kept++] = repeated[i];
  }
  repeated.resize(kept);
  return scan.build_records(repeated, split);
}

template std::vector<RepeatedPhrase<std::uint32_t>> repeated_phrases(
    const CandidateCollector<std::uint32_t>&, bool);
template std::vector<RepeatedPhrase<std::uint64_t>> repeated_phrases(
    const CandidateCollector<std::uint64_t>&, bool);
template std::vector<PhraseData> assemble_records(CandidateCollector<std::uint32_t>,
                                                  std::vector<RepeatedPhrase<std::uint32_t>>,
                                                  std::span<const char>, bool);
template std::vector<PhraseData> assemble_records(CandidateCollector<std::uint64_t>,
                                                  std::vector<RepeatedPhrase<std::uint64_t>>,
                                                  std::span<const char>, bool);

}  // namespace quarnel::core::duplicate_finder
