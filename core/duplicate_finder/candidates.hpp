#pragma once
// What the candidate scan hands to the stages after it, as plain data: the phrase table, the hits
// by start and the logs of the windows it set aside. Set-aside recovery updates it; record
// assembly and containment only read it.
// Memory: the phrase table and the hit lists, 3 to 5 bytes per text byte on the bench prose
// (DESIGN.md); the set-aside logs until recovery clears them.

#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "base/string_interner.hpp"
#include "duplicate_finder/hit_lists.hpp"
#include "duplicate_finder/phrase_filter.hpp"
#include "duplicate_finder/set_aside_logs.hpp"

namespace quarnel::core::duplicate_finder {

// No rank: a phrase whose bytes are not its own at every start.
inline constexpr std::uint64_t kNoRank = std::numeric_limits<std::uint64_t>::max();

// Offsets are stored as `Offset`: 32 bits whenever the text allows, since on repetitive text the
// hits are the largest working array.
template <class Offset>
struct Candidates {
  Candidates(const string_interner::HashKey& key, std::uint64_t phrase_threshold,
             bool drop_contained_windows)
      : threshold(phrase_threshold), drop_contained(drop_contained_windows), phrases(key) {}

  std::uint64_t threshold;  // the LCP the scanned runs share: min_chars + min_words - 1
  // Windows contained as often by the next one at their start were set aside, and containment
  // is asked of the repeated phrases.
  bool drop_contained;
  string_interner::StringInterner phrases;  // by id; raw keys borrow the analysis text
  // The copied keys of the second collector of a split scan: keys of `phrases` borrow them.
  std::vector<std::unique_ptr<char[]>> absorbed_keys;
  PhraseFilter rewritten;                    // stored phrases that differ from their raw bytes
  std::vector<std::uint32_t> rewritten_ids;  // their ids
  HitLists<Offset> hits;
  SetAsideLogs<Offset> set_aside;
  std::vector<std::uint32_t> raw_ids;  // unindexed phrases, taken unchanged from their bytes
  // By id: a rank of the phrase's bytes for the phrases that are their own raw bytes at every
  // start (unindexed ones not joined to a rewritten phrase), else the kNoRank of Offset; may be
  // shorter than the table (missing ids have no rank).
  std::vector<Offset> rank_of;
};

// A phrase that became a record candidate: seen at two or more starts.
template <class Offset>
struct RepeatedPhrase {
  std::string_view phrase;  // in the candidates' phrase table
  std::uint64_t first_start;
  std::uint32_t id;
  Offset count;  // starts; kept here: later stages take phrases in length order
  [[nodiscard]] std::uint64_t length() const { return phrase.size(); }
};

}  // namespace quarnel::core::duplicate_finder
