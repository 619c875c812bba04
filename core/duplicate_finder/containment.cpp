#include "duplicate_finder/containment.hpp"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>

#include "base/aho_corasick.hpp"
#include "base/parallel.hpp"
#include "duplicate_finder/containment_on_text.hpp"

namespace quarnel::core::duplicate_finder {
namespace {

using phrase_records::PhraseData;

// The phrases that might be removed by another phrase: every phrase shorter than an anchor (its
// first kAnchor bytes), every phrase whose head and tail anchors occur at the right distance in
// some other phrase with at least its count, and every phrase of a group sharing a beginning with
// too many others to check each, once that beginning occurs with room. A large group of a head is
// split by the phrases' next kAnchor bytes, so that only phrases sharing 16 bytes go as a group.
// The others are never removed, so the automaton is built without them and runs only over the
// phrases in which something was found: on prose the phrases left by the exact pre-filters
// overlap a lot, but hardly any lies inside another that occurs as often.
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
      if (!is_target[j] || p.size() < kAnchor) continue;
      const bool is_long = p.size() >= 2 * kAnchor;
      anchors_.push_back({anchor_at(p, 0), is_long ? anchor_at(p, kAnchor) : 0,
                          anchor_at(p, p.size() - kAnchor), p.size(), j, is_long});
    }
    // By head; within a head the short phrases first, then the long ones by their next bytes;
    // each run by length.
    std::sort(anchors_.begin(), anchors_.end(), [](const Anchor& a, const Anchor& b) {
      return std::tie(a.head, a.is_long, a.next, a.length) <
             std::tie(b.head, b.is_long, b.next, b.length);
    });
    run_end_.resize(anchors_.size());
    for (std::size_t k = 0; k < anchors_.size();) {
      const std::size_t end = run_end(k, [&](const Anchor& a) { return a.head; });
      heads_.push_back(anchors_[k].head);
      head_begin_.push_back(k);
      for (std::size_t r = k; r < end;) {
        const std::size_t run =
            run_end(r, [](const Anchor& a) { return std::tie(a.head, a.is_long, a.next); });
        fill_ends(run_end_, r, run);
        r = run;
      }
      k = end;
    }
    head_begin_.push_back(anchors_.size());
    // About 16 bits per head, so that few bytes scanned need a bisection.
    while ((std::size_t{1} << filter_bits_) < 16 * heads_.size()) ++filter_bits_;
    filter_.assign((std::size_t{1} << filter_bits_) / 64, 0);
    for (const std::uint64_t head : heads_) mark_filter(head);
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
    // A hit on a large run is marked on its first anchor and stands for all of them.
    for (std::size_t k = 0; k < anchors_.size(); ++k) {
      if (anchor_hit[k] == kWholeRun) {
        std::fill(anchor_hit.begin() + static_cast<std::ptrdiff_t>(k),
                  anchor_hit.begin() + static_cast<std::ptrdiff_t>(run_end_[k]), 1);
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
    std::uint64_t head;  // first kAnchor bytes of the phrase
    std::uint64_t next;  // the kAnchor bytes after them, when the phrase is long
    std::uint64_t tail;  // last kAnchor bytes
    std::size_t length;  // of the phrase
    std::size_t phrase;
    bool is_long;  // at least 2 * kAnchor bytes
  };
  // Phrases of a larger group are not checked one by one, which bounds the work per byte.
  static constexpr std::size_t kMaxGroup = 32;
  static constexpr char kWholeRun = 2;

  template <class Key>
  [[nodiscard]] std::size_t run_end(std::size_t k, Key&& key) const {
    std::size_t end = k + 1;
    while (end < anchors_.size() && key(anchors_[end]) == key(anchors_[k])) ++end;
    return end;
  }
  static void fill_ends(std::vector<std::size_t>& ends, std::size_t from, std::size_t to) {
    std::fill(ends.begin() + static_cast<std::ptrdiff_t>(from),
              ends.begin() + static_cast<std::ptrdiff_t>(to), to);
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
      const auto g = static_cast<std::size_t>(
          std::lower_bound(heads_.begin(), heads_.end(), bytes) - heads_.begin());
      if (g == heads_.size() || heads_[g] != bytes) continue;
      const std::size_t k = head_begin_[g];
      const std::size_t end = head_begin_[g + 1];
      if (end - k <= kMaxGroup) {
        any = mark_each(i, at, k, end, anchor_hit) || any;
        continue;
      }
      // The short phrases of a large group, then the run of long ones that shares the next bytes.
      const std::size_t short_end = anchors_[k].is_long ? k : run_end_[k];
      any = mark_run(i, at, k, short_end, anchor_hit) || any;
      if (at + 2 * kAnchor > text.size()) continue;
      const std::uint64_t next = anchor_at(text, at + kAnchor);
      const auto first =
          std::lower_bound(anchors_.begin() + static_cast<std::ptrdiff_t>(short_end),
                           anchors_.begin() + static_cast<std::ptrdiff_t>(end), next,
                           [](const Anchor& a, std::uint64_t b) { return a.next < b; });
      const auto r = static_cast<std::size_t>(first - anchors_.begin());
      if (r < end && anchors_[r].next == next)
        any = mark_run(i, at, r, run_end_[r], anchor_hit) || any;
    }
    return any;
  }

  // A run of anchors [k, end) sharing what phrase i has at `at`, by length: each checked, or, when
  // the run is large, marked as a whole if its shortest phrase other than i fits.
  bool mark_run(std::size_t i, std::size_t at, std::size_t k, std::size_t end,
                std::vector<char>& anchor_hit) const {
    if (end - k <= kMaxGroup) return mark_each(i, at, k, end, anchor_hit);
    const std::size_t shortest = at == 0 && anchors_[k].phrase == i ? k + 1 : k;
    if (anchors_[shortest].length > phrases_[i].size() - at) return false;
    anchor_hit[k] = kWholeRun;
    return true;
  }

