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
#include "duplicate_finder/window_cut.hpp"

namespace quarnel::core::duplicate_finder {

namespace {

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

// Sorts the keys and keeps each once.
void sort_distinct(std::vector<std::uint32_t>& keys) {
  radix_sort_by_position(keys, [](std::uint32_t key) { return key; });
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
}

// A set of 32-bit keys as one bit per value of their top bits, about eight bits per key: one
// probe turns away most keys that are not in the set (raw windows by the hundred million on a
// large corpus), before any exact test.
class KeyBitmap {
 public:
  KeyBitmap() = default;
  explicit KeyBitmap(std::span<const std::uint32_t> keys) {
    unsigned bits = 12;
    while (bits < kMaxBits && (std::uint64_t{1} << bits) < 8 * std::uint64_t{keys.size()}) ++bits;
    shift_ = 32 - bits;
    words_.assign((std::size_t{1} << bits) / 64, 0);
    for (const std::uint32_t key : keys) words_[slot(key) >> 6] |= bit(slot(key));
  }
  [[nodiscard]] bool may_contain(std::uint32_t key) const {
    return !words_.empty() && (words_[slot(key) >> 6] & bit(slot(key))) != 0;
  }

 private:
  static constexpr unsigned kMaxBits = 27;  // 16 MB
  [[nodiscard]] std::uint32_t slot(std::uint32_t key) const { return key >> shift_; }
  static std::uint64_t bit(std::uint32_t slot) { return std::uint64_t{1} << (slot & 63); }

  std::vector<std::uint64_t> words_;
  unsigned shift_ = 32;
};

// The beginnings of the rewritten phrases (of the table, and of set-aside windows), for the
// question whether a raw window may equal one: at three lengths, so that a logged start is tested
// on as many bytes as its shortest window has. Most logged starts begin as no rewritten phrase
// does, and their windows are then not cut at all.
class Beginnings {
 public:
  void add(std::string_view phrase) {
    for (std::size_t k = 0; k < kLengths.size(); ++k) {
      if (phrase.size() >= kLengths[k]) keys_[k].push_back(key(phrase.data(), kLengths[k]));
    }
  }
  // Takes the phrases added to `other` as well.
  void absorb(Beginnings&& other) {
    for (std::size_t k = 0; k < kLengths.size(); ++k) {
      keys_[k].insert(keys_[k].end(), other.keys_[k].begin(), other.keys_[k].end());
      std::vector<std::uint32_t>().swap(other.keys_[k]);
    }
  }
  void seal() {
    for (std::size_t k = 0; k < kLengths.size(); ++k) {
      std::vector<std::uint32_t>& keys = keys_[k];
      sort_distinct(keys);
      bitmaps_[k] = KeyBitmap(keys);
      std::vector<std::uint32_t>().swap(keys);
    }
  }
  // Whether a phrase added may be the beginning of the text at p, where windows of `shortest`
  // bytes or more begin.
  [[nodiscard]] bool may_begin(std::string_view text, std::uint64_t p,
                               std::uint64_t shortest) const {
    std::size_t k = kLengths.size();
    while (k > 0 && kLengths[k - 1] > shortest) --k;
    if (k == 0 || p + kLengths[k - 1] > text.size()) return true;
    return bitmaps_[k - 1].may_contain(key(text.data() + p, kLengths[k - 1]));
  }

 private:
  static constexpr std::array<std::size_t, 3> kLengths{8, 12, 16};

  // A 32-bit key of the first `length` bytes, 8 to 16 of them.
  static std::uint32_t key(const char* bytes, std::size_t length) {
    std::uint64_t head = 0, tail = 0;
    std::memcpy(&head, bytes, 8);
    std::memcpy(&tail, bytes + length - 8, 8);
    const std::uint64_t h =
        (head * 0x9E3779B97F4A7C15ULL) ^ ((tail + length) * 0xC2B2AE3D27D4EB4FULL);
    return static_cast<std::uint32_t>((h ^ (h >> 29)) >> 32);
  }

