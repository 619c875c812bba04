#pragma once
// Passages: maximal repeated runs of whole words across a corpus of documents. A run is the bytes
// from the start of a word to the end of a later word of the same document, gaps included; it is
// a passage when it occurs at two or more places and no single word can be added on the left, or
// on the right, at all of its places together.
//
// Found in linear time on words rather than bytes: every word with the gap after it is one token,
// the documents become one token sequence, and passages are the lcp-intervals of its suffix array
// under a whole-word LCP whose suffixes are not all preceded by the same token.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/parallel.hpp"

namespace quarnel::core::passages {

struct PassageParams {
  std::uint64_t min_words = 8;
  std::uint64_t min_chars = 0;
  // Documents from this index on are a reference set: only passages with a place on both sides
  // are kept (all their places are), and those of one side alone are never gathered, so the
  // reference costs what its length does. The default, no reference, keeps every passage.
  std::uint64_t reference_from = UINT64_MAX;
};

// Columnar: passage g owns occurrences [first[g], first[g + 1]) of `document`, `start`, `end`.
struct Passages {
  std::vector<std::uint64_t> words;     // words of passage g
  std::vector<std::uint64_t> first;     // size = passages + 1 (just {0} when there are none)
  std::vector<std::uint32_t> document;  // per occurrence: index into the documents span
  std::vector<std::uint64_t> start;     // byte offset into that document's text (a word start)
  std::vector<std::uint64_t> end;       // byte offset one past the passage's last word byte

  friend bool operator==(const Passages&, const Passages&) = default;
};

// Every passage of the documents (valid UTF-8 each; may be empty). Passages come longest first
// (words descending, then byte length descending, then first occurrence ascending); a passage's
// occurrences ascend by (document, start). `min_chars` counts code points. Throws UsageError for
// min_words == 0. The suffix sort takes the second of `lanes` on its large levels.
[[nodiscard]] Passages find_passages(std::span<const std::string_view> documents,
                                     const PassageParams& params,
                                     parallel::Lanes lanes = parallel::Lanes::one());

namespace detail {

// The token sequence's suffix array with the whole-word LCP of rank neighbours, widened to 64
// bits. Position layout: the words of document 0, one separator, the words of document 1, one
// separator, and so on. word_lcp[r] (r >= 1) is how many leading words the suffixes at ranks
// r - 1 and r share, never reaching past either's document end; word_lcp[0] = 0.
struct WordSuffixArray {
  std::vector<std::uint64_t> sa;
  std::vector<std::uint64_t> word_lcp;
};

[[nodiscard]] WordSuffixArray word_suffix_array(std::span<const std::string_view> documents);

// find_passages with the suffix array in 64-bit entries whatever the corpus size (it takes them
// only past 2^31 tokens), so that tests reach that path on small corpora.
[[nodiscard]] Passages find_passages_wide(std::span<const std::string_view> documents,
                                          const PassageParams& params);

}  // namespace detail

}  // namespace quarnel::core::passages
