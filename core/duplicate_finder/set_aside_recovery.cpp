#include "duplicate_finder/set_aside_recovery.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <numeric>
#include <tuple>

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

}  // namespace

// Phrases of consecutive windows at one start are read by one stream.
template <class Offset>
std::string_view CandidateCollector<Offset>::PhraseReader::phrase(std::string_view text,
                                                                  std::uint64_t start,
                                                                  std::uint64_t raw_length) {
  if (start != start_ || raw_length < raw_length_) {
    stream_.reset(text, start);
    start_ = start;
  }
  raw_length_ = raw_length;
  stream_.extend_to(raw_length);
  return stream_.phrase();
}

template <class Offset>
template <class Visit>
void CandidateCollector<Offset>::for_each_set_aside_window(Visit&& visit) const {
  set_aside_.phrases.for_each([&](const SetAsidePhrase& phrase) {
    visit(SetAsideWindow{index_.suffix_array[phrase.rank], phrase.raw_length, phrase.rank});
  });
  set_aside_.windows.for_each([&](const SetAsideWindows& windows) {
    const std::uint64_t p = index_.suffix_array[windows.rank];
    for_each_window_end(p, p + windows.to, [&](std::uint64_t e) {
      const std::uint64_t length = e - p;
      if (length >= windows.to) return false;
      if (length >= windows.from) visit(SetAsideWindow{p, length, windows.rank});
      return true;
    });
  });
  set_aside_.starts.for_each([&](const SetAsideStart& start) {
    const std::uint64_t p = start.start;
    for_each_window_end(p, start.limit, [&](std::uint64_t e) {
      const std::uint64_t length = e - p;
      // Rejected windows have no phrase.
      if (length > start.shared && length - positions_.space_bytes(p, e) > params_.min_chars) {
        visit(SetAsideWindow{p, length, kNoRank});
      }
      return true;
    });
  });
}

// The window's starts: those around its rank that share its bytes and cut it, or its only start.
template <class Offset>
void CandidateCollector<Offset>::admit_window(std::uint32_t id, const SetAsideWindow& window) {
  if (window.rank == kNoRank) {
    hits_.admitted.emplace_back(id, static_cast<Offset>(window.start));
    return;
  }
  const auto [low, high] = ranks_sharing(window.rank, window.raw_length);
  for (std::size_t rank = low; rank < high; ++rank) {
    const std::uint64_t q = index_.suffix_array[rank];
    if (cuts_window(q, window.raw_length)) hits_.admitted.emplace_back(id, static_cast<Offset>(q));
  }
}

// Whether the phrase may be a rewritten one of the table.
template <class Offset>
bool CandidateCollector<Offset>::may_be_rewritten(std::string_view phrase) const {
  return rewritten_.may_contain(phrase) || late_rewritten_.may_contain(phrase);
}

// The id of the rewritten phrase equal to the raw bytes, if any. A raw set-aside window can equal
// no other stored phrase: raw bytes of threshold length share a run and so a slot, and shorter
// raw phrases are in the table.
template <class Offset>
std::optional<std::uint32_t> CandidateCollector<Offset>::rewritten_id_of(
    std::uint64_t start, std::uint64_t raw_length) const {
  const std::string_view phrase = index_.text.substr(start, raw_length);
  if (!may_be_rewritten(phrase)) return std::nullopt;
  const auto id = phrases_.find(phrase);
  if (!id) return std::nullopt;
  return static_cast<std::uint32_t>(*id);
}

// Whether q, sharing the bytes of a window of `raw_length` cut at another start of its run, cuts
// that window too: same bytes give the same words and the same verdict, so only the start, the
// end and the sentence limit can differ.
template <class Offset>
bool CandidateCollector<Offset>::cuts_window(std::uint64_t q, std::uint64_t raw_length) const {
  const std::uint64_t end = q + raw_length;
  return positions_.starts_word(q) && positions_.ends_word_at(end) &&
         positions_.boundary_after(q) >= end;
}

