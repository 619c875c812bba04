#pragma once
// What set-aside recovery reads: the set-aside windows cut again from the scan's logs, with the
// small sets it asks about them (a bitmap of keys, the beginnings of rewritten phrases). Seen
// only by set_aside_recovery.cpp.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "base/radix_sort.hpp"
#include "duplicate_finder/analysis_index.hpp"
#include "duplicate_finder/candidates.hpp"
#include "duplicate_finder/phrase_text.hpp"
#include "duplicate_finder/positions.hpp"
#include "duplicate_finder/window_cut.hpp"

namespace quarnel::core::duplicate_finder::recovery {

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
inline void sort_distinct(std::vector<std::uint32_t>& keys) {
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

}  // namespace quarnel::core::duplicate_finder::recovery
