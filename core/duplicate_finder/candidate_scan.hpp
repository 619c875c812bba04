#pragma once
// The candidate scan: every run of suffix-array neighbours sharing at least the phrase threshold
// is cut, at each of its word starts, into whitespace-normalised windows of min_words..max_words
// words that stay inside one sentence and within the run's longest shared prefix, and the
// windows are recorded by phrase id and start. The steps after the scan (set-aside recovery,
// record assembly, containment) work on what the scan leaves in the collector.
// Time: one visit per rank inside a run and one classification per distinct window of a run;
// memory: the phrase table and the hit lists (8 bytes per start with a new list of windows, on a
// 32-bit text), 3 to 5 bytes per text byte on the bench prose (DESIGN.md).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "duplicate_finder/analysis_index.hpp"
#include "duplicate_finder/chunked_log.hpp"
#include "duplicate_finder/phrase_filter.hpp"
#include "duplicate_finder/phrase_text.hpp"
#include "duplicate_finder/positions.hpp"
#include "radix_sort.hpp"
#include "string_interner.hpp"
#include "suffix_array/lcp_runs.hpp"
#include "suffix_array/search.hpp"
#include "types.hpp"

namespace quarnel::core::duplicate_finder {

using string_interner::HashKey;
using string_interner::StringInterner;
using suffix_array::LcpRun;
using types::FinderParams;
using types::PhraseData;

// An occurrence in the text of a phrase of the containment sweep.
template <class Offset>
struct TextOccurrence {
  Offset start;
  Offset end;
  Offset count;
  std::uint32_t phrase;  // the target's index (queries only)
};

// A phrase that became a record candidate: seen at two or more starts.
template <class Offset>
struct RepeatedPhrase {
  std::string_view phrase;  // in the collector's phrase table
  std::uint64_t first_start;
  std::uint32_t id;
  Offset count;  // starts; kept here: later stages take phrases in length order
  [[nodiscard]] std::uint64_t length() const { return phrase.size(); }
};

// The windows the candidate scan did not store (see CandidateCollector), kept for set-aside
// recovery: tens of millions on a duplicated text, and looked at again only if rewritten phrases
// turn up.
template <class Offset>
struct SetAsideLogs {
  // A run phrase that was not stored: its starts are the ranks around `rank` that share its
  // bytes and cut a window of that length.
  struct Phrase {
    Offset rank;
    Offset raw_length;
  };
  // The windows at `start` longer than `shared`, the most it shares with a neighbour: their
  // bytes occur nowhere else.
  struct Start {
    Offset start;
    Offset shared;
    Offset limit;
  };
  // The windows at the start at `rank` of raw lengths [from, to): phrases set aside as above,
  // all at once (see cut_phrases_at).
  struct Windows {
    Offset rank;
    Offset from, to;
  };

  ChunkedLog<Phrase> phrases;
  ChunkedLog<Start> starts;
  ChunkedLog<Windows> windows;
  // Some window in them is rewritten: its phrase may equal windows of other bytes anywhere.
  bool rewritten = false;

  // Appends the logs of the ranks after these.
  void splice(SetAsideLogs&& later) {
    phrases.splice(std::move(later.phrases));
    starts.splice(std::move(later.starts));
    windows.splice(std::move(later.windows));
    rewritten = rewritten || later.rewritten;
  }
  void clear() {
    phrases.clear();
    starts.clear();
    windows.clear();
  }
};

// The (phrase, start) pairs the scan hit. Hits are stored per position as a list of phrase ids;
// consecutive positions of a run mostly repeat the same list (their verdicts come from the
// cache), and then share it. Set-aside recovery adds the admitted pairs.
template <class Offset>
struct HitLists {
  struct PositionHits {
    Offset position;
    Offset list;  // there are no more lists than positions
  };
  // A window of a list: its phrase (interner ids are 32-bit) and its raw length from the start.
  struct Window {
    std::uint32_t id;
    Offset raw_length;
    friend bool operator==(const Window&, const Window&) = default;
  };

  ChunkedLog<PositionHits> positions;
  std::vector<Window> windows;
  std::vector<std::uint64_t> begin{0};  // list k: windows[begin[k], begin[k + 1])
  std::vector<std::pair<std::uint32_t, Offset>> admitted;  // set-aside windows with a phrase