// A rewritten set-aside window's bytes occur at its starts only, but its phrase may be that of
// windows of other bytes: a stored phrase (found in the table), a raw phrase stored or set aside,
// or another rewritten set-aside window. The last two are found by a 32-bit key of the phrase:
// the keys of the rewritten windows not in the table are sorted (a sequential write and a radix
// sort, where a filter missed the cache on nearly every window), and each window keeps a 16-bit
// fingerprint of its key (in the order of for_each_set_aside_window), so that only the few whose
// key turns up again need their phrase read a second time. Keys are confirmed on the phrases.
template <class Offset>
struct CandidateCollector<Offset>::RewrittenSightings {
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

template <class Offset>
bool CandidateCollector<Offset>::rewritten(const SetAsideWindow& window) const {
  return positions_.alters(window.start, window.start + window.raw_length);
}

// Admits the rewritten set-aside windows whose phrase is in the table; notes the others.
template <class Offset>
auto CandidateCollector<Offset>::look_up_rewritten_set_aside() -> RewrittenSightings {
  RewrittenSightings seen;
  PhraseReader reader;
  for_each_set_aside_window([&](const SetAsideWindow& w) {
    if (!rewritten(w)) return;
    const std::string_view phrase = reader.phrase(index_.text, w.start, w.raw_length);
    if (phrase.size() < threshold_ || rewritten_.may_contain(phrase)) {
      if (const auto id = phrases_.find(phrase)) {
        admit_window(static_cast<std::uint32_t>(*id), w);
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
// table, as rewritten phrases, and admits those windows.
template <class Offset>
void CandidateCollector<Offset>::add_rewritten_set_aside(std::span<const std::uint32_t> keys,
                                                         const RewrittenSightings& seen) {
  std::vector<std::uint64_t> wanted(std::size_t{1} << 10, 0);  // by fingerprint
  for (const std::uint32_t key : keys) {
    const std::uint16_t f = RewrittenSightings::fingerprint(key);
    wanted[f >> 6] |= std::uint64_t{1} << (f & 63);
  }
  PhraseReader reader;
  std::size_t k = 0;
  for_each_set_aside_window([&](const SetAsideWindow& w) {
    if (!rewritten(w)) return;
    const std::uint16_t f = seen.fingerprints[k++];
    if (((wanted[f >> 6] >> (f & 63)) & 1U) == 0) return;
    const std::string_view phrase = reader.phrase(index_.text, w.start, w.raw_length);
    if (!std::binary_search(keys.begin(), keys.end(), RewrittenSightings::key_of(phrase))) return;
    const auto [id, inserted] = phrases_.intern(phrase);
    if (inserted) late_rewritten_.add(phrase);
    admit_window(static_cast<std::uint32_t>(id), w);
  });
  late_rewritten_.seal();
}

// Raw set-aside windows can only meet a phrase that was normalised from different bytes, so they
// are looked at again only if such phrases exist: rewritten phrases of the table, and rewritten
// set-aside windows (whose phrases are added to the table when they meet another window).
template <class Offset>
void CandidateCollector<Offset>::admit_set_aside_windows() {
  rewritten_.seal();
  std::optional<RewrittenSightings> seen;
  if (set_aside_.rewritten) seen.emplace(look_up_rewritten_set_aside());
  std::vector<std::uint32_t> raw_keys = admit_raw_set_aside(seen ? &*seen : nullptr);
  if (seen) {
    const std::vector<std::uint32_t> met = seen->met_by(std::move(raw_keys));
    std::vector<std::uint32_t> keys = seen->repeated_keys();
    keys.insert(keys.end(), met.begin(), met.end());
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    if (!keys.empty()) add_rewritten_set_aside(keys, *seen);
    if (!met.empty()) admit_raw_set_aside_meeting(met, *seen);
  }
  set_aside_.clear();
}

// Admits the raw set-aside windows equal to a rewritten phrase of the table. Returns the keys of
// the raw phrases (stored or set aside) that may be rewritten set-aside ones, when `seen`.
template <class Offset>
std::vector<std::uint32_t> CandidateCollector<Offset>::admit_raw_set_aside(
    const RewrittenSightings* seen) {
  std::vector<std::uint32_t> raw_keys;
  const auto note = [&](std::string_view phrase) {
    if (seen && seen->may_have_length(phrase.size())) {
      raw_keys.push_back(RewrittenSightings::key_of(phrase));
    }
  };
  if (seen) {
    for (const std::uint32_t id : raw_ids_) note(phrases_.key(id));
  }
  if (rewritten_.empty() && !seen) return raw_keys;
  for_each_set_aside_window([&](const SetAsideWindow& w) {
    if (rewritten(w)) return;
    if (rewritten_.may_have_length(w.raw_length)) {
      if (const auto id = rewritten_id_of(w.start, w.raw_length)) {
        admit_window(*id, w);
        return;
      }
    }
    note(index_.text.substr(w.start, w.raw_length));
  });
  return raw_keys;
}

// The raw set-aside windows whose key met a rewritten set-aside one: their phrases are in the
// table now, if they are rewritten ones.
template <class Offset>
void CandidateCollector<Offset>::admit_raw_set_aside_meeting(std::span<const std::uint32_t> met,
                                                             const RewrittenSightings& seen) {
  for_each_set_aside_window([&](const SetAsideWindow& w) {
    if (rewritten(w) || !seen.may_have_length(w.raw_length)) return;
    const std::uint32_t key = RewrittenSightings::key_of(index_.text.substr(w.start, w.raw_length));
    if (!std::binary_search(met.begin(), met.end(), key)) return;
    if (const auto id = rewritten_id_of(w.start, w.raw_length)) admit_window(*id, w);
  });
}

// A rewritten window can end in white space only (say a lone no-break space) and so have the
// phrase of the raw window just before it at its start; the start counts once for that phrase.
template <class Offset>
void CandidateCollector<Offset>::drop_admitted_duplicates() {
  auto& admitted = hits_.admitted;
  std::sort(admitted.begin(), admitted.end(), [](const auto& a, const auto& b) {
    return std::tie(a.second, a.first) < std::tie(b.second, b.first);
  });
  admitted.erase(std::unique(admitted.begin(), admitted.end()), admitted.end());
  const std::vector<PositionHits> hits = hits_.by_position();
  std::size_t h = 0;
  std::erase_if(admitted, [&](const std::pair<std::uint32_t, Offset>& a) {
    while (h < hits.size() && hits[h].position < a.second) ++h;
    if (h == hits.size() || hits[h].position != a.second) return false;
    const auto list = hits_.list(hits[h].list);
    return std::any_of(list.begin(), list.end(), [&](const Window& w) { return w.id == a.first; });
  });
}

// An unindexed phrase can equal only a rewritten one (any other indexed phrase is shorter than
// the threshold, and equal raw bytes of threshold length share a run and so an id). Each one
// that does takes the rewritten phrase's id.
template <class Offset>
void CandidateCollector<Offset>::join_raw_phrases() {
  rewritten_.seal();
  std::vector<std::uint32_t> replacement;
  if (!rewritten_.empty() || !late_rewritten_.empty()) {
    for (const std::uint32_t id : raw_ids_) {
      const std::string_view phrase = phrases_.key(id);
      if (!may_be_rewritten(phrase)) continue;
      const auto found = phrases_.find(phrase);
      if (!found) continue;
      if (replacement.empty()) {
        replacement.resize(phrases_.size());
        std::iota(replacement.begin(), replacement.end(), std::uint32_t{0});
      }
      replacement[id] = static_cast<std::uint32_t>(*found);
    }
  }
  std::vector<std::uint32_t>().swap(raw_ids_);
  if (!replacement.empty()) replace_ids(replacement);
  if (!hits_.admitted.empty()) drop_admitted_duplicates();
}

// Renames the windows of every list; a start whose windows now repeat a phrase keeps the first
// (shortest) of them, so that each (phrase, start) pair is still hit once.
template <class Offset>
void CandidateCollector<Offset>::replace_ids(std::span<const std::uint32_t> replacement) {
  std::size_t out = 0;
  std::uint64_t begin = 0;
  for (std::size_t list = 0; list + 1 < hits_.begin.size(); ++list) {
    const std::uint64_t end = hits_.begin[list + 1];
    const std::size_t first = out;
    for (std::uint64_t k = begin; k < end; ++k) {
      Window w = hits_.windows[k];
      w.id = replacement[w.id];
      if (out == first || hits_.windows[out - 1].id != w.id) hits_.windows[out++] = w;
    }
    begin = end;
    hits_.begin[list + 1] = out;
  }
  hits_.windows.resize(out);
}

template <class Idx>
void recover_set_aside(CandidateCollector<Idx>& scan) {
  scan.admit_set_aside_windows();
  scan.join_raw_phrases();
}

template void recover_set_aside(CandidateCollector<std::uint32_t>&);
template void recover_set_aside(CandidateCollector<std::uint64_t>&);

}  // namespace quarnel::core::duplicate_finder
