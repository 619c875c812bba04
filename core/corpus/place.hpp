#pragma once
// The analysis's groups placed in the documents of the prepared corpus: each occurrence as its
// document and its byte offsets in that document's analysis text, grouped in the final order,
// with the groups' texts end to end.
// Cost: a radix sort of the phrases by characters and one pass over the occurrences, on two
// lanes; 20 bytes per occurrence and the groups' texts. The finder's records are emptied as they
// are placed, so that the two forms are never both held.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/parallel.hpp"
#include "corpus.hpp"
#include "corpus/prepare.hpp"
#include "corpus/select.hpp"
#include "duplicate_finder/phrase_records.hpp"
#include "passages.hpp"

namespace quarnel::core::corpus {

// Loops over the occurrences look up scattered positions: the tables for row k + kFarAhead are
// fetched first, then what those tables point to for row k + kNearAhead, so that row k finds
// both in the cache.
inline constexpr std::size_t kFarAhead = 16;
inline constexpr std::size_t kNearAhead = 8;

// Occurrences as documents and offsets of each, grouped, and the groups' texts.
struct PlacedGroups {
  passages::Passages placed;
  std::vector<std::uint64_t> counts;  // per group, its places in all; empty: as many as its rows
  std::uint64_t found_groups = 0;     // as Chosen counts them, for the groups returned
  std::uint64_t found_places = 0;
  std::string texts;  // end to end, as Matches holds them
  std::vector<std::uint64_t> text_ends;

  void add_text(std::string_view text) {
    texts.append(text);
    text_ends.push_back(texts.size());
  }
  [[nodiscard]] std::string_view text(std::size_t g) const {
    const std::uint64_t from = g == 0 ? 0 : text_ends[g - 1];
    return std::string_view(texts).substr(from, text_ends[g] - from);
  }
};

// The finder's records (emptied) as occurrences of each document, in the finder's final order
// (characters descending, stable); the text of a group is the finder's phrase.
[[nodiscard]] PlacedGroups placed_phrases(const PreparedCorpus& prepared,
                                          std::vector<phrase_records::PhraseData>& records,
                                          parallel::Lanes lanes);

// The phrases `selection` keeps of those placed, with their texts.
[[nodiscard]] PlacedGroups selected_phrases(PlacedGroups phrases, const Selection& selection);

// The passages `selection` keeps of those found (already placed); the text of a group is its
// first occurrence as the document gives it.
[[nodiscard]] PlacedGroups placed_passages(const SourceCorpus& source,
                                           const PreparedCorpus& prepared,
                                           passages::Passages passages, const Selection& selection);

}  // namespace quarnel::core::corpus
