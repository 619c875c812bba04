#include "duplicate_finder/candidate_scan.hpp"

#include <algorithm>
#include <iterator>

#include "base/parallel.hpp"
#include "duplicate_finder/candidate_collector.hpp"

namespace quarnel::core::duplicate_finder {

using string_interner::HashKey;

template <class Offset>
std::optional<std::uint64_t> CandidateCollector<Offset>::window_limit(std::uint64_t p,
                                                                      std::uint64_t run_max) const {
  const std::string_view text = index_.text;
  if (p >= text.size() || !positions_.starts_word(p)) return std::nullopt;
  const std::uint64_t cap = std::min<std::uint64_t>(text.size() - p, run_max);
  if (cap < threshold_) return std::nullopt;
  if (cut_.per_start == 0) return std::nullopt;
  return std::min(positions_.boundary_after(p), p + cap);
}

template <class Offset>
void CandidateCollector<Offset>::cut_phrases_at(std::size_t rank, std::uint64_t run_max,
                                                std::uint64_t own_shared) {
  const std::uint64_t p = index_.suffix_array[rank];
  const auto limit = window_limit(p, run_max);
  if (!limit) return;
  const std::uint64_t span = *limit - p;
  const bool repeats = repeats_previous_start(rank, span);
  last_start_rank_ = rank;
  if (repeats) {
    repeat_previous_start(p);
    return;
  }
  last_span_ = span;
  begin_start(p, *limit, own_shared);
  std::uint32_t previous = kNone;  // the slot of the window one word shorter
  // A passage copied once puts its two starts at neighbouring ranks, the second repeating the
  // first. The windows longer than what either shares with any other rank are hit by these two
  // starts alone (and by windows of other bytes with the same phrase, which recovery finds), so
  // each but the longest has the next one with the same two starts and is set aside: those are
  // noted as one range, and only the longest gets a slot.
  const std::uint64_t only_pair_above = shared_with_other_ranks(rank, run_max, span);
  std::uint64_t first_raw = 0, last_raw = 0;  // raw lengths, when skipping
  cut_.for_each_end(positions_, p, *limit, [&](std::uint64_t e) {
    if (first_raw != 0 || (e - p > only_pair_above && cuts_unique_slot(e - p))) {
      if (first_raw == 0) first_raw = e - p;
      last_raw = e - p;
      return true;
    }
    const std::uint32_t slot = resolve(e - p);
    if (slot == kRejected) return true;
    if (slot == kLonely) {
      out_.set_aside.starts.push_back(
          {static_cast<Offset>(p), static_cast<Offset>(own_shared), static_cast<Offset>(*limit)});
      if (!raw_to_limit_) out_.set_aside.rewritten = true;
      // Every longer window is lonely too: its bytes occur nowhere else.
      return false;
    }
    hit(slot, rank, previous);
    return true;
  });
  if (last_raw > first_raw) {
    out_.set_aside.windows.push_back(
        {static_cast<Offset>(rank), static_cast<Offset>(first_raw), static_cast<Offset>(last_raw)});
    if (!raw_to_limit_) out_.set_aside.rewritten = true;
  }
  if (last_raw != 0) hit(resolve(last_raw), rank, previous);
  remember_fresh_verdicts();
}

// Resets the per-start state for the start p, whose windows reach up to `limit`.
template <class Offset>
void CandidateCollector<Offset>::begin_start(std::uint64_t p, std::uint64_t limit,
                                             std::uint64_t own_shared) {
  positions_.prefetch_following(p);  // where its word ends will be read
  position_ = p;
  own_shared_ = own_shared;
  stream_.reset(index_.text, p);
  cache_cursor_ = 0;
  fresh_.clear();
  raw_to_limit_ = !positions_.alters(p, limit);
  enough_chars_ = false;
  run_starts_.emplace_back(p, run_windows_.size());
}

// When the start at rank + 1 of the run will repeat the one at `rank`, which cuts windows over
// `span` bytes (the test of repeats_previous_start, made before the rank is reached): the most the
// two share with any other rank. Otherwise no window is left to them alone: kMaxU64.
template <class Offset>
std::uint64_t CandidateCollector<Offset>::shared_with_other_ranks(std::size_t rank,
                                                                  std::uint64_t run_max,
                                                                  std::uint64_t span) const {
  const auto& lcp = index_.lcp;
  if (!drop_contained_ || rank + 1 >= run_end_ || lcp[rank + 1] <= span) {
    return kMaxU64;
  }
  const std::uint64_t q = index_.suffix_array[rank + 1];
  const auto limit = window_limit(q, run_max);
  if (!limit || *limit - q != span) return kMaxU64;
  return std::max<std::uint64_t>(lcp[rank], rank + 2 < run_end_ ? lcp[rank + 2] : 0);
}

// Whether classify would give the window of `raw_length` at the current start a slot of
// threshold length, when no window there is longer than what the start shares.
template <class Offset>
bool CandidateCollector<Offset>::cuts_unique_slot(std::uint64_t raw_length) const {
  if (raw_length < threshold_ || raw_length > own_shared_) return false;
  return enough_chars_ || has_enough_chars(raw_length);
}

// Whether the window of `raw_length` at the current start has more than min_chars non-space
// bytes: the raw bytes of its characters that are not white space.
template <class Offset>
bool CandidateCollector<Offset>::has_enough_chars(std::uint64_t raw_length) const {
  return raw_length > params_.min_chars &&
         raw_length - positions_.space_bytes(position_, position_ + raw_length) > params_.min_chars;
}

template <class Offset>
void CandidateCollector<Offset>::absorb(CandidateCollector&& later) {
  Candidates<Offset>& from = later.out_;
  // Both collectors' tables are at their largest: the later one's go as soon as they are taken,
  // its lookup tables first (only its keys and their bytes are read again), and its hits are
  // taken before this table grows by its phrases.
  auto keys = std::move(from.phrases).take_keys();
  const std::uint64_t windows_before = out_.hits.windows.size();
  absorb_hits(from);
  const std::vector<std::uint32_t> id_of = absorb_phrases(from, keys.by_id);
  decltype(keys.by_id)().swap(keys.by_id);
  for (std::uint64_t w = windows_before; w < out_.hits.windows.size(); ++w) {
    out_.hits.windows[w].id = id_of[out_.hits.windows[w].id];
  }
  out_.set_aside.splice(std::move(from.set_aside));
  std::move(keys.storage.begin(), keys.storage.end(), std::back_inserter(out_.absorbed_keys));
}

// Walking the later table in id order gives each phrase new to this one the id it would have got
// here, since ids follow first insertion. Returns the new id of each later one.
template <class Offset>
std::vector<std::uint32_t> CandidateCollector<Offset>::absorb_phrases(
    Candidates<Offset>& from, std::span<const std::string_view> keys) {
  const std::size_t later_ids = keys.size();
  std::vector<char> unindexed(later_ids, 0), rewritten(later_ids, 0);
  for (const std::uint32_t id : from.raw_ids) unindexed[id] = 1;
  for (const std::uint32_t id : from.rewritten_ids) rewritten[id] = 1;
  std::vector<std::uint32_t> id_of(later_ids);
  out_.phrases.reserve(later_ids, later_ids - from.raw_ids.size());
  out_.raw_ids.reserve(out_.raw_ids.size() + from.raw_ids.size());
  for (std::size_t id = 0; id < later_ids; ++id) {
    const std::string_view key = keys[id];
    if (unindexed[id]) {
      id_of[id] = static_cast<std::uint32_t>(out_.phrases.add_unindexed(key));
      out_.raw_ids.push_back(id_of[id]);
      continue;
    }
    const auto [mine, inserted] = out_.phrases.intern_borrowed(key);
    id_of[id] = static_cast<std::uint32_t>(mine);
    if (inserted && rewritten[id]) {
      out_.rewritten.add(key);
      out_.rewritten_ids.push_back(id_of[id]);
    }
  }
  constexpr auto kNone = static_cast<Offset>(kNoRank);
  out_.rank_of.resize(out_.phrases.size(), kNone);
  for (std::size_t id = 0; id < from.rank_of.size(); ++id) {
    if (from.rank_of[id] != kNone) out_.rank_of[id_of[id]] = from.rank_of[id];
  }
  decltype(from.rank_of)().swap(from.rank_of);
  decltype(from.raw_ids)().swap(from.raw_ids);
  decltype(from.rewritten_ids)().swap(from.rewritten_ids);
  return id_of;
}

// Lists and hits follow those here. (A first list equal to the last one here stays a copy of it
// rather than shared: lists are read only through their windows.) Both collectors' tables are at
// their largest: the later one's are renumbered where they lie and freed as soon as taken. The
// windows keep the later table's phrase ids.
template <class Offset>
void CandidateCollector<Offset>::absorb_hits(Candidates<Offset>& from) {
  HitLists<Offset>& hits = out_.hits;
  const std::size_t lists_before = hits.begin.size() - 1;
  const std::uint64_t windows_before = hits.windows.size();
  // Exactly the room needed: a doubling here would double the largest arrays of the scan.
  hits.windows.reserve(windows_before + from.hits.windows.size());
  hits.windows.insert(hits.windows.end(), from.hits.windows.begin(), from.hits.windows.end());
  decltype(from.hits.windows)().swap(from.hits.windows);
  hits.begin.reserve(hits.begin.size() + from.hits.begin.size() - 1);
  for (std::size_t k = 1; k < from.hits.begin.size(); ++k) {
    hits.begin.push_back(windows_before + from.hits.begin[k]);
  }
  decltype(from.hits.begin)().swap(from.hits.begin);
  from.hits.positions.update_each(
      [&](PositionHits& h) { h.list = static_cast<Offset>(h.list + lists_before); });
  hits.positions.splice(std::move(from.hits.positions));
}

// The start at the rank before cut its windows up to the same distance, and the two share more
// bytes than that: the same word ends, the same verdicts from the cache, none of them lonely (each
// start shares more than the span with the other). So this start hits exactly the previous
// start's slots, whose links to their next window are already set.
template <class Offset>
bool CandidateCollector<Offset>::repeats_previous_start(std::size_t rank,
                                                        std::uint64_t span) const {
  return last_start_rank_ != kNoStart && last_start_rank_ + 1 == rank && span == last_span_ &&
         index_.lcp[rank] > span;
}

template <class Offset>
void CandidateCollector<Offset>::repeat_previous_start(std::uint64_t p) {
  const std::size_t begin = run_starts_.back().second;
  const std::size_t end = run_windows_.size();
  run_starts_.emplace_back(p, end);
  for (std::size_t w = begin; w < end; ++w) {
    const std::uint32_t slot = run_windows_[w];
    ++slots_[slot].count;
    run_windows_.push_back(slot);
  }
}

template <class Offset>
void CandidateCollector<Offset>::hit(std::uint32_t slot, std::size_t rank,
                                     std::uint32_t& previous) {
  Slot& s = slots_[slot];
  if (s.count++ == 0) s.first_rank = rank;
  if (previous != kNone && slots_[previous].next == kNone) slots_[previous].next = slot;
  previous = slot;
  run_windows_.push_back(slot);
}

template <class Offset>
std::uint32_t CandidateCollector<Offset>::resolve(std::uint64_t raw_length) {
  while (cache_cursor_ < cache_.size() && cache_[cache_cursor_].raw_length < raw_length) {
    ++cache_cursor_;
  }
  if (cache_cursor_ < cache_.size() && cache_[cache_cursor_].raw_length == raw_length) {
    return cache_[cache_cursor_].slot;
  }
  const std::uint32_t slot = classify(raw_length);
  // A lonely window is longer than the LCP to the next rank, so its verdict would be dropped
  // before any reuse.
  if (slot != kLonely) fresh_.push_back({raw_length, slot});
  return slot;
}

template <class Offset>
std::uint32_t CandidateCollector<Offset>::new_slot(std::uint64_t raw_length, std::uint32_t id,
                                                   bool unique, bool rewritten) {
  slots_.push_back({raw_length, 0, id, 0, kNone, unique, rewritten});
  return static_cast<std::uint32_t>(slots_.size() - 1);
}

template <class Offset>
std::uint32_t CandidateCollector<Offset>::classify(std::uint64_t raw_length) {
  const std::uint64_t end = position_ + raw_length;
  // Longer windows at a start have at least as many non-space bytes.
  if (!enough_chars_) {
    if (!has_enough_chars(raw_length)) return kRejected;
    enough_chars_ = true;
  }
  if (raw_length > own_shared_) return kLonely;
  const bool rewritten = !raw_to_limit_ && positions_.alters(position_, end);
  if (raw_length >= threshold_) return new_slot(raw_length, kNone, true, rewritten);
  if (!rewritten) {
    // The analysis text outlives the table, so the key need not be copied.
    const std::string_view raw = index_.text.substr(position_, raw_length);
    return new_slot(raw_length, static_cast<std::uint32_t>(out_.phrases.intern_borrowed(raw).id),
                    false, false);
  }
  stream_.extend_to(raw_length);
  const std::string_view phrase = stream_.phrase();
  return new_slot(raw_length, intern_rewritten(phrase), false, true);
}

template <class Offset>
std::uint32_t CandidateCollector<Offset>::intern_rewritten(std::string_view phrase) {
  const auto [id, inserted] = out_.phrases.intern(phrase);
  if (inserted) {
    out_.rewritten.add(phrase);
    out_.rewritten_ids.push_back(static_cast<std::uint32_t>(id));
  }
  return static_cast<std::uint32_t>(id);
}

template <class Offset>
void CandidateCollector<Offset>::remember_fresh_verdicts() {
  if (fresh_.empty()) return;
  merged_.clear();
  const auto shorter = [](const CachedVerdict& a, const CachedVerdict& b) {
    return a.raw_length < b.raw_length;
  };
  std::merge(cache_.begin(), cache_.end(), fresh_.begin(), fresh_.end(),
             std::back_inserter(merged_), shorter);
  cache_.swap(merged_);
}

// Every slot of threshold length with a single start, or with a longer window at its start hit as
// often, is set aside; the others get their table ids. Then each start's windows are recorded by
// id.
template <class Offset>
void CandidateCollector<Offset>::close_run() {
  for (Slot& s : slots_) {
    if (!s.unique) continue;
    const bool extended = drop_contained_ && s.next != kNone && slots_[s.next].count == s.count;
    if (s.count < 2 || extended) {
      out_.set_aside.phrases.push_back(
          {static_cast<Offset>(s.first_rank), static_cast<Offset>(s.raw_length)});
      if (s.rewritten) out_.set_aside.rewritten = true;
      continue;
    }
    store_unique_slot(s);
  }
  for (std::size_t k = 0; k < run_starts_.size(); ++k) {
    const auto [p, begin] = run_starts_[k];
    const std::size_t end =
        k + 1 < run_starts_.size() ? run_starts_[k + 1].second : run_windows_.size();
    current_.clear();
    for (std::size_t w = begin; w < end; ++w) {
      const Slot& s = slots_[run_windows_[w]];
      // Windows with the same phrase at one start are consecutive; count the start once.
      if (s.id == kNone || (!current_.empty() && current_.back().id == s.id)) continue;
      current_.push_back({s.id, static_cast<Offset>(s.raw_length)});
    }
    record_position_hits(p);
  }
}

// Gives a unique slot that is stored its table id: its phrase's, if rewritten, else a new id of
// its raw bytes.
template <class Offset>
void CandidateCollector<Offset>::store_unique_slot(Slot& s) {
  const std::uint64_t start = index_.suffix_array[s.first_rank];
  if (s.rewritten) {
    closing_stream_.reset(index_.text, start);
    closing_stream_.extend_to(s.raw_length);
    s.id = intern_rewritten(closing_stream_.phrase());
    return;
  }
  // Every other start of these bytes lies in this run: only a rewritten phrase can join it,
  // and that is settled once at the end.
  const std::string_view raw = index_.text.substr(start, s.raw_length);
  s.id = static_cast<std::uint32_t>(out_.phrases.add_unindexed(raw));
  out_.raw_ids.push_back(s.id);
  out_.rank_of.resize(out_.phrases.size(), static_cast<Offset>(kNoRank));
  out_.rank_of[s.id] = static_cast<Offset>(s.first_rank);
}

template <class Offset>
void CandidateCollector<Offset>::record_position_hits(std::uint64_t p) {
  if (current_.empty()) return;
  const std::size_t lists = out_.hits.begin.size() - 1;
  const auto list_at = [&](std::uint64_t k) {
    return out_.hits.windows.begin() + static_cast<std::ptrdiff_t>(out_.hits.begin[k]);
  };
  const bool repeats_last =
      lists > 0 && std::equal(current_.begin(), current_.end(), list_at(lists - 1), list_at(lists));
  if (!repeats_last) {
    out_.hits.windows.insert(out_.hits.windows.end(), current_.begin(), current_.end());
    out_.hits.begin.push_back(out_.hits.windows.size());
  }
  const auto list = static_cast<Offset>(out_.hits.begin.size() - 2);
  out_.hits.positions.push_back({static_cast<Offset>(p), list});
}

namespace {

// A rank that splits the collection into halves of about equal work, estimated from a sample of
// ranks: the work lies at word starts within runs. It is the first rank at or past the sampled
// middle whose LCP entry is below the threshold, so that no run crosses it; n if there is none.
template <class Idx>
std::size_t rank_halving_work(const BasicAnalysisIndex<Idx>& index, const PositionIndex& positions,
                              std::uint64_t threshold) {
  const auto& lcp = index.lcp;
  const std::size_t n = lcp.size();
  constexpr std::size_t kSamples = std::size_t{1} << 16;
  const std::size_t stride = std::max<std::size_t>(n / kSamples, 1);
  const auto works = [&](std::size_t r) {
    const bool in_run = lcp[r] >= threshold || (r + 1 < n && lcp[r + 1] >= threshold);
    return in_run && positions.starts_word(index.suffix_array[r]);
  };
  std::size_t total = 0;
  for (std::size_t r = 0; r < n; r += stride) total += works(r) ? 1 : 0;
  std::size_t r = n / 2;
  if (total > 0) {
    std::size_t seen = 0;
    for (r = 0; r < n; r += stride) {
      seen += works(r) ? 1 : 0;
      if (2 * seen >= total) break;
    }
  }
  r = std::max<std::size_t>(r, 1);
  while (r < n && lcp[r] >= threshold) ++r;
  return r;
}

}  // namespace

template <class Idx>
Candidates<Idx> scan_candidates(const BasicAnalysisIndex<Idx>& index,
                                const PositionIndex& positions, const FinderParams& params,
                                const HashKey& key, bool drop_contained, parallel::Lanes lanes) {
  const std::size_t n = index.suffix_array.size();
  CandidateCollector<Idx> collector(index, positions, params, key, drop_contained);
  if (n < 2) return std::move(collector).take();
  const std::size_t mid =
      lanes.has_second() ? rank_halving_work(index, positions, collector.threshold()) : n;
  if (mid >= n) {
    collector.collect_runs(1, n);
    return std::move(collector).take();
  }
  CandidateCollector<Idx> upper(index, positions, params, key, drop_contained);
  (void)parallel::both(
      parallel::Lanes::two(),
      [&] {
        collector.collect_runs(1, mid);
        return true;
      },
      [&] {
        upper.collect_runs(mid, n);
        return true;
      });
  collector.absorb(std::move(upper));
  return std::move(collector).take();
}

template Candidates<std::uint32_t> scan_candidates(const BasicAnalysisIndex<std::uint32_t>&,
                                                   const PositionIndex&, const FinderParams&,
                                                   const HashKey&, bool, parallel::Lanes);
template Candidates<std::uint64_t> scan_candidates(const BasicAnalysisIndex<std::uint64_t>&,
                                                   const PositionIndex&, const FinderParams&,
                                                   const HashKey&, bool, parallel::Lanes);

}  // namespace quarnel::core::duplicate_finder
