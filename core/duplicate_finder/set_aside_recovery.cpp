#include "duplicate_finder/set_aside_recovery.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <tuple>
#include <vector>

#include "duplicate_finder/phrase_text.hpp"
#include "duplicate_finder/window_cut.hpp"
#include "radix_sort.hpp"

namespace quarnel::core::duplicate_finder {

namespace {

// A 64-bit key of a phrase read at its two ends and its length: cheap however long the phrase,
// and every use of it is confirmed on the bytes, so it needs to spread keys, not to resist
// crafted input (collisions cost time only).
std::uint64_t sighting_key(std::string_view phrase) {
  constexpr string_interner::HashKey kKey{0x243F6A8885A308D3ULL, 0x13198A2E03707344ULL};
  constexpr std::size_t kEnd = 16;
  if (phrase.size() < kEnd) return string_interner::siphash13(kKey, phrase);
  const auto load = [&](std::size_t at) {
    std::uint64_t v = 0;
    std::memcpy(&v, phrase.data() + at, sizeof v);
    return v;
  };
  const std::size_t tail = phrase.size() - kEnd;
  std::uint64_t h = phrase.size() * 0x9E3779B97F4A7C15ULL;
  for (const std::uint64_t v : {load(0), load(8), load(tail), load(tail + 8)}) {
    h = (h ^ v) * 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 31;
  }
  return h ^ (h >> 29);
}

// The phrases of windows read in raw-length order at each start, by one stream per start.
class PhraseReader {
 public:
  // Phrases of consecutive windows at one start are read by one stream.
  std::string_view phrase(std::string_view text, std::uint64_t start, std::uint64_t raw_length) {
    if (start != start_ || raw_length < raw_length_) {
      stream_.reset(text, start);
      start_ = start;
    }
    raw_length_ = raw_length;
    stream_.extend_to(raw_length);
    return stream_.phrase();
  }

 private:
  NormalizedStream stream_;
  std::uint64_t start_ = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t raw_length_ = 0;
};

// One window of the set-aside logs: its start, and a rank of it (or kNoRank, when the start is
// its only one).
struct SetAsideWindow {
  std::uint64_t start;
  std::uint64_t raw_length;
  std::uint64_t rank;
};

// The set-aside windows, cut again from the scan's logs as the scan cut them, and the starts of
// each.
template <class Offset>
struct SetAsideSource {
  const BasicAnalysisIndex<Offset>& index;
  const PositionIndex& positions;
  const SetAsideLogs<Offset>& logs;
  WindowCut cut;
  std::uint64_t min_chars;

  [[nodiscard]] std::string_view raw(const SetAsideWindow& w) const {
    return index.text.substr(w.start, w.raw_length);
  }

  [[nodiscard]] bool rewritten(const SetAsideWindow& w) const {
    return positions.alters(w.start, w.start + w.raw_length);
  }

  // visit(window) for every logged window, in the same order on every call.
  template <class Visit>
  void for_each_window(Visit&& visit) const {
    logs.phrases.for_each([&](const typename SetAsideLogs<Offset>::Phrase& phrase) {
      visit(SetAsideWindow{index.suffix_array[phrase.rank], phrase.raw_length, phrase.rank});
    });
    logs.windows.for_each(
        [&](const typename SetAsideLogs<Offset>::Windows& w) { visit_range(w, visit); });
    logs.starts.for_each(
        [&](const typename SetAsideLogs<Offset>::Start& s) { visit_lonely(s, visit); });
  }

  // The window's starts: those around its rank that share its bytes and cut it, or its only
  // start.
  template <class Visit>
  void for_each_start(const SetAsideWindow& window, Visit&& visit) const {
    if (window.rank == kNoRank) {
      visit(window.start);
      return;
    }
    const auto [low, high] = ranks_sharing(index, window.rank, window.raw_length);
    for (std::size_t rank = low; rank < high; ++rank) {
      const std::uint64_t q = index.suffix_array[rank];
      if (cuts_window(q, window.raw_length)) visit(q);
    }
  }

