#include "duplicate_finder/containment_on_text.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <utility>

#include "base/parallel.hpp"
#include "base/prefetch.hpp"
#include "base/radix_sort.hpp"
#include "suffix_array/search.hpp"

namespace quarnel::core::duplicate_finder {
namespace {

// An occurrence in the text of a container of the containment sweep.
template <class Offset>
struct TextOccurrence {
  Offset start;
  Offset end;
  Offset count;
};

// An occurrence of a target: its end and count are its phrase's. Queries number as many as the
// repeated phrases' occurrences (hundreds of millions on a large repetitive corpus), so they hold
// only what differs between them.
template <class Offset>
struct QueryAt {
  Offset start;
  std::uint32_t phrase;
};

// By entry of the repeated phrases: byte length and count.
template <class Offset>
struct PhraseShape {
  Offset length;
  Offset count;
};

// For a sweep over the text: the largest count among the containers added so far, by end
// position. Ends are kept on a ring of slots, a power of two longer than the longest container,
// so that every container that can still cover a query has its own slot; a segment tree over
// the ring answers range maxima.
class EndRing {
 public:
  explicit EndRing(std::uint64_t longest)
      : size_(std::bit_ceil(longest + 1)), tree_(2 * size_, 0), end_at_(size_, kNoEnd) {}

  [[nodiscard]] std::uint64_t size() const { return size_; }
  [[nodiscard]] std::uint64_t max() const { return tree_[1]; }

  // Forgets the containers that end before x: no query at x or later can use them. Every end
  // before the last x was forgotten then, so only the slots of ends since then can hold one.
  void expire_before(std::uint64_t x) {
    for (std::uint64_t e = std::max(swept_, x > size_ ? x - size_ : 0); e < x; ++e) {
      const std::uint64_t slot = e & (size_ - 1);
      if (end_at_[slot] != kNoEnd && end_at_[slot] < x) set(slot, 0, kNoEnd);
    }
    swept_ = std::max(swept_, x);
  }

  void add(std::uint64_t end, std::uint64_t count) {
    const std::uint64_t slot = end & (size_ - 1);
    const std::uint64_t held = end_at_[slot] == end ? tree_[size_ + slot] : 0;
    if (count > held || end_at_[slot] != end) set(slot, std::max(count, held), end);
  }

  // The largest count among containers ending in [from, to], to - from < size().
  [[nodiscard]] std::uint64_t max_between(std::uint64_t from, std::uint64_t to) const {
    if (from > to) return 0;
    const std::uint64_t a = from & (size_ - 1);
    const std::uint64_t b = to & (size_ - 1);
    return a <= b ? max_of_slots(a, b) : std::max(max_of_slots(a, size_ - 1), max_of_slots(0, b));
  }

 private:
  static constexpr std::uint64_t kNoEnd = std::numeric_limits<std::uint64_t>::max();

  void set(std::uint64_t slot, std::uint64_t count, std::uint64_t end) {
    end_at_[slot] = end;
    std::uint64_t node = size_ + slot;
    tree_[node] = count;
    for (node /= 2; node >= 1; node /= 2)
      tree_[node] = std::max(tree_[2 * node], tree_[2 * node + 1]);
  }

  [[nodiscard]] std::uint64_t max_of_slots(std::uint64_t a, std::uint64_t b) const {
    std::uint64_t best = 0;
    for (std::uint64_t lo = a + size_, hi = b + size_ + 1; lo < hi; lo /= 2, hi /= 2) {
      if (lo & 1) best = std::max(best, tree_[lo++]);
      if (hi & 1) best = std::max(best, tree_[--hi]);
    }
    return best;
  }

