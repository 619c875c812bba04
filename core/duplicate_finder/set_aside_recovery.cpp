#include "duplicate_finder/set_aside_recovery.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <tuple>
#include <vector>

#include "base/parallel.hpp"
#include "base/radix_sort.hpp"
#include "duplicate_finder/phrase_text.hpp"
#include "duplicate_finder/set_aside_source.hpp"
#include "duplicate_finder/window_cut.hpp"

namespace quarnel::core::duplicate_finder {

namespace {

using namespace recovery;

template <class Offset>
using Admitted = std::vector<std::pair<std::uint32_t, Offset>>;

// Makes every start of the window a hit of phrase `id`, into `admitted`.
template <class Offset>
void admit_window(const SetAsideSource<Offset>& source, std::uint32_t id,
                  const SetAsideWindow& window, Admitted<Offset>& admitted) {
  source.for_each_start(
      window, [&](std::uint64_t start) { admitted.emplace_back(id, static_cast<Offset>(start)); });
}

template <class Offset>
void admit_window(const SetAsideSource<Offset>& source, std::uint32_t id,
                  const SetAsideWindow& window, Candidates<Offset>& scan) {
  admit_window(source, id, window, scan.hits.admitted);
}

// Whether the phrase may be a rewritten one of the table: stored by the scan, or added by
// recovery (`late`).
template <class Offset>
bool may_be_rewritten(const Candidates<Offset>& scan, const PhraseFilter& late,
                      std::string_view phrase, std::uint64_t key) {
  return scan.rewritten.may_contain(phrase, key) || late.may_contain(phrase, key);
}

// The id of the rewritten phrase equal to the raw bytes, if any. A raw set-aside window can equal
// no other stored phrase: raw bytes of threshold length share a run and so a slot, and shorter
// raw phrases are in the table. `key` is phrase_key(raw).
template <class Offset>
std::optional<std::uint32_t> rewritten_id_of(const Candidates<Offset>& scan,
                                             const PhraseFilter& late, std::string_view raw,
                                             std::uint64_t key) {
  if (!may_be_rewritten(scan, late, raw, key)) return std::nullopt;
  const auto id = scan.phrases.find(raw);
  if (!id) return std::nullopt;
  return static_cast<std::uint32_t>(*id);
}

// A rewritten set-aside window's bytes occur at its starts only, but its phrase may be that of
// windows of other bytes: a stored phrase (found in the table), a raw phrase stored or set aside,
// or another rewritten set-aside window. The last two are found by a 32-bit key of the phrase:
// the keys of the rewritten windows not in the table are sorted, with a bitmap and a directory
// over them for the raw windows' lookups, and each window is kept with a 16-bit fingerprint of
// its key, so that only the few whose key turns up again need their phrase read a second time.
// Keys are confirmed on the phrases.
template <class Offset>
struct RewrittenSightings {
  std::vector<std::uint32_t> keys;
  // The windows, so that those met again are found without cutting every logged window again.
  std::vector<NotedWindow<Offset>> windows;
  std::vector<std::uint16_t> fingerprints;  // by entry of `windows`
  std::vector<std::uint64_t> lengths;       // one bit per phrase length
  KeyBitmap filter;                         // of `keys`, once sealed
  std::vector<std::uint32_t> directory;     // by top bits of a key: where its keys begin
  unsigned directory_shift = 32;

  static std::uint32_t key_of(std::uint64_t full_key) {
    return static_cast<std::uint32_t>(full_key);
  }
  static std::uint32_t key_of(std::string_view phrase) { return key_of(phrase_key(phrase)); }
  static std::uint16_t fingerprint(std::uint32_t key) { return static_cast<std::uint16_t>(key); }