 private:
  template <class Visit>
  void visit_range(const typename SetAsideLogs<Offset>::Windows& windows, Visit& visit) const {
    const std::uint64_t p = index.suffix_array[windows.rank];
    cut.for_each_end(positions, p, p + windows.to, [&](std::uint64_t e) {
      const std::uint64_t length = e - p;
      if (length >= windows.to) return false;
      if (length >= windows.from) visit(SetAsideWindow{p, length, windows.rank});
      return true;
    });
  }

  template <class Visit>
  void visit_lonely(const typename SetAsideLogs<Offset>::Start& start, Visit& visit) const {
    const std::uint64_t p = start.start;
    cut.for_each_end(positions, p, start.limit, [&](std::uint64_t e) {
      const std::uint64_t length = e - p;
      // Rejected windows have no phrase.
      if (length > start.shared && length - positions.space_bytes(p, e) > min_chars) {
        visit(SetAsideWindow{p, length, kNoRank});
      }
      return true;
    });
  }

  // Whether q, sharing the bytes of a window of `raw_length` cut at another start of its run,
  // cuts that window too: same bytes give the same words and the same verdict, so only the
  // start, the end and the sentence limit can differ.
  [[nodiscard]] bool cuts_window(std::uint64_t q, std::uint64_t raw_length) const {
    const std::uint64_t end = q + raw_length;
    return positions.starts_word(q) && positions.ends_word_at(end) &&
           positions.boundary_after(q) >= end;
  }
};

// Makes every start of the window a hit of phrase `id`.
template <class Offset>
void admit_window(const SetAsideSource<Offset>& source, std::uint32_t id,
                  const SetAsideWindow& window, Candidates<Offset>& scan) {
  source.for_each_start(window, [&](std::uint64_t start) {
    scan.hits.admitted.emplace_back(id, static_cast<Offset>(start));
  });
}

// Whether the phrase may be a rewritten one of the table: stored by the scan, or added by
// recovery (`late`).
template <class Offset>
bool may_be_rewritten(const Candidates<Offset>& scan, const PhraseFilter& late,
                      std::string_view phrase) {
  return scan.rewritten.may_contain(phrase) || late.may_contain(phrase);
}

// The id of the rewritten phrase equal to the raw bytes, if any. A raw set-aside window can equal
// no other stored phrase: raw bytes of threshold length share a run and so a slot, and shorter
// raw phrases are in the table.
template <class Offset>
std::optional<std::uint32_t> rewritten_id_of(const Candidates<Offset>& scan,
                                             const PhraseFilter& late, std::string_view raw) {
  if (!may_be_rewritten(scan, late, raw)) return std::nullopt;
  const auto id = scan.phrases.find(raw);
  if (!id) return std::nullopt;
  return static_cast<std::uint32_t>(*id);
}

// A rewritten set-aside window's bytes occur at its starts only, but its phrase may be that of
// windows of other bytes: a stored phrase (found in the table), a raw phrase stored or set aside,
// or another rewritten set-aside window. The last two are found by a 32-bit key of the phrase:
// the keys of the rewritten windows not in the table are sorted (a sequential write and a radix
// sort, where a filter missed the cache on nearly every window), and each window keeps a 16-bit
// fingerprint of its key (in the order of for_each_window), so that only the few whose key turns
// up again need their phrase read a second time. Keys are confirmed on the phrases.
struct RewrittenSightings {
  std::vector<std::uint32_t> keys;
  std::vector<std::uint16_t> fingerprints;
  std::vector<std::uint64_t> lengths;  // one bit per phrase length

  static std::uint32_t key_of(std::string_view phrase) {
    return static_cast<std::uint32_t>(sighting_key(phrase));
  }
  static std::uint16_t fingerprint(std::uint32_t key) { return static_cast<std::uint16_t>(key); }