  [[nodiscard]] std::span<const Window> list(std::uint64_t k) const {
    return std::span<const Window>(windows).subspan(begin[k], begin[k + 1] - begin[k]);
  }

  // The recorded positions in text order.
  [[nodiscard]] std::vector<PositionHits> by_position() const {
    std::vector<PositionHits> sorted;
    sorted.reserve(positions.size());
    positions.for_each([&](const PositionHits& h) { sorted.push_back(h); });
    radix_sort_by_position(sorted, [](const PositionHits& h) { return h.position; });
    return sorted;
  }

  // visit(id, start) for every (phrase, start) pair hit, admitted ones last.
  template <class Visit>
  void for_each_hit(Visit&& visit) const {
    positions.for_each([&](const PositionHits& h) {
      for (const Window& w : list(h.list)) visit(w.id, h.position);
    });
    for (const auto& [id, position] : admitted) visit(id, position);
  }
};

// Scans the runs and fills the candidate table. Within a run, the phrase of raw length d at one
// rank is the same at the next rank whenever d <= the LCP between them, so verdicts are cached by
// raw length and truncated at every rank step: each distinct phrase of a run is classified once
// and becomes one slot of the run, however many ranks reach it.
//
// The starts of a slot's bytes are complete when its run ends (equal raw bytes of threshold
// length share a run), so the run decides there which of those windows to store, raw or
// rewritten alike. The window one word longer at a start of a phrase is hit only from starts that
// also hit the phrase; with the same number of starts it contains the phrase at least as often,
// which removes the phrase in substring elimination unless windows of other bytes with its phrase
// add starts. With `drop_contained` such windows are not stored, only set aside with those seen
// at one start, in case such windows turn up: on a duplicated passage that stores a few windows
// per start instead of every one.
// Offsets are stored as `Offset`: 32 bits whenever the text allows, since on repetitive text the
// hits are the largest working array.
template <class Offset>
class CandidateCollector {
 public:
  CandidateCollector(const BasicAnalysisIndex<Offset>& index, const PositionIndex& positions,
                     const FinderParams& params, const HashKey& key, bool drop_contained)
      : index_(index),
        params_(params),
        threshold_(types::phrase_threshold(params)),
        drop_contained_(drop_contained),
        skipped_words_(std::max<std::uint64_t>(params.min_words, 1) - 1),
        windows_per_start_(params.max_words > skipped_words_ ? params.max_words - skipped_words_
                                                             : 0),
        positions_(positions),
        phrases_(key) {}

  [[nodiscard]] std::uint64_t threshold() const { return threshold_; }

  // Collects the runs within ranks [first, last); no run may cross either end.
  void collect_runs(std::size_t first, std::size_t last) {
    ahead_ = first - 1;  // the cursor steps before it looks
    for (std::size_t k = 0; k < kPrefetchDistance; ++k) advance_ahead();
    suffix_array::for_each_lcp_run(index_.lcp, threshold_, first, last,
                                   [&](const LcpRun& run) { collect_run(run); });
  }

  // Takes over what `later` collected from runs that all come after this one's, as if this
  // collector had gone on to collect them: the same phrase ids, lists and logs.
  void absorb(CandidateCollector&& later);

  void collect_run(const LcpRun& run) {
    cache_.clear();
    slots_.clear();
    run_starts_.clear();
    run_windows_.clear();
    last_start_rank_ = kNoStart;
    run_end_ = run.end;
    const auto& lcp = index_.lcp;
    for (std::size_t rank = run.begin - 1; rank < run.end; ++rank) {
      prefetch_ahead();
      if (rank >= run.begin) forget_longer_than(lcp[rank]);
      const std::uint64_t shared_after = rank + 1 < lcp.size() ? lcp[rank + 1] : 0;
      cut_phrases_at(rank, run.max_lcp, std::max<std::uint64_t>(lcp[rank], shared_after));
    }
    close_run();
  }

  // ---- The steps after the scan, each defined in the file of its stage. ----

  // Set-aside recovery (set_aside_recovery.cpp): admits the set-aside windows whose phrase is
  // also that of windows of other bytes, then joins raw phrases equal to a rewritten one.
  void admit_set_aside_windows();
  void join_raw_phrases();

