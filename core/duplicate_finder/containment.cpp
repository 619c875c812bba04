#include "duplicate_finder/containment.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "aho_corasick.hpp"
#include "prefetch.hpp"
#include "radix_sort.hpp"
#include "suffix_array/search.hpp"

namespace quarnel::core::duplicate_finder {
namespace {

using types::PhraseData;

// An occurrence in the text of a phrase of the containment sweep.
template <class Offset>
struct TextOccurrence {
  Offset start;
  Offset end;
  Offset count;
  std::uint32_t phrase;  // the target's index (queries only)
};

// The phrases that might be removed by another phrase: every phrase shorter than an anchor (its
// first kAnchor bytes), every phrase whose head and tail anchors occur at the right distance in
// some other phrase with at least its count, and every phrase of a group sharing a head with too
// many others to check each, once that head occurs with room. The others are never removed, so
// the automaton is built without them and runs only over the phrases in which something was
// found: on prose the phrases left by the exact pre-filters overlap a lot, but hardly any lies
// inside another that occurs as often.
class ContainmentPrefilter {
 public:
  static constexpr std::size_t kAnchor = 8;

  [[nodiscard]] static std::uint64_t anchor_at(std::string_view s, std::size_t at) {
    std::uint64_t v;
    std::memcpy(&v, s.data() + at, kAnchor);
    return v;
  }

  // Only the pairs of a target and a container are looked at.
  ContainmentPrefilter(std::span<const std::string_view> phrases,
                       std::span<const std::uint64_t> counts, std::span<const char> is_target,
                       std::span<const char> is_container)
      : phrases_(phrases), counts_(counts), is_target_(is_target), is_container_(is_container) {
    for (std::size_t j = 0; j < phrases.size(); ++j) {
      const std::string_view p = phrases[j];
      if (is_target[j] && p.size() >= kAnchor) {
        anchors_.push_back({anchor_at(p, 0), anchor_at(p, p.size() - kAnchor), p.size(), j});
      }
    }
    std::sort(anchors_.begin(), anchors_.end(), [](const Anchor& a, const Anchor& b) {
      return a.head != b.head ? a.head < b.head : a.length < b.length;
    });
    // About 16 bits per anchor, so that few bytes scanned need a bisection.
    while ((std::size_t{1} << filter_bits_) < 16 * anchors_.size()) ++filter_bits_;
    filter_.assign((std::size_t{1} << filter_bits_) / 64, 0);
    group_end_.resize(anchors_.size());
    for (std::size_t k = 0; k < anchors_.size();) {
      std::size_t end = k;
      while (end < anchors_.size() && anchors_[end].head == anchors_[k].head) ++end;
      std::fill(group_end_.begin() + static_cast<std::ptrdiff_t>(k),
                group_end_.begin() + static_cast<std::ptrdiff_t>(end), end);
      mark_filter(anchors_[k].head);
      k = end;
    }
  }

  struct Candidates {
    std::vector<std::size_t> targets;  // phrases that may be contained, ascending
    std::vector<char> may_contain;     // by phrase: whether it may contain a target
  };

  [[nodiscard]] Candidates find() const {
    Candidates found{{}, std::vector<char>(phrases_.size(), 0)};
    std::vector<char> anchor_hit(anchors_.size(), 0);
    for (std::size_t i = 0; i < phrases_.size(); ++i) {
      if (is_container_[i]) found.may_contain[i] = mark_anchors_in(i, anchor_hit);
    }
    // A hit on a large group is marked on its first anchor and stands for all of them.
    for (std::size_t k = 0; k < anchors_.size(); k = group_end_[k]) {
      if (anchor_hit[k] && is_large_group(k)) {
        std::fill(anchor_hit.begin() + static_cast<std::ptrdiff_t>(k),
                  anchor_hit.begin() + static_cast<std::ptrdiff_t>(group_end_[k]), 1);
      }
    }
    // Targets without an anchor stay targets.
    std::vector<char> target(is_target_.begin(), is_target_.end());
    for (std::size_t k = 0; k < anchors_.size(); ++k) target[anchors_[k].phrase] = anchor_hit[k];
    bool unanchored_target = false;  // one that may lie in any phrase
    for (std::size_t j = 0; j < phrases_.size(); ++j) {
      if (!target[j]) continue;
      found.targets.push_back(j);
      unanchored_target = unanchored_target || phrases_[j].size() < kAnchor;
    }
    if (unanchored_target) found.may_contain.assign(is_container_.begin(), is_container_.end());
    return found;
  }

 private:
  struct Anchor {
    std::uint64_t head;  // first and last kAnchor bytes of the phrase
    std::uint64_t tail;
    std::size_t length;  // of the phrase
    std::size_t phrase;
  };
  // Phrases of a larger group are not checked one by one, which bounds the work per byte.
  static constexpr std::size_t kMaxGroup = 32;