  void add(std::uint32_t key, std::size_t length) {
    keys.push_back(key);
    fingerprints.push_back(fingerprint(key));
    if (length / 64 >= lengths.size()) lengths.resize(length / 64 + 1, 0);
    lengths[length / 64] |= std::uint64_t{1} << (length & 63);
  }
  [[nodiscard]] bool may_have_length(std::size_t length) const {
    return length / 64 < lengths.size() && ((lengths[length / 64] >> (length & 63)) & 1U);
  }
  // Sorts the keys once all are added.
  void seal() { radix_sort_by_position(keys, [](std::uint32_t key) { return key; }); }
  // The keys among `others` that are keys here too, once each; sorted and met in one sequential
  // pass, where looking each up missed the cache.
  [[nodiscard]] std::vector<std::uint32_t> met_by(std::vector<std::uint32_t> others) const {
    radix_sort_by_position(others, [](std::uint32_t key) { return key; });
    std::vector<std::uint32_t> met;
    std::set_intersection(others.begin(), others.end(), keys.begin(), keys.end(),
                          std::back_inserter(met));
    met.erase(std::unique(met.begin(), met.end()), met.end());
    return met;
  }
  // The keys seen twice or more, once each (`keys` sorted).
  [[nodiscard]] std::vector<std::uint32_t> repeated_keys() const {
    std::vector<std::uint32_t> out;
    for (std::size_t k = 1; k < keys.size(); ++k) {
      if (keys[k] == keys[k - 1] && (out.empty() || out.back() != keys[k])) out.push_back(keys[k]);
    }
    return out;
  }
};

// Admits the rewritten set-aside windows whose phrase is in the table; notes the others.
template <class Offset>
RewrittenSightings look_up_rewritten_set_aside(const SetAsideSource<Offset>& source,
                                               Candidates<Offset>& scan) {
  RewrittenSightings seen;
  PhraseReader reader;
  source.for_each_window([&](const SetAsideWindow& w) {
    if (!source.rewritten(w)) return;
    const std::string_view phrase = reader.phrase(source.index.text, w.start, w.raw_length);
    if (phrase.size() < scan.threshold || scan.rewritten.may_contain(phrase)) {
      if (const auto id = scan.phrases.find(phrase)) {
        admit_window(source, static_cast<std::uint32_t>(*id), w, scan);
        seen.fingerprints.push_back(0);
        return;
      }
    }
    seen.add(RewrittenSightings::key_of(phrase), phrase.size());
  });
  seen.seal();
  return seen;
}

// Adds the phrases of the rewritten set-aside windows whose key is among `keys` (sorted) to the
// table, as rewritten phrases, and admits those windows. Returns the filter of the phrases added.
template <class Offset>
PhraseFilter add_rewritten_set_aside(const SetAsideSource<Offset>& source,
                                     Candidates<Offset>& scan, std::span<const std::uint32_t> keys,
                                     const RewrittenSightings& seen) {
  std::vector<std::uint64_t> wanted(std::size_t{1} << 10, 0);  // by fingerprint
  for (const std::uint32_t key : keys) {
    const std::uint16_t f = RewrittenSightings::fingerprint(key);
    wanted[f >> 6] |= std::uint64_t{1} << (f & 63);
  }
  PhraseFilter added;
  PhraseReader reader;
  std::size_t k = 0;
  source.for_each_window([&](const SetAsideWindow& w) {
    if (!source.rewritten(w)) return;
    const std::uint16_t f = seen.fingerprints[k++];
    if (((wanted[f >> 6] >> (f & 63)) & 1U) == 0) return;
    const std::string_view phrase = reader.phrase(source.index.text, w.start, w.raw_length);
    if (!std::binary_search(keys.begin(), keys.end(), RewrittenSightings::key_of(phrase))) return;
    const auto [id, inserted] = scan.phrases.intern(phrase);
    if (inserted) added.add(phrase);
    admit_window(source, static_cast<std::uint32_t>(id), w, scan);
  });
  added.seal();
  return added;
}

// Admits the raw set-aside windows equal to a rewritten phrase of the table. Returns the keys of
// the raw phrases (stored or set aside) that may be rewritten set-aside ones, when `seen`.
template <class Offset>
std::vector<std::uint32_t> admit_raw_set_aside(const SetAsideSource<Offset>& source,
                                               Candidates<Offset>& scan,
                                               const RewrittenSightings* seen) {
  std::vector<std::uint32_t> raw_keys;
  const auto note = [&](std::string_view phrase) {
    if (seen && seen->may_have_length(phrase.size())) {
      raw_keys.push_back(RewrittenSightings::key_of(phrase));
    }
  };
  if (seen) {
    for (const std::uint32_t id : scan.raw_ids) note(scan.phrases.key(id));
  }
  if (scan.rewritten.empty() && !seen) return raw_keys;
  const PhraseFilter none_added;
  source.for_each_window([&](const SetAsideWindow& w) {
    if (source.rewritten(w)) return;
    if (scan.rewritten.may_have_length(w.raw_length)) {
      if (const auto id = rewritten_id_of(scan, none_added, source.raw(w))) {
        admit_window(source, *id, w, scan);
        return;
      }
    }
    note(source.raw(w));
  });
  return raw_keys;
}

// The raw set-aside windows whose key met a rewritten set-aside one: their phrases are in the
// table now (`late`), if they are rewritten ones.
template <class Offset>
void admit_raw_set_aside_meeting(const SetAsideSource<Offset>& source, Candidates<Offset>& scan,
                                 const PhraseFilter& late, std::span<const std::uint32_t> met,
                                 const RewrittenSightings& seen) {
  source.for_each_window([&](const SetAsideWindow& w) {
    if (source.rewritten(w) || !seen.may_have_length(w.raw_length)) return;
    const std::uint32_t key = RewrittenSightings::key_of(source.raw(w));
    if (!std::binary_search(met.begin(), met.end(), key)) return;
    if (const auto id = rewritten_id_of(scan, late, source.raw(w))) {
      admit_window(source, *id, w, scan);
    }
  });
}

// The keys of the rewritten set-aside windows whose phrase is also that of another window: those
// seen twice, and those `met` by a raw phrase. Sorted, once each.
std::vector<std::uint32_t> keys_to_add(const RewrittenSightings& seen,
                                       std::span<const std::uint32_t> met) {
  std::vector<std::uint32_t> keys = seen.repeated_keys();
  keys.insert(keys.end(), met.begin(), met.end());
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

// Raw set-aside windows can only meet a phrase that was normalised from different bytes, so they
// are looked at again only if such phrases exist: rewritten phrases of the table, and rewritten
// set-aside windows (whose phrases are added to the table when they meet another window).
// Returns the filter of the rewritten phrases added to the table.
template <class Offset>
PhraseFilter admit_set_aside_windows(const SetAsideSource<Offset>& source,
                                     Candidates<Offset>& scan) {
  scan.rewritten.seal();
  std::optional<RewrittenSightings> seen;
  if (source.logs.rewritten) seen.emplace(look_up_rewritten_set_aside(source, scan));
  std::vector<std::uint32_t> raw_keys = admit_raw_set_aside(source, scan, seen ? &*seen : nullptr);
  PhraseFilter late;
  if (!seen) return late;
  const std::vector<std::uint32_t> met = seen->met_by(std::move(raw_keys));
  const std::vector<std::uint32_t> keys = keys_to_add(*seen, met);
  if (!keys.empty()) late = add_rewritten_set_aside(source, scan, keys, *seen);
  if (!met.empty()) admit_raw_set_aside_meeting(source, scan, late, met, *seen);
  return late;
}

// A rewritten window can end in white space only (say a lone no-break space) and so have the
// phrase of the raw window just before it at its start; the start counts once for that phrase.
template <class Offset>
void drop_admitted_duplicates(HitLists<Offset>& hits) {
  auto& admitted = hits.admitted;
  std::sort(admitted.begin(), admitted.end(), [](const auto& a, const auto& b) {
    return std::tie(a.second, a.first) < std::tie(b.second, b.first);
  });
  admitted.erase(std::unique(admitted.begin(), admitted.end()), admitted.end());
  const auto by_position = hits.by_position();
  std::size_t h = 0;
  std::erase_if(admitted, [&](const std::pair<std::uint32_t, Offset>& a) {
    while (h < by_position.size() && by_position[h].position < a.second) ++h;
    if (h == by_position.size() || by_position[h].position != a.second) return false;
    const auto list = hits.list(by_position[h].list);
    return std::any_of(list.begin(), list.end(), [&](const auto& w) { return w.id == a.first; });
  });
}

// Renames the windows of every list; a start whose windows now repeat a phrase keeps the first
// (shortest) of them, so that each (phrase, start) pair is still hit once.
template <class Offset>
void replace_ids(HitLists<Offset>& hits, std::span<const std::uint32_t> replacement) {
  std::size_t out = 0;
  std::uint64_t begin = 0;
  for (std::size_t list = 0; list + 1 < hits.begin.size(); ++list) {
    const std::uint64_t end = hits.begin[list + 1];
    const std::size_t first = out;
    for (std::uint64_t k = begin; k < end; ++k) {
      auto w = hits.windows[k];
      w.id = replacement[w.id];
      if (out == first || hits.windows[out - 1].id != w.id) hits.windows[out++] = w;
    }
    begin = end;
    hits.begin[list + 1] = out;
  }
  hits.windows.resize(out);
}

// An unindexed phrase can equal only a rewritten one (any other indexed phrase is shorter than
// the threshold, and equal raw bytes of threshold length share a run and so an id). By id, the id
// each one takes: that rewritten phrase's, else its own; empty when none changes.
template <class Offset>
std::vector<std::uint32_t> joined_ids(const Candidates<Offset>& scan, const PhraseFilter& late) {
  std::vector<std::uint32_t> replacement;
  if (scan.rewritten.empty() && late.empty()) return replacement;
  for (const std::uint32_t id : scan.raw_ids) {
    const auto found = rewritten_id_of(scan, late, scan.phrases.key(id));
    if (!found) continue;
    if (replacement.empty()) {
      replacement.resize(scan.phrases.size());
      std::iota(replacement.begin(), replacement.end(), std::uint32_t{0});
    }
    replacement[id] = *found;
  }
  return replacement;
}

// Each raw phrase equal to a rewritten one takes the rewritten phrase's id.
template <class Offset>
void join_raw_phrases(Candidates<Offset>& scan, const PhraseFilter& late) {
  scan.rewritten.seal();
  const std::vector<std::uint32_t> replacement = joined_ids(scan, late);
  std::vector<std::uint32_t>().swap(scan.raw_ids);
  if (!replacement.empty()) replace_ids(scan.hits, std::span<const std::uint32_t>(replacement));
  if (!scan.hits.admitted.empty()) drop_admitted_duplicates(scan.hits);
}

}  // namespace

template <class Idx>
void recover_set_aside(const BasicAnalysisIndex<Idx>& index, const PositionIndex& positions,
                       const types::FinderParams& params, Candidates<Idx>& scan) {
  const SetAsideSource<Idx> source{index, positions, scan.set_aside, WindowCut(params),
                                   params.min_chars};
  const PhraseFilter late = admit_set_aside_windows(source, scan);
  scan.set_aside.clear();
  join_raw_phrases(scan, late);
}

template void recover_set_aside(const BasicAnalysisIndex<std::uint32_t>&, const PositionIndex&,
                                const types::FinderParams&, Candidates<std::uint32_t>&);
template void recover_set_aside(const BasicAnalysisIndex<std::uint64_t>&, const PositionIndex&,
                                const types::FinderParams&, Candidates<std::uint64_t>&);

}  // namespace quarnel::core::duplicate_finder