  // Record assembly (record_assembly.cpp). Phrases seen at two or more offsets with enough words
  // (with `drop_contained`, not extended by a window of at least their count), by byte length
  // descending, then first start ascending (a total order).
  [[nodiscard]] std::vector<RepeatedPhrase<Offset>> repeated_phrases(bool split) const;
  // The records of `repeated`, in that order; with `split`, built on two threads.
  [[nodiscard]] std::vector<PhraseData> build_records(
      std::span<const RepeatedPhrase<Offset>> repeated, bool split) const;

  // Containment (containment.cpp): by entry of `repeated`, whether it lies inside a longer
  // phrase of `repeated` with at least its count; nothing when `drop_contained` is off.
  [[nodiscard]] std::vector<char> flag_contained(
      std::span<const RepeatedPhrase<Offset>> repeated) const;

  // visit(id, start) for every (phrase, start) pair hit, admitted ones last.
  template <class Visit>
  void for_each_hit(Visit&& visit) const;

 private:
  static constexpr std::uint32_t kRejected = 0xFFFF'FFFF;  // verdict: too few non-space bytes
  static constexpr std::uint32_t kLonely = 0xFFFF'FFFE;    // verdict: shared with no neighbour
  static constexpr std::uint32_t kNone = 0xFFFF'FFFF;      // no slot, no id

  struct CachedVerdict {
    std::uint64_t raw_length = 0;
    std::uint32_t slot = kRejected;
  };

  // One phrase of the current run.
  struct Slot {
    std::uint64_t raw_length = 0;
    std::uint64_t first_rank = 0;
    std::uint32_t id = kNone;    // table id; a unique slot gets one when the run closes, if stored
    std::uint32_t count = 0;     // starts of the run that hit it
    std::uint32_t next = kNone;  // the slot one word longer at one of its starts
    // Of threshold length or more: equal bytes share the run, so the slot knows all its starts
    // (those of other bytes normalised to its phrase come from set-aside recovery).
    bool unique = false;
    bool rewritten = false;  // normalisation changes the window's bytes
  };

  using SetAsidePhrase = typename SetAsideLogs<Offset>::Phrase;
  using SetAsideStart = typename SetAsideLogs<Offset>::Start;
  using SetAsideWindows = typename SetAsideLogs<Offset>::Windows;

  // Positions come in suffix-array order, scattered over the text, and most runs are short and
  // far apart: a cursor walks the ranks that lie in runs a fixed number of them ahead of the
  // scan, and fetches the blocks of their positions.
  static constexpr std::size_t kPrefetchDistance = 16;
  void prefetch_ahead() { advance_ahead(); }

  void advance_ahead() {
    const auto& lcp = index_.lcp;
    while (++ahead_ + 1 < lcp.size()) {
      if (lcp[ahead_] >= threshold_ || lcp[ahead_ + 1] >= threshold_) {
        positions_.prefetch(index_.suffix_array[ahead_]);
        return;
      }
    }
    ahead_ = lcp.size();
  }

  void forget_longer_than(std::uint64_t shared) {
    while (!cache_.empty() && cache_.back().raw_length > shared) cache_.pop_back();
  }