  [[nodiscard]] bool is_large_group(std::size_t first) const {
    return group_end_[first] - first > kMaxGroup;
  }

  [[nodiscard]] std::size_t filter_slot(std::uint64_t bytes) const {
    return static_cast<std::size_t>((bytes * 0x9E3779B97F4A7C15ULL) >> (64 - filter_bits_));
  }
  void mark_filter(std::uint64_t bytes) {
    const std::size_t slot = filter_slot(bytes);
    filter_[slot >> 6] |= std::uint64_t{1} << (slot & 63);
  }
  [[nodiscard]] bool filter_has(std::uint64_t bytes) const {
    const std::size_t slot = filter_slot(bytes);
    return (filter_[slot >> 6] >> (slot & 63)) & 1U;
  }

  // Marks the anchors whose head and tail occur in phrase i as at least a whole phrase would, if
  // phrase i occurs at least as often; true if any does. A collision in the bit filter only
  // costs a bisection, so crafted text cannot do worse.
  bool mark_anchors_in(std::size_t i, std::vector<char>& anchor_hit) const {
    bool any = false;
    const std::string_view text = phrases_[i];
    for (std::size_t at = 0; at + kAnchor <= text.size(); ++at) {
      const std::uint64_t bytes = anchor_at(text, at);
      if (!filter_has(bytes)) continue;
      auto k = static_cast<std::size_t>(
          std::lower_bound(anchors_.begin(), anchors_.end(), bytes,
                           [](const Anchor& a, std::uint64_t b) { return a.head < b; }) -
          anchors_.begin());
      if (k < anchors_.size() && anchors_[k].head == bytes && is_large_group(k)) {
        // Its shortest phrase other than this one, if that fits.
        const std::size_t shortest = at == 0 && anchors_[k].phrase == i ? k + 1 : k;
        if (anchors_[shortest].length <= text.size() - at) {
          anchor_hit[k] = 1;
          any = true;
        }
        continue;
      }
      for (; k < anchors_.size() && anchors_[k].head == bytes; ++k) {
        const Anchor& a = anchors_[k];
        if (a.length > text.size() - at) break;  // shortest first: none fits
        if ((at == 0 && a.phrase == i) || counts_[a.phrase] > counts_[i]) continue;
        if (anchor_at(text, at + a.length - kAnchor) == a.tail) {
          anchor_hit[k] = 1;
          any = true;
        }
      }
    }
    return any;
  }