  std::uint64_t size_;
  std::vector<std::uint64_t> tree_;
  std::vector<std::uint64_t> end_at_;
  std::uint64_t swept_ = 0;
};

// Substring elimination between phrases that are their own raw bytes, answered on the text: one
// such phrase lies inside another exactly when one of its occurrences in the text lies inside
// an occurrence of the other, and is strictly shorter. The occurrences of a target are every
// start of its bytes (the suffix-array interval of its bytes, word starts or not). A container
// has the same bytes at each of its starts, so one of them stands for all. One sweep over the
// text answers them all.

template <class Offset>
void flag_contained_in_text(std::vector<QueryAt<Offset>> queries,
                            std::span<const PhraseShape<Offset>> shapes,
                            std::vector<TextOccurrence<Offset>> containers, std::uint64_t longest,
                            std::vector<char>& contained) {
  radix_sort_by_position(queries, [](const QueryAt<Offset>& q) { return q.start; });
  radix_sort_by_position(containers, [](const TextOccurrence<Offset>& o) { return o.start; });
  EndRing ring(longest);
  std::size_t c = 0;
  for (std::size_t q = 0; q < queries.size();) {
    const std::uint64_t x = queries[q].start;
    ring.expire_before(x);
    for (; c < containers.size() && containers[c].start < x; ++c) {
      if (containers[c].end >= x) ring.add(containers[c].end, containers[c].count);
    }
    std::size_t q_end = q;
    while (q_end < queries.size() && queries[q_end].start == x) ++q_end;
    const std::uint64_t last_end = x + ring.size() - 1;
    // Flags the unflagged queries at x that a container reaching `beyond` bytes past their end
    // covers with at least their count.
    const auto flag_covered = [&](std::uint64_t beyond) {
      for (std::size_t k = q; k < q_end; ++k) {
        const std::uint32_t phrase = queries[k].phrase;
        if (contained[phrase]) continue;
        const auto [length, count] = shapes[phrase];
        if (ring.max() >= count && ring.max_between(x + length + beyond, last_end) >= count) {
          contained[phrase] = 1;
        }
      }
    };
    // Containers starting before x cover a query when they reach its end; those starting at x
    // only when they reach beyond it.
    flag_covered(0);
    const std::size_t added_at_x = c;
    for (; c < containers.size() && containers[c].start == x; ++c) {
      ring.add(containers[c].end, containers[c].count);
    }
    if (c > added_at_x) flag_covered(1);
    q = q_end;
  }
}

// The ranks of the suffixes that begin with `phrase`.
template <class Offset>
std::pair<std::size_t, std::size_t> search_text(const BasicAnalysisIndex<Offset>& index,
                                                std::string_view phrase) {
  const auto found = suffix_array::sa_search_range(
      {reinterpret_cast<const std::uint8_t*>(index.text.data()), index.text.size()},
      index.suffix_array, {reinterpret_cast<const std::uint8_t*>(phrase.data()), phrase.size()});
  return {static_cast<std::size_t>(found.lo), static_cast<std::size_t>(found.hi)};
}

// A rank of the phrase's bytes when it is its own raw bytes at every start, else kNoRank.
template <class Offset>
std::uint64_t rank_of(std::span<const Offset> ranks, std::uint32_t id) {
  return id < ranks.size() && ranks[id] != static_cast<Offset>(kNoRank) ? ranks[id] : kNoRank;
}

// The occurrences of the phrases of `repeated` for the containment sweep on the text: every
// start of each phrase's bytes as a query, the first start of each phrase that is its own raw
// bytes as a container (its other starts have the same bytes).
template <class Offset>
struct TextSweep {
  std::vector<QueryAt<Offset>> queries;
  std::vector<PhraseShape<Offset>> shapes;  // by entry of `repeated`
  std::vector<TextOccurrence<Offset>> containers;
  std::uint64_t longest = 0;  // of the containers
  std::vector<char> in_text;  // by entry of `repeated`: whether it is its own raw bytes
};

// The ranks [low, high) of the bytes of the phrase at entry `phrase` of `repeated`.
struct RankRange {
  std::size_t low, high;
  std::uint32_t phrase;
};

// Phrases come in length order, their ranks scattered: the LCP entries of a phrase a few places
// ahead are requested before they are walked.
constexpr std::size_t kSweepAhead = 8;

// The rank intervals of the phrases of some entries of `repeated`, in their order, with the
// containers among them.
template <class Offset>
struct SweepRanges {
  std::vector<RankRange> ranges;
  std::vector<TextOccurrence<Offset>> containers;
  std::uint64_t longest = 0;  // of the containers
};

// The ranges of the entries [begin, end), with `in_text` set for them. Phrases that are not their
// own raw bytes are targets only: their bytes, where the text has them, may lie in a raw phrase.
template <class Offset>
SweepRanges<Offset> sweep_ranges_of(const BasicAnalysisIndex<Offset>& index,
                                    std::span<const Offset> ranks,
                                    std::span<const RepeatedPhrase<Offset>> repeated,
                                    std::size_t begin, std::size_t end, std::span<char> in_text) {
  SweepRanges<Offset> out;
  for (std::size_t k = begin; k < end; ++k) {
    if (k + kSweepAhead < end) {
      const std::uint64_t ahead = rank_of(ranks, repeated[k + kSweepAhead].id);
      if (ahead != kNoRank) index.lcp.prefetch(ahead);
    }
    const RepeatedPhrase<Offset>& r = repeated[k];
    const auto phrase = static_cast<std::uint32_t>(k);
    const std::uint64_t rank = rank_of(ranks, r.id);
    std::pair<std::size_t, std::size_t> found;
    if (rank != kNoRank) {
      in_text[k] = 1;
      out.longest = std::max(out.longest, r.length());
      found = ranks_sharing(index, rank, r.length());
      out.containers.push_back({static_cast<Offset>(r.first_start),
                                static_cast<Offset>(r.first_start + r.length()), r.count});
    } else {
      found = search_text(index, r.phrase);
    }
    if (found.first < found.second) out.ranges.push_back({found.first, found.second, phrase});
  }
  return out;
}

// The ranges of all entries, in their order, the later half's found on the second thread when
// two lanes; the containers go to `sweep`.
template <class Offset>
std::vector<RankRange> sweep_ranges(const BasicAnalysisIndex<Offset>& index,
                                    std::span<const Offset> ranks,
                                    std::span<const RepeatedPhrase<Offset>> repeated,
                                    TextSweep<Offset>& sweep, parallel::Lanes lanes) {
  const std::size_t n = repeated.size();
  const std::size_t mid = n / 2;
  const std::span<char> in_text(sweep.in_text);
  auto [first, later] = parallel::both(
      lanes, [&] { return sweep_ranges_of(index, ranks, repeated, 0, mid, in_text); },
      [&] { return sweep_ranges_of(index, ranks, repeated, mid, n, in_text); });
  first.ranges.insert(first.ranges.end(), later.ranges.begin(), later.ranges.end());
  sweep.containers = std::move(first.containers);
  sweep.containers.insert(sweep.containers.end(), later.containers.begin(), later.containers.end());
  sweep.longest = std::max(first.longest, later.longest);
  return std::move(first.ranges);
}

// Every occurrence of each range as a query; sized once.
template <class Offset>
std::vector<QueryAt<Offset>> sweep_queries(const BasicAnalysisIndex<Offset>& index,
                                           std::span<const RankRange> ranges) {
  std::size_t occurrences = 0;
  for (const RankRange& range : ranges) occurrences += range.high - range.low;
  std::vector<QueryAt<Offset>> queries;
  queries.reserve(occurrences);
  for (std::size_t k = 0; k < ranges.size(); ++k) {
    if (k + kSweepAhead < ranges.size()) {
      prefetch_read(&index.suffix_array[ranges[k + kSweepAhead].low]);
    }
    const auto& [low, high, phrase] = ranges[k];
    for (std::size_t s = low; s < high; ++s) queries.push_back({index.suffix_array[s], phrase});
  }
  return queries;
}

template <class Offset>
std::vector<PhraseShape<Offset>> phrase_shapes(std::span<const RepeatedPhrase<Offset>> repeated) {
  std::vector<PhraseShape<Offset>> shapes(repeated.size());
  for (std::size_t k = 0; k < repeated.size(); ++k) {
    shapes[k] = {static_cast<Offset>(repeated[k].length()), repeated[k].count};
  }
  return shapes;
}

template <class Offset>
TextSweep<Offset> text_sweep(const BasicAnalysisIndex<Offset>& index, std::span<const Offset> ranks,
                             std::span<const RepeatedPhrase<Offset>> repeated,
                             parallel::Lanes lanes,
                             const std::function<void(ArraysRead)>& arrays_read) {
  TextSweep<Offset> sweep;
  sweep.in_text.assign(repeated.size(), 0);
  std::vector<RankRange> ranges = sweep_ranges(index, ranks, repeated, sweep, lanes);
  if (arrays_read) arrays_read(ArraysRead::Lcp);
  sweep.queries = sweep_queries(index, std::span<const RankRange>(ranges));
  std::vector<RankRange>().swap(ranges);
  if (arrays_read) arrays_read(ArraysRead::SuffixArray);
  sweep.shapes = phrase_shapes(repeated);
  return sweep;
}

}  // namespace

template <class Idx>
std::vector<char> flag_contained_on_text(const BasicAnalysisIndex<Idx>& index,
                                         std::span<const Idx> rank_of,
                                         std::span<const RepeatedPhrase<Idx>> repeated,
                                         std::vector<char>& contained, parallel::Lanes lanes,
                                         const std::function<void(ArraysRead)>& arrays_read) {
  TextSweep<Idx> sweep = text_sweep(index, rank_of, repeated, lanes, arrays_read);
  flag_contained_in_text(std::move(sweep.queries), std::span<const PhraseShape<Idx>>(sweep.shapes),
                         std::move(sweep.containers), sweep.longest, contained);
  return std::move(sweep.in_text);
}

template std::vector<char> flag_contained_on_text(const BasicAnalysisIndex<std::uint32_t>&,
                                                  std::span<const std::uint32_t>,
                                                  std::span<const RepeatedPhrase<std::uint32_t>>,
                                                  std::vector<char>&, parallel::Lanes,
                                                  const std::function<void(ArraysRead)>&);
template std::vector<char> flag_contained_on_text(const BasicAnalysisIndex<std::uint64_t>&,
                                                  std::span<const std::uint64_t>,
                                                  std::span<const RepeatedPhrase<std::uint64_t>>,
                                                  std::vector<char>&, parallel::Lanes,
                                                  const std::function<void(ArraysRead)>&);

}  // namespace quarnel::core::duplicate_finder