  // The limit of the windows at p (sentence boundary, run maximum); nullopt when p cuts none.
  [[nodiscard]] std::optional<std::uint64_t> window_limit(std::uint64_t p,
                                                          std::uint64_t run_max) const;
  // Calls visit(end) for the end of every window cut at p up to `limit`, shortest first, until
  // visit returns false.
  template <class Visit>
  void for_each_window_end(std::uint64_t p, std::uint64_t limit, Visit&& visit) const {
    PositionIndex::EndCursor ends(positions_, p, skipped_words_);
    std::uint64_t windows = windows_per_start_;
    for (auto e = ends.next(); e && *e <= limit && windows > 0; e = ends.next(), --windows) {
      if (!visit(*e)) return;
    }
  }
  void cut_phrases_at(std::size_t rank, std::uint64_t run_max, std::uint64_t own_shared);
  [[nodiscard]] bool repeats_previous_start(std::size_t rank, std::uint64_t span) const;
  void repeat_previous_start(std::uint64_t p);
  void hit(std::uint32_t slot, std::size_t rank, std::uint32_t& previous);
  [[nodiscard]] std::uint32_t resolve(std::uint64_t raw_length);
  [[nodiscard]] std::uint32_t classify(std::uint64_t raw_length);
  [[nodiscard]] std::uint32_t new_slot(std::uint64_t raw_length, std::uint32_t id, bool unique,
                                       bool rewritten);
  [[nodiscard]] std::uint32_t intern_rewritten(std::string_view phrase);
  void remember_fresh_verdicts();
  void close_run();
  void record_position_hits(std::uint64_t p);
  [[nodiscard]] std::optional<std::uint32_t> rewritten_id_of(std::uint64_t start,
                                                             std::uint64_t raw_length) const;
  [[nodiscard]] bool cuts_window(std::uint64_t q, std::uint64_t raw_length) const;
  // One window of the set-aside logs: its start, and a rank of it (or kNoRank, when the start is
  // its only one).
  struct SetAsideWindow {
    std::uint64_t start;
    std::uint64_t raw_length;
    std::uint64_t rank;
  };
  template <class Visit>
  void for_each_set_aside_window(Visit&& visit) const;
  void admit_window(std::uint32_t id, const SetAsideWindow& window);
  [[nodiscard]] bool may_be_rewritten(std::string_view phrase) const;
  [[nodiscard]] bool rewritten(const SetAsideWindow& window) const;
  struct RewrittenSightings;
  [[nodiscard]] RewrittenSightings look_up_rewritten_set_aside();
  void add_rewritten_set_aside(std::span<const std::uint32_t> keys,
                               const RewrittenSightings& seen);
  [[nodiscard]] std::vector<std::uint32_t> admit_raw_set_aside(const RewrittenSightings* seen);
  void admit_raw_set_aside_meeting(std::span<const std::uint32_t> met,
                                   const RewrittenSightings& seen);
  // The phrases of windows read in raw-length order at each start, by one stream per start.
  class PhraseReader {
   public:
    std::string_view phrase(std::string_view text, std::uint64_t start, std::uint64_t raw_length);

   private:
    NormalizedStream stream_;
    std::uint64_t start_ = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t raw_length_ = 0;
  };
  [[nodiscard]] std::uint64_t shared_with_other_ranks(std::size_t rank, std::uint64_t run_max,
                                                      std::uint64_t span) const;
  [[nodiscard]] bool cuts_unique_slot(std::uint64_t raw_length) const;
  [[nodiscard]] bool has_enough_chars(std::uint64_t raw_length) const;
  void drop_admitted_duplicates();
  void replace_ids(std::span<const std::uint32_t> replacement);

  using Repeated = RepeatedPhrase<Offset>;
  // The occurrences of the phrases of `repeated` for the containment sweep on the text: every
  // start of each phrase's bytes as a query, the first start of each phrase that is its own raw
  // bytes as a container (its other starts have the same bytes).
  struct TextSweep {
    std::vector<TextOccurrence<Offset>> queries, containers;
    std::uint64_t longest;      // of the containers
    std::vector<char> in_text;  // by entry of `repeated`: whether it is its own raw bytes
  };
  [[nodiscard]] TextSweep text_sweep(std::span<const Repeated> repeated) const;
  [[nodiscard]] std::vector<Repeated> select_repeated(std::span<const Offset> counts,
                                                      std::span<const Offset> first_start,
                                                      std::span<const char> extended) const;
  [[nodiscard]] static bool extends(std::uint32_t outer, std::uint32_t inner,
                                    std::span<const Offset> counts);
  void mark_right_extensions(std::span<const Offset> counts, std::vector<char>& extended) const;
  void mark_left_extensions(std::span<const Offset> counts, std::vector<char>& extended) const;
  // The ranks [first, last) of the suffixes that share the first `length` bytes of the one at
  // `rank`.
  [[nodiscard]] std::pair<std::size_t, std::size_t> ranks_sharing(std::size_t rank,
                                                                  std::uint64_t length) const {
    const auto& lcp = index_.lcp;
    std::size_t low = rank;
    while (low > 0 && lcp[low] >= length) --low;
    std::size_t high = rank + 1;
    while (high < lcp.size() && lcp[high] >= length) ++high;
    return {low, high};
  }
  [[nodiscard]] std::uint64_t rank_of(std::uint32_t id) const {
    return id < rank_of_.size() ? rank_of_[id] : kNoRank;
  }
  // The ranks of the suffixes that begin with `phrase`.
  [[nodiscard]] std::pair<std::size_t, std::size_t> search_text(std::string_view phrase) const {
    const auto found = suffix_array::sa_search_range(
        {reinterpret_cast<const std::uint8_t*>(index_.text.data()), index_.text.size()},
        index_.suffix_array, {reinterpret_cast<const std::uint8_t*>(phrase.data()), phrase.size()});
    return {static_cast<std::size_t>(found.lo), static_cast<std::size_t>(found.hi)};
  }