  std::span<const std::string_view> phrases_;
  std::span<const std::uint64_t> counts_;
  std::span<const char> is_target_;
  std::span<const char> is_container_;
  std::vector<Anchor> anchors_;         // by head, then phrase length
  std::vector<std::size_t> group_end_;  // by anchor: one past the last anchor with its head
  unsigned filter_bits_ = 6;
  std::vector<std::uint64_t> filter_;  // one bit per slot of an anchor's hash
};

// Substring elimination on phrase texts and counts, for the pairs of a target and a container:
// flags every target that occurs inside another, unflagged container with at least its count.
void flag_contained_among(std::span<const std::string_view> phrases,
                          std::span<const std::uint64_t> counts, std::span<const char> is_target,
                          std::span<const char> is_container, std::vector<char>& contained) {
  const auto [targets, may_contain] =
      ContainmentPrefilter(phrases, counts, is_target, is_container).find();
  if (targets.empty()) return;
  std::vector<std::string_view> patterns(targets.size());
  for (std::size_t k = 0; k < targets.size(); ++k) patterns[k] = phrases[targets[k]];
  const aho_corasick::Automaton automaton(patterns);
  for (std::size_t i = 0; i < phrases.size(); ++i) {
    if (contained[i] || !may_contain[i]) continue;  // a removed phrase never removes another
    automaton.for_each_match(phrases[i], [&](aho_corasick::PatternId k, std::uint64_t) {
      const std::size_t j = targets[k];
      if (contained[j] || counts[j] > counts[i] || j == i) return;
      if (phrases[j].size() == phrases[i].size() && phrases[j] == phrases[i]) return;
      contained[j] = 1;
    });
  }
}

// The targets that may lie in one of the containers, narrowed from the containers' side when
// their text is small: a target of anchor length or more must begin with one of their
// anchor-length substrings. Otherwise every target.
std::vector<char> targets_meeting(std::span<const std::string_view> phrases,
                                  std::span<const char> is_target,
                                  std::span<const char> is_container) {
  constexpr std::size_t kAnchor = ContainmentPrefilter::kAnchor;
  constexpr std::size_t kMostContainerBytes = std::size_t{1} << 20;
  std::vector<std::uint64_t> anchors;
  std::size_t longest = 0;
  for (std::size_t j = 0; j < phrases.size(); ++j) {
    if (!is_container[j]) continue;
    const std::string_view p = phrases[j];
    longest = std::max(longest, p.size());
    for (std::size_t at = 0; at + kAnchor <= p.size(); ++at) {
      anchors.push_back(ContainmentPrefilter::anchor_at(p, at));
    }
    if (anchors.size() > kMostContainerBytes) return {is_target.begin(), is_target.end()};
  }
  std::sort(anchors.begin(), anchors.end());
  std::vector<char> targets(phrases.size(), 0);
  for (std::size_t j = 0; j < phrases.size(); ++j) {
    const std::string_view p = phrases[j];
    if (!is_target[j] || p.size() > longest) continue;
    targets[j] = p.size() < kAnchor || std::binary_search(anchors.begin(), anchors.end(),
                                                          ContainmentPrefilter::anchor_at(p, 0));
  }
  return targets;
}

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
void flag_contained_in_text(std::vector<TextOccurrence<Offset>> queries,
                            std::vector<TextOccurrence<Offset>> containers, std::uint64_t longest,
                            std::vector<char>& contained) {
  const auto start_of = [](const TextOccurrence<Offset>& o) { return o.start; };
  radix_sort_by_position(queries, start_of);
  radix_sort_by_position(containers, start_of);
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
    // Containers starting before x cover a query when they reach its end; those starting at x
    // only when they reach beyond it.
    for (std::size_t k = q; k < q_end; ++k) {
      const auto& query = queries[k];
      if (!contained[query.phrase] && ring.max() >= query.count &&
          ring.max_between(query.end, last_end) >= query.count) {
        contained[query.phrase] = 1;
      }
    }
    const std::size_t added_at_x = c;
    for (; c < containers.size() && containers[c].start == x; ++c) {
      ring.add(containers[c].end, containers[c].count);
    }
    for (std::size_t k = q; k < q_end && c > added_at_x; ++k) {
      const auto& query = queries[k];
      if (!contained[query.phrase] && ring.max() >= query.count &&
          ring.max_between(query.end + 1, last_end) >= query.count) {
        contained[query.phrase] = 1;
      }
    }
    q = q_end;
  }
}

}  // namespace

// Substring elimination on phrase texts and counts, ordered by byte length descending: flags
// every phrase that occurs inside an earlier, unflagged phrase with at least its count.
std::vector<char> flag_contained_phrases(std::span<const std::string_view> phrases,
                                         std::span<const std::uint64_t> counts) {
  std::vector<char> contained(phrases.size(), 0);
  const std::vector<char> all(phrases.size(), 1);
  flag_contained_among(phrases, counts, all, all, contained);
  return contained;
}

std::vector<PhraseData> eliminate_contained_phrases(std::vector<PhraseData> records) {
  if (records.size() < 2) return records;
  std::vector<std::string_view> texts(records.size());
  std::vector<std::uint64_t> counts(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    texts[i] = records[i].phrase;
    counts[i] = records[i].count;
  }
  const std::vector<char> contained = flag_contained_phrases(texts, counts);
  std::vector<PhraseData> kept;
  kept.reserve(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (!contained[i]) kept.push_back(std::move(records[i]));
  }
  return kept;
}

