#pragma once
// The run state of the candidate scan, private to candidate_scan.cpp: the stages after the scan
// see only the `Candidates` it leaves. Memory: the slots and verdicts of the current run, beside
// the candidates being filled.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "base/string_interner.hpp"
#include "duplicate_finder/analysis_index.hpp"
#include "duplicate_finder/candidates.hpp"
#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"
#include "duplicate_finder/phrase_text.hpp"
#include "duplicate_finder/positions.hpp"
#include "duplicate_finder/window_cut.hpp"
#include "suffix_array/lcp_runs.hpp"

namespace quarnel::core::duplicate_finder {

// Scans the runs and fills the candidates. Within a run, the phrase of raw length d at one rank is
// the same at the next rank whenever d <= the LCP between them, so verdicts are cached by raw
// length and truncated at every rank step: each distinct phrase of a run is classified once and
// becomes one slot of the run, however many ranks reach it.
//
// The starts of a slot's bytes are complete when its run ends (equal raw bytes of threshold
// length share a run), so the run decides there which of those windows to store, raw or
// rewritten alike. The window one word longer at a start of a phrase is hit only from starts that
// also hit the phrase; with the same number of starts it contains the phrase at least as often,
// which removes the phrase in substring elimination unless windows of other bytes with its phrase
// add starts. With `drop_contained` such windows are not stored, only set aside with those seen
// at one start, in case such windows turn up: on a duplicated passage that stores a few windows
// per start instead of every one.
template <class Offset>
class CandidateCollector {
 public:
  CandidateCollector(const BasicAnalysisIndex<Offset>& index, const PositionIndex& positions,
                     const FinderParams& params, const string_interner::HashKey& key,
                     bool drop_contained)
      : index_(index),
        params_(params),
        threshold_(phrase_threshold(params)),
        drop_contained_(drop_contained),
        cut_(params),
        positions_(positions),
        out_(key, threshold_, drop_contained) {}

  [[nodiscard]] std::uint64_t threshold() const { return threshold_; }

  // Collects the runs within ranks [first, last); no run may cross either end.
  void collect_runs(std::size_t first, std::size_t last) {
    ahead_ = first - 1;  // the cursor steps before it looks
    for (std::size_t k = 0; k < kPrefetchDistance; ++k) advance_ahead();
    suffix_array::for_each_lcp_run(index_.lcp, threshold_, first, last,
                                   [&](const suffix_array::LcpRun& run) { collect_run(run); });
  }

  // Takes over what `later` collected from runs that all come after this one's, as if this
  // collector had gone on to collect them: the same phrase ids, lists and logs.
  void absorb(CandidateCollector&& later);

  // What the scan found; the collector is spent.
  [[nodiscard]] Candidates<Offset> take() && { return std::move(out_); }

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

  using PositionHits = typename HitLists<Offset>::PositionHits;
  using Window = typename HitLists<Offset>::Window;

  void collect_run(const suffix_array::LcpRun& run) {
    cache_.clear();
    slots_.clear();
    run_starts_.clear();
    run_windows_.clear();
    last_start_rank_ = kNoStart;
    run_end_ = run.end;
    const auto& lcp = index_.lcp;
    std::uint64_t shared_before = lcp[run.begin - 1];  // each entry is read once
    for (std::size_t rank = run.begin - 1; rank < run.end; ++rank) {
      prefetch_ahead();
      if (rank >= run.begin) forget_longer_than(shared_before);
      const std::uint64_t shared_after = rank + 1 < lcp.size() ? lcp[rank + 1] : 0;
      cut_phrases_at(rank, run.max_lcp, std::max(shared_before, shared_after));
      shared_before = shared_after;
    }
    close_run();
  }

  // Positions come in suffix-array order, scattered over the text, and most runs are short and
  // far apart: a cursor walks the ranks that lie in runs a fixed number of them ahead of the
  // scan, and fetches the blocks of their positions.
  static constexpr std::size_t kPrefetchDistance = 16;
  void prefetch_ahead() { advance_ahead(); }

  // The next rank in a run: its LCP entry or the next one reaches the threshold.
  void advance_ahead() {
    const auto& lcp = index_.lcp;
    if (++ahead_ + 1 >= lcp.size()) {
      ahead_ = lcp.size();
      return;
    }
    if (lcp[ahead_] < threshold_) {
      const std::size_t next = suffix_array::next_reaching(lcp, threshold_, ahead_ + 1, lcp.size());
      if (next == lcp.size()) {
        ahead_ = lcp.size();
        return;
      }
      ahead_ = next - 1;
    }
    positions_.prefetch(index_.suffix_array[ahead_]);
  }

  void forget_longer_than(std::uint64_t shared) {
    while (!cache_.empty() && cache_.back().raw_length > shared) cache_.pop_back();
  }

  // The limit of the windows at p (sentence boundary, run maximum); nullopt when p cuts none.
  [[nodiscard]] std::optional<std::uint64_t> window_limit(std::uint64_t p,
                                                          std::uint64_t run_max) const;
  void cut_phrases_at(std::size_t rank, std::uint64_t run_max, std::uint64_t own_shared);
  void begin_start(std::uint64_t p, std::uint64_t limit, std::uint64_t own_shared);
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
  void store_unique_slot(Slot& s);
  void record_position_hits(std::uint64_t p);
  [[nodiscard]] std::uint64_t shared_with_other_ranks(std::size_t rank, std::uint64_t run_max,
                                                      std::uint64_t span) const;
  [[nodiscard]] bool cuts_unique_slot(std::uint64_t raw_length) const;
  [[nodiscard]] bool has_enough_chars(std::uint64_t raw_length) const;
  [[nodiscard]] std::vector<std::uint32_t> absorb_phrases(Candidates<Offset>& from,
                                                          std::span<const std::string_view> keys);
  void absorb_hits(Candidates<Offset>& from);

  const BasicAnalysisIndex<Offset>& index_;
  const FinderParams& params_;
  std::uint64_t threshold_;
  bool drop_contained_;
  WindowCut cut_;
  const PositionIndex& positions_;
  Candidates<Offset> out_;
  std::vector<Window> current_;  // windows hit at the current position
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

}  // namespace quarnel::core::duplicate_finder