  const BasicAnalysisIndex<Offset>& index_;
  const FinderParams& params_;
  std::uint64_t threshold_;
  bool drop_contained_;
  // The k-th word end after a start closes its window of k words: the first `skipped_words_`
  // windows have fewer than min_words words, and at most max_words are cut.
  std::uint64_t skipped_words_;
  std::uint64_t windows_per_start_;
  const PositionIndex& positions_;
  StringInterner phrases_;
  PhraseFilter rewritten_;                    // stored phrases that differ from their raw bytes
  std::vector<std::uint32_t> rewritten_ids_;  // their ids
  PhraseFilter late_rewritten_;  // rewritten phrases that set-aside recovery added to the table
  // The tables of collectors absorbed into this one: their keys are borrowed.
  std::vector<StringInterner> absorbed_tables_;
  using PositionHits = typename HitLists<Offset>::PositionHits;
  using Window = typename HitLists<Offset>::Window;
  void prefetch_list_of(std::span<const PositionHits> hits, std::size_t k,
                        std::span<const Offset> counts) const;
  HitLists<Offset> hits_;
  std::vector<Window> current_;  // windows hit at the current position
  SetAsideLogs<Offset> set_aside_;
  std::vector<std::uint32_t> raw_ids_;  // unindexed phrases, taken unchanged from their bytes
  // By id: a rank of the phrase's bytes for the phrases that are their own raw bytes at every
  // start (unindexed ones not joined to a rewritten phrase), else kNoRank.
  static constexpr std::uint64_t kNoRank = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::uint64_t> rank_of_;
  // The current run: its slots, and per start (rank order) the slots of its windows.
  std::vector<Slot> slots_;
  std::vector<std::pair<std::uint64_t, std::size_t>> run_starts_;  // position, first window
  std::vector<std::uint32_t> run_windows_;
  std::vector<CachedVerdict> cache_;  // ascending raw_length, valid for the current rank
  std::vector<CachedVerdict> fresh_;  // verdicts first computed at the current position
  std::vector<CachedVerdict> merged_;
  std::size_t cache_cursor_ = 0;
  // The last rank of the run that cut windows, and how far they reached.
  static constexpr std::size_t kNoStart = std::numeric_limits<std::size_t>::max();
  std::size_t last_start_rank_ = kNoStart;
  std::size_t run_end_ = 0;  // one past the last rank of the current run
  std::uint64_t last_span_ = 0;
  std::size_t ahead_ = 0;  // the rank the prefetching cursor reached
  std::uint64_t position_ = 0;
  std::uint64_t own_shared_ = 0;
  bool raw_to_limit_ = false;  // no window at the current start needs normalising
  bool enough_chars_ = false;  // a window at the current start passed the min_chars test
  NormalizedStream stream_;
  NormalizedStream closing_stream_;
};

template <class Offset>
template <class Visit>
void CandidateCollector<Offset>::for_each_hit(Visit&& visit) const {
  hits_.for_each_hit(visit);
}

// The candidate scan of `index`, on two threads when `split` (the upper ranks by a second
// collector, then absorbed). With `drop_contained`, raw windows that a longer window at their
// start contains as often are set aside instead of stored. Offsets are stored in the width of the
// suffix array's entries.
template <class Idx>
[[nodiscard]] CandidateCollector<Idx> scan_candidates(const BasicAnalysisIndex<Idx>& index,
                                                      const PositionIndex& positions,
                                                      const FinderParams& params,
                                                      const HashKey& key, bool drop_contained,
                                                      bool split);

}  // namespace quarnel::core::duplicate_finder