namespace {

// What is left after the sweep on the text: pairs whose container is not its own raw bytes.
template <class Offset>
void flag_contained_by_automaton(std::span<const RepeatedPhrase<Offset>> repeated,
                                 std::span<const char> in_text, std::vector<char>& contained) {
  const std::size_t n = repeated.size();
  std::vector<std::string_view> texts(n);
  std::vector<std::uint64_t> counts(n);
  std::vector<char> general(n);
  for (std::size_t k = 0; k < n; ++k) {
    texts[k] = repeated[k].phrase;
    counts[k] = repeated[k].count;
    general[k] = !in_text[k];
  }
  flag_contained_among(texts, counts, general, general, contained);
  const std::vector<char> targets = targets_meeting(texts, in_text, general);
  flag_contained_among(texts, counts, targets, general, contained);
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
std::uint64_t rank_of(std::span<const std::uint64_t> ranks, std::uint32_t id) {
  return id < ranks.size() ? ranks[id] : kNoRank;
}

// The occurrences of the phrases of `repeated` for the containment sweep on the text: every
// start of each phrase's bytes as a query, the first start of each phrase that is its own raw
// bytes as a container (its other starts have the same bytes).
template <class Offset>
struct TextSweep {
  std::vector<TextOccurrence<Offset>> queries, containers;
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

// The rank interval of each phrase's bytes, with the containers. Phrases that are not their own
// raw bytes are targets only: their bytes, where the text has them, may lie in a raw phrase.
template <class Offset>
std::vector<RankRange> sweep_ranges(const BasicAnalysisIndex<Offset>& index,
                                    std::span<const std::uint64_t> ranks,
                                    std::span<const RepeatedPhrase<Offset>> repeated,
                                    TextSweep<Offset>& sweep) {
  std::vector<RankRange> ranges;
  for (std::size_t k = 0; k < repeated.size(); ++k) {
    if (k + kSweepAhead < repeated.size()) {
      const std::uint64_t ahead = rank_of(ranks, repeated[k + kSweepAhead].id);
      if (ahead != kNoRank) prefetch_read(&index.lcp[ahead]);
    }
    const RepeatedPhrase<Offset>& r = repeated[k];
    const auto phrase = static_cast<std::uint32_t>(k);
    const std::uint64_t rank = rank_of(ranks, r.id);
    std::pair<std::size_t, std::size_t> found;
    if (rank != kNoRank) {
      sweep.in_text[k] = 1;
      sweep.longest = std::max(sweep.longest, r.length());
      found = ranks_sharing(index, rank, r.length());
      sweep.containers.push_back({static_cast<Offset>(r.first_start),
                                  static_cast<Offset>(r.first_start + r.length()), r.count,
                                  phrase});
    } else {
      found = search_text(index, r.phrase);
    }
    if (found.first < found.second) ranges.push_back({found.first, found.second, phrase});
  }
  return ranges;
}

// Every occurrence of each range as a query; sized once.
template <class Offset>
std::vector<TextOccurrence<Offset>> sweep_queries(
    const BasicAnalysisIndex<Offset>& index, std::span<const RankRange> ranges,
    std::span<const RepeatedPhrase<Offset>> repeated) {
  std::size_t occurrences = 0;
  for (const RankRange& range : ranges) occurrences += range.high - range.low;
  std::vector<TextOccurrence<Offset>> queries;
  queries.reserve(occurrences);
  for (std::size_t k = 0; k < ranges.size(); ++k) {
    if (k + kSweepAhead < ranges.size()) {
      prefetch_read(&index.suffix_array[ranges[k + kSweepAhead].low]);
    }
    const auto& [low, high, phrase] = ranges[k];
    const auto length = static_cast<Offset>(repeated[phrase].length());
    const Offset count = repeated[phrase].count;
    for (std::size_t s = low; s < high; ++s) {
      const Offset x = index.suffix_array[s];
      queries.push_back({x, static_cast<Offset>(x + length), count, phrase});
    }
  }
  return queries;
}

template <class Offset>
TextSweep<Offset> text_sweep(const BasicAnalysisIndex<Offset>& index,
                             std::span<const std::uint64_t> ranks,
                             std::span<const RepeatedPhrase<Offset>> repeated) {
  TextSweep<Offset> sweep;
  sweep.in_text.assign(repeated.size(), 0);
  const std::vector<RankRange> ranges = sweep_ranges(index, ranks, repeated, sweep);
  sweep.queries = sweep_queries(index, std::span<const RankRange>(ranges), repeated);
  return sweep;
}

}  // namespace

// Phrases that are their own raw bytes are compared on the text; pairs with any other phrase
// (rewritten ones, and short ones found by hashing) go through the automaton.
template <class Idx>
std::vector<char> contained_candidates(const BasicAnalysisIndex<Idx>& index,
                                       const Candidates<Idx>& scan,
                                       std::span<const RepeatedPhrase<Idx>> repeated) {
  std::vector<char> contained(repeated.size(), 0);
  if (!scan.drop_contained || repeated.size() < 2) return contained;
  TextSweep<Idx> sweep = text_sweep(index, std::span<const std::uint64_t>(scan.rank_of), repeated);
  flag_contained_in_text(std::move(sweep.queries), std::move(sweep.containers), sweep.longest,
                         contained);
  if (std::any_of(sweep.in_text.begin(), sweep.in_text.end(), [](char c) { return c == 0; })) {
    flag_contained_by_automaton(repeated, sweep.in_text, contained);
  }
  return contained;
}

template std::vector<char> contained_candidates(const BasicAnalysisIndex<std::uint32_t>&,
                                                const Candidates<std::uint32_t>&,
                                                std::span<const RepeatedPhrase<std::uint32_t>>);
template std::vector<char> contained_candidates(const BasicAnalysisIndex<std::uint64_t>&,
                                                const Candidates<std::uint64_t>&,
                                                std::span<const RepeatedPhrase<std::uint64_t>>);

}  // namespace quarnel::core::duplicate_finder