  std::array<std::vector<std::uint32_t>, 3> keys_;
  std::array<KeyBitmap, 3> bitmaps_;
};

// One window of the set-aside logs: its start, and a rank of it (or kNoRank, when the start is
// its only one).
struct SetAsideWindow {
  std::uint64_t start;
  std::uint64_t raw_length;
  std::uint64_t rank;
};

// A window kept from one pass over the logs for a later step, in text offsets.
template <class Offset>
struct NotedWindow {
  Offset start;
  Offset raw_length;
  Offset rank;  // or the kNoRank of Offset

  static NotedWindow of(const SetAsideWindow& w) {
    return {static_cast<Offset>(w.start), static_cast<Offset>(w.raw_length),
            static_cast<Offset>(w.rank)};
  }
  [[nodiscard]] SetAsideWindow window() const {
    return {start, raw_length, rank == static_cast<Offset>(kNoRank) ? kNoRank : rank};
  }
};

// A share of the logs: part `index` of `count`.
struct LogPart {
  std::size_t index = 0;
  std::size_t count = 1;
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

  // visit(window) for every logged window of the part that `keep` accepts, in the same order on
  // every call. A logged entry that `may_hold(start, shortest, end)` rules out, given its
  // windows' start, the fewest bytes they have and where the longest can end, is passed over
  // without cutting them.
  template <class MayHold, class Keep, class Visit>
  void for_each_window(LogPart part, MayHold&& may_hold, Keep&& keep, Visit&& visit) const {
    const auto kept = [&](const SetAsideWindow& w) {
      if (keep(w)) visit(w);
    };
    const auto for_each_in = [&](const auto& log, const auto& visit_entry) {
      log.for_each_in_part(part.index, part.count, visit_entry);
    };
    for_each_in(logs.phrases, [&](const typename SetAsideLogs<Offset>::Phrase& phrase) {
      const std::uint64_t p = index.suffix_array[phrase.rank];
      if (may_hold(p, phrase.raw_length, p + phrase.raw_length)) {
        kept(SetAsideWindow{p, phrase.raw_length, phrase.rank});
      }
    });
    for_each_in(logs.windows, [&](const typename SetAsideLogs<Offset>::Windows& w) {
      const std::uint64_t p = index.suffix_array[w.rank];
      if (may_hold(p, w.from, p + w.to)) visit_range(w, kept);
    });
    for_each_in(logs.starts, [&](const typename SetAsideLogs<Offset>::Start& s) {
      // Its windows are longer than `shared`.
      if (may_hold(s.start, s.shared + 1, s.limit)) visit_lonely(s, kept);
    });
  }

  // visit(window) for every rewritten logged window, in the same order on every call; entries
  // whose span normalising leaves alone are passed over.
  template <class Visit>
  void for_each_rewritten_window(LogPart part, Visit&& visit) const {
    for_each_window(
        part,
        [&](std::uint64_t p, std::uint64_t, std::uint64_t end) { return positions.alters(p, end); },
        [&](const SetAsideWindow& w) { return rewritten(w); }, visit);
  }

  // visit(window) for every logged window of the part that normalising leaves alone, but for the
  // entries whose start `beginnings` rules out (tested on as many bytes as their shortest window
  // has).
  template <class Visit>
  void for_each_raw_window(LogPart part, const Beginnings& beginnings, Visit&& visit) const {
    for_each_window(
        part,
        [&](std::uint64_t p, std::uint64_t shortest, std::uint64_t) {
          return beginnings.may_begin(index.text, p, shortest);
        },
        [&](const SetAsideWindow& w) { return !rewritten(w); }, visit);
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
  void visit_range(const typename SetAsideLogs<Offset>::Windows& windows,
                   const Visit& visit) const {
    const std::uint64_t p = index.suffix_array[windows.rank];
    cut.for_each_end(positions, p, p + windows.to, [&](std::uint64_t e) {
      const std::uint64_t length = e - p;
      if (length >= windows.to) return false;
      if (length >= windows.from) visit(SetAsideWindow{p, length, windows.rank});
      return true;
    });
  }

  template <class Visit>
  void visit_lonely(const typename SetAsideLogs<Offset>::Start& start, const Visit& visit) const {
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