  void add(const SetAsideWindow& w, std::string_view phrase) {
    const std::uint32_t key = key_of(phrase);
    const std::size_t length = phrase.size();
    keys.push_back(key);
    windows.push_back(NotedWindow<Offset>::of(w));
    fingerprints.push_back(fingerprint(key));
    if (length / 64 >= lengths.size()) lengths.resize(length / 64 + 1, 0);
    lengths[length / 64] |= std::uint64_t{1} << (length & 63);
  }
  [[nodiscard]] bool may_have_length(std::size_t length) const {
    return length / 64 < lengths.size() && ((lengths[length / 64] >> (length & 63)) & 1U);
  }
  // Whether a phrase with this phrase_key may be that of a window seen (sealed).
  [[nodiscard]] bool meets(std::string_view phrase, std::uint64_t key) const {
    return may_have_length(phrase.size()) && has(key_of(key));
  }
  // Appends the windows added to `later` (before either is sealed).
  void absorb(RewrittenSightings&& later) {
    keys.insert(keys.end(), later.keys.begin(), later.keys.end());
    windows.insert(windows.end(), later.windows.begin(), later.windows.end());
    fingerprints.insert(fingerprints.end(), later.fingerprints.begin(), later.fingerprints.end());
    if (later.lengths.size() > lengths.size()) lengths.resize(later.lengths.size(), 0);
    for (std::size_t k = 0; k < later.lengths.size(); ++k) lengths[k] |= later.lengths[k];
    later = {};
  }
  // Once all are added: sorts the keys and builds the bitmap and the directory over them.
  void seal() {
    radix_sort_by_position(keys, [](std::uint32_t key) { return key; });
    filter = KeyBitmap(keys);
    // About four keys per directory entry: a lookup reads one entry and one or two cache lines.
    unsigned bits = 1;
    while (bits < 24 && (std::uint64_t{4} << bits) < keys.size()) ++bits;
    directory_shift = 32 - bits;
    directory.assign((std::size_t{1} << bits) + 1, 0);
    for (const std::uint32_t key : keys) ++directory[(key >> directory_shift) + 1];
    std::partial_sum(directory.begin(), directory.end(), directory.begin());
  }
  // Whether `key` is one of the keys (sealed).
  [[nodiscard]] bool has(std::uint32_t key) const {
    if (!filter.may_contain(key)) return false;
    const std::size_t bucket = key >> directory_shift;
    const auto first = keys.begin() + directory[bucket];
    const auto last = keys.begin() + directory[bucket + 1];
    return std::find(first, last, key) != last;
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

// What one part of the logs gives: rewritten set-aside windows admitted, or noted with the
// beginnings of their phrases.
template <class Offset>
struct RewrittenLookup {
  Admitted<Offset> admitted;
  RewrittenSightings<Offset> seen;
  Beginnings beginnings;
};

// The rewritten set-aside windows of one part of the logs whose phrase is in the table,
// admitted; the others noted. Reads the table only, so that parts may run side by side.
template <class Offset>
RewrittenLookup<Offset> look_up_rewritten_part(const SetAsideSource<Offset>& source,
                                               const Candidates<Offset>& scan, LogPart part) {
  RewrittenLookup<Offset> out;
  PhraseReader reader;
  source.for_each_rewritten_window(part, [&](const SetAsideWindow& w) {
    const std::string_view phrase = reader.phrase(source.index.text, w.start, w.raw_length);
    if (phrase.size() < scan.threshold || scan.rewritten.may_contain(phrase)) {
      if (const auto id = scan.phrases.find(phrase)) {
        admit_window(source, static_cast<std::uint32_t>(*id), w, out.admitted);
        return;
      }
    }
    out.seen.add(w, phrase);
    out.beginnings.add(phrase);
  });
  return out;
}

// Admits the rewritten set-aside windows whose phrase is in the table; notes the others. The logs
// are read in two parts, on the call's lanes; the noted windows keep the parts' order
// either way, as the ids of the phrases added later follow it.
template <class Offset>
RewrittenSightings<Offset> look_up_rewritten_set_aside(const SetAsideSource<Offset>& source,
                                                       Candidates<Offset>& scan,
                                                       Beginnings& beginnings,
                                                       parallel::Lanes lanes) {
  const auto kernel = [&](parallel::Part part) {
    return look_up_rewritten_part(source, scan, LogPart{part.index, 2});
  };
  const auto merge = [&](RewrittenLookup<Offset> first, RewrittenLookup<Offset> later) {
    for (RewrittenLookup<Offset>* part : {&first, &later}) {
      scan.hits.admitted.insert(scan.hits.admitted.end(), part->admitted.begin(),
                                part->admitted.end());
      beginnings.absorb(std::move(part->beginnings));
    }
    RewrittenSightings<Offset> seen = std::move(first.seen);
    seen.absorb(std::move(later.seen));
    seen.seal();
    return seen;
  };
  return parallel::over_parts(lanes, 2, 1, kernel, merge);
}

// Adds the phrases of the rewritten set-aside windows whose key is among `keys` (sorted) to the
// table, as rewritten phrases, and admits those windows. Returns the filter of the phrases added.
template <class Offset>
PhraseFilter add_rewritten_set_aside(const SetAsideSource<Offset>& source, Candidates<Offset>& scan,
                                     std::span<const std::uint32_t> keys,
                                     const RewrittenSightings<Offset>& seen) {
  using Seen = RewrittenSightings<Offset>;
  std::vector<std::uint64_t> wanted(std::size_t{1} << 10, 0);  // by fingerprint
  for (const std::uint32_t key : keys) {
    const std::uint16_t f = Seen::fingerprint(key);
    wanted[f >> 6] |= std::uint64_t{1} << (f & 63);
  }
  PhraseFilter added;
  PhraseReader reader;
  for (std::size_t k = 0; k < seen.windows.size(); ++k) {
    const std::uint16_t f = seen.fingerprints[k];
    if (((wanted[f >> 6] >> (f & 63)) & 1U) == 0) continue;
    const SetAsideWindow w = seen.windows[k].window();
    const std::string_view phrase = reader.phrase(source.index.text, w.start, w.raw_length);
    if (!std::binary_search(keys.begin(), keys.end(), Seen::key_of(phrase))) continue;
    const auto [id, inserted] = scan.phrases.intern(phrase);
    if (inserted) added.add(phrase);
    admit_window(source, static_cast<std::uint32_t>(id), w, scan);
  }
  added.seal();
  return added;
}

// The raw phrases (stored or set aside) whose key is that of a rewritten set-aside window: their
// keys, and the set-aside windows among them.
template <class Offset>
struct RawMeetings {
  std::vector<std::uint32_t> keys;  // sorted, once each
  std::vector<NotedWindow<Offset>> windows;
};

// What one part of the logs gives: raw set-aside windows admitted, and those that meet a
// rewritten set-aside window by key (keys unsorted).
template <class Offset>
struct RawLookup {
  Admitted<Offset> admitted;
  RawMeetings<Offset> met;
};

// The raw set-aside windows of one part of the logs equal to a rewritten phrase of the table,
// admitted; those that meet a rewritten set-aside window, noted. Reads the table only, so that
// parts may run side by side.
template <class Offset>
RawLookup<Offset> admit_raw_set_aside_part(const SetAsideSource<Offset>& source,
                                           const Candidates<Offset>& scan,
                                           const RewrittenSightings<Offset>* seen,
                                           const Beginnings& beginnings, LogPart part) {
  RawLookup<Offset> out;
  const PhraseFilter none_added;
  source.for_each_raw_window(part, beginnings, [&](const SetAsideWindow& w) {
    const std::string_view raw = source.raw(w);
    const std::uint64_t key = phrase_key(raw);
    if (scan.rewritten.may_have_length(w.raw_length)) {
      if (const auto id = rewritten_id_of(scan, none_added, raw, key)) {
        admit_window(source, *id, w, out.admitted);
        return;
      }
    }
    if (seen && seen->meets(raw, key)) {
      out.met.keys.push_back(seen->key_of(key));
      out.met.windows.push_back(NotedWindow<Offset>::of(w));
    }
  });
  return out;
}

// Admits the raw set-aside windows equal to a rewritten phrase of the table. Returns the raw
// phrases that meet a rewritten set-aside window by key, when `seen`. Most logged starts begin
// as no rewritten phrase does, and their windows are not cut. On two lanes, the later half of
// the logs is looked at on the second thread.
template <class Offset>
RawMeetings<Offset> admit_raw_set_aside(const SetAsideSource<Offset>& source,
                                        Candidates<Offset>& scan,
                                        const RewrittenSightings<Offset>* seen,
                                        const Beginnings& beginnings, parallel::Lanes lanes) {
  RawMeetings<Offset> met;
  if (seen) {
    for (const std::uint32_t id : scan.raw_ids) {
      const std::string_view phrase = scan.phrases.key(id);
      const std::uint64_t key = phrase_key(phrase);
      if (seen->meets(phrase, key)) met.keys.push_back(seen->key_of(key));
    }
  }
  if (scan.rewritten.empty() && !seen) return met;
  const auto kernel = [&](parallel::Part part) {
    return admit_raw_set_aside_part(source, scan, seen, beginnings, LogPart{part.index, 2});
  };
  parallel::over_parts(lanes, 2, 1, kernel, [&](RawLookup<Offset> first, RawLookup<Offset> later) {
    for (const RawLookup<Offset>* part : {&first, &later}) {
      scan.hits.admitted.insert(scan.hits.admitted.end(), part->admitted.begin(),
                                part->admitted.end());
      met.keys.insert(met.keys.end(), part->met.keys.begin(), part->met.keys.end());
      met.windows.insert(met.windows.end(), part->met.windows.begin(), part->met.windows.end());
    }
  });
  sort_distinct(met.keys);
  return met;
}

// The raw set-aside windows that met a rewritten set-aside one: their phrases are in the table
// now (`late`), if they are rewritten ones.
template <class Offset>
void admit_raw_set_aside_meeting(const SetAsideSource<Offset>& source, Candidates<Offset>& scan,
                                 const PhraseFilter& late,
                                 std::span<const NotedWindow<Offset>> met) {
  for (const NotedWindow<Offset>& noted : met) {
    const SetAsideWindow w = noted.window();
    const std::string_view raw = source.raw(w);
    if (const auto id = rewritten_id_of(scan, late, raw, phrase_key(raw))) {
      admit_window(source, *id, w, scan);
    }
  }
}

// The keys of the rewritten set-aside windows whose phrase is also that of another window: those
// seen twice, and those `met` by a raw phrase. Sorted, once each.
template <class Offset>
std::vector<std::uint32_t> keys_to_add(const RewrittenSightings<Offset>& seen,
                                       std::span<const std::uint32_t> met) {
  std::vector<std::uint32_t> keys = seen.repeated_keys();
  keys.insert(keys.end(), met.begin(), met.end());
  sort_distinct(keys);
  return keys;
}

// Raw set-aside windows can only meet a phrase that was normalised from different bytes, so they
// are looked at again only if such phrases exist: rewritten phrases of the table, and rewritten
// set-aside windows (whose phrases are added to the table when they meet another window).
// Returns the filter of the rewritten phrases added to the table.
template <class Offset>
PhraseFilter admit_set_aside_windows(const SetAsideSource<Offset>& source, Candidates<Offset>& scan,
                                     parallel::Lanes lanes) {
  scan.rewritten.seal();
  std::optional<RewrittenSightings<Offset>> seen;
  Beginnings beginnings;
  if (source.logs.rewritten) {
    seen.emplace(look_up_rewritten_set_aside(source, scan, beginnings, lanes));
  }
  for (const std::uint32_t id : scan.rewritten_ids) beginnings.add(scan.phrases.key(id));
  beginnings.seal();
  const RawMeetings<Offset> met =
      admit_raw_set_aside(source, scan, seen ? &*seen : nullptr, beginnings, lanes);
  PhraseFilter late;
  if (!seen) return late;
  const std::vector<std::uint32_t> keys = keys_to_add(*seen, met.keys);
  if (!keys.empty()) late = add_rewritten_set_aside(source, scan, keys, *seen);
  admit_raw_set_aside_meeting(source, scan, late,
                              std::span<const NotedWindow<Offset>>(met.windows));
  return late;
}

// A rewritten window can end in white space only (say a lone no-break space) and so have the
// phrase of the raw window just before it at its start; the start counts once for that phrase.
// The recorded starts are many more than the admitted ones: they are read once in the order
// they were logged, and only those an admitted pair shares (a bit per position) are looked at.
template <class Offset>
void drop_admitted_duplicates(HitLists<Offset>& hits) {
  auto& admitted = hits.admitted;
  const auto by_position = [](const auto& a, const auto& b) {
    return std::tie(a.second, a.first) < std::tie(b.second, b.first);
  };
  std::sort(admitted.begin(), admitted.end(), by_position);
  admitted.erase(std::unique(admitted.begin(), admitted.end()), admitted.end());
  std::vector<std::uint64_t> shared(static_cast<std::size_t>(admitted.back().second) / 64 + 1, 0);
  for (const auto& a : admitted) shared[a.second / 64] |= std::uint64_t{1} << (a.second % 64);
  std::vector<char> dropped(admitted.size(), 0);
  hits.positions.for_each([&](const typename HitLists<Offset>::PositionHits& h) {
    const std::size_t word = static_cast<std::size_t>(h.position) / 64;
    if (word >= shared.size() || ((shared[word] >> (h.position % 64)) & 1U) == 0) return;
    const auto list = hits.list(h.list);
    auto at = std::lower_bound(admitted.begin(), admitted.end(), h.position,
                               [](const auto& a, Offset p) { return a.second < p; });
    for (; at != admitted.end() && at->second == h.position; ++at) {
      const std::uint32_t id = at->first;
      if (std::any_of(list.begin(), list.end(), [&](const auto& w) { return w.id == id; })) {
        dropped[static_cast<std::size_t>(at - admitted.begin())] = 1;
      }
    }
  });
  std::size_t kept = 0;
  for (std::size_t k = 0; k < admitted.size(); ++k) {
    if (!dropped[k]) admitted[kept++] = admitted[k];
  }
  admitted.resize(kept);
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
    const std::string_view phrase = scan.phrases.key(id);
    const auto found = rewritten_id_of(scan, late, phrase, phrase_key(phrase));
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
                       const FinderParams& params, Candidates<Idx>& scan, parallel::Lanes lanes) {
  const SetAsideSource<Idx> source{index, positions, scan.set_aside, WindowCut(params),
                                   params.min_chars};
  const PhraseFilter late = admit_set_aside_windows(source, scan, lanes);
  scan.set_aside.clear();
  join_raw_phrases(scan, late);
}

template void recover_set_aside(const BasicAnalysisIndex<std::uint32_t>&, const PositionIndex&,
                                const FinderParams&, Candidates<std::uint32_t>&, parallel::Lanes);
template void recover_set_aside(const BasicAnalysisIndex<std::uint64_t>&, const PositionIndex&,
                                const FinderParams&, Candidates<std::uint64_t>&, parallel::Lanes);

}  // namespace quarnel::core::duplicate_finder