  bool mark_each(std::size_t i, std::size_t at, std::size_t k, std::size_t end,
                 std::vector<char>& anchor_hit) const {
    const std::string_view text = phrases_[i];
    bool any = false;
    for (; k < end; ++k) {
      const Anchor& a = anchors_[k];
      if (a.length > text.size() - at) continue;
      if ((at == 0 && a.phrase == i) || counts_[a.phrase] > counts_[i]) continue;
      if (anchor_at(text, at + a.length - kAnchor) == a.tail) {
        if (anchor_hit[k] == 0) anchor_hit[k] = 1;
        any = true;
      }
    }
    return any;
  }

  std::span<const std::string_view> phrases_;
  std::span<const std::uint64_t> counts_;
  std::span<const char> is_target_;
  std::span<const char> is_container_;
  std::vector<Anchor> anchors_;  // by head, then as sorted in the constructor
  // The distinct heads, ascending (bisected apart from the larger anchors), and where each one's
  // anchors begin.
  std::vector<std::uint64_t> heads_;
  std::vector<std::size_t> head_begin_;
  std::vector<std::size_t> run_end_;  // by anchor: one past the last of its run
  unsigned filter_bits_ = 6;
  std::vector<std::uint64_t> filter_;  // one bit per slot of an anchor's hash
};

// The pairs of a target and a container the automaton has to look at. Reads no flags, so that it
// may be found while other pairs are flagged.
ContainmentPrefilter::Candidates prefiltered(std::span<const std::string_view> phrases,
                                             std::span<const std::uint64_t> counts,
                                             std::span<const char> is_target,
                                             std::span<const char> is_container) {
  return ContainmentPrefilter(phrases, counts, is_target, is_container).find();
}

// Flags every target of `found` that occurs inside another, unflagged container of it with at
// least its count.
void flag_prefiltered(std::span<const std::string_view> phrases,
                      std::span<const std::uint64_t> counts,
                      const ContainmentPrefilter::Candidates& found, std::vector<char>& contained) {
  const auto& [targets, may_contain] = found;
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

// Substring elimination on phrase texts and counts, for the pairs of a target and a container:
// flags every target that occurs inside another, unflagged container with at least its count.
void flag_contained_among(std::span<const std::string_view> phrases,
                          std::span<const std::uint64_t> counts, std::span<const char> is_target,
                          std::span<const char> is_container, std::vector<char>& contained) {
  flag_prefiltered(phrases, counts, prefiltered(phrases, counts, is_target, is_container),
                   contained);
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

// What is left after the sweep on the text: pairs whose container is not its own raw bytes. The
// raw targets' prefilter is found on the second thread, on two lanes, while the others are
// flagged.
template <class Offset>
void flag_contained_by_automaton(std::span<const RepeatedPhrase<Offset>> repeated,
                                 std::span<const char> in_text, std::vector<char>& contained,
                                 parallel::Lanes lanes) {
  const std::size_t n = repeated.size();
  std::vector<std::string_view> texts(n);
  std::vector<std::uint64_t> counts(n);
  std::vector<char> general(n);
  for (std::size_t k = 0; k < n; ++k) {
    texts[k] = repeated[k].phrase;
    counts[k] = repeated[k].count;
    general[k] = !in_text[k];
  }
  parallel::SideTask raw_targets(lanes, [&] {
    const std::vector<char> targets = targets_meeting(texts, in_text, general);
    return prefiltered(texts, counts, targets, general);
  });
  flag_contained_among(texts, counts, general, general, contained);
  flag_prefiltered(texts, counts, raw_targets.get(), contained);
}

}  // namespace

// Phrases that are their own raw bytes are compared on the text; pairs with any other phrase
// (rewritten ones, and short ones found by hashing) go through the automaton.
template <class Idx>
std::vector<char> contained_candidates(const BasicAnalysisIndex<Idx>& index,
                                       const Candidates<Idx>& scan,
                                       std::span<const RepeatedPhrase<Idx>> repeated,
                                       parallel::Lanes lanes,
                                       const std::function<void(ArraysRead)>& arrays_read) {
  std::vector<char> contained(repeated.size(), 0);
  if (!scan.drop_contained || repeated.size() < 2) {
    if (arrays_read) {
      arrays_read(ArraysRead::Lcp);
      arrays_read(ArraysRead::SuffixArray);
    }
    return contained;
  }
  const std::vector<char> in_text = flag_contained_on_text(
      index, std::span<const Idx>(scan.rank_of), repeated, contained, lanes, arrays_read);
  if (std::any_of(in_text.begin(), in_text.end(), [](char c) { return c == 0; })) {
    flag_contained_by_automaton(repeated, std::span<const char>(in_text), contained, lanes);
  }
  return contained;
}

template std::vector<char> contained_candidates(const BasicAnalysisIndex<std::uint32_t>&,
                                                const Candidates<std::uint32_t>&,
                                                std::span<const RepeatedPhrase<std::uint32_t>>,
                                                parallel::Lanes,
                                                const std::function<void(ArraysRead)>&);
template std::vector<char> contained_candidates(const BasicAnalysisIndex<std::uint64_t>&,
                                                const Candidates<std::uint64_t>&,
                                                std::span<const RepeatedPhrase<std::uint64_t>>,
                                                parallel::Lanes,
                                                const std::function<void(ArraysRead)>&);

}  // namespace quarnel::core::duplicate_finder
