#pragma once
// The corpus as one sequence of word tokens, its suffix array and its whole-word LCP: the common
// ground of the passage search and of corpus cleaning. A token is a word with the gap after it
// (up to the next word or the document end); each document ends in a separator of its own.
// Cost: one pass to count and one to intern the tokens (a hash of each), 4 bytes per token for
// the ids, 1/8 of that for sampled offsets; the suffix array and the LCP take Idx each per token.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "base/parallel.hpp"

namespace quarnel::core::word_tokens {

inline constexpr std::uint32_t kUnset = std::numeric_limits<std::uint32_t>::max();
// Byte offsets are kept for every 2^kSampleShift-th position only; the rest are summed from the
// lengths of the tokens in between.
inline constexpr unsigned kSampleShift = 6;

// Separators take ids [0, documents), all distinct, so that no two suffixes agree across a
// document end; token ids follow, numbered so that the tokens of one word form a contiguous range.
struct TokenText {
  std::uint32_t separators = 0;
  std::vector<std::uint32_t> ids;           // per position
  std::vector<std::uint64_t> doc_begin;     // position of each document's first token; D + 1
  std::vector<std::uint64_t> lead;          // per document: byte offset of its first word
  std::vector<std::uint64_t> sample;        // byte offset of every 2^kSampleShift-th position
  std::vector<std::uint32_t> word_class;    // per token id: equal exactly for equal words
  std::vector<std::uint32_t> word_length;   // per token id: bytes of its word
  std::vector<std::uint32_t> token_length;  // per token id: bytes of its word and gap

  [[nodiscard]] std::uint64_t size() const { return ids.size(); }
  [[nodiscard]] std::uint64_t alphabet() const { return word_class.size(); }
  // Whether the tokens at positions i and j are real tokens of the same word.
  [[nodiscard]] bool same_word(std::uint64_t i, std::uint64_t j) const {
    const std::uint32_t a = ids[i], b = ids[j];
    return a >= separators && b >= separators && word_class[a] == word_class[b];
  }
  [[nodiscard]] std::uint32_t document_of(std::uint64_t position) const {
    return static_cast<std::uint32_t>(
        std::upper_bound(doc_begin.begin(), doc_begin.end(), position) - doc_begin.begin() - 1);
  }
  // Byte offset in document d of the word at position p (a token of d).
  [[nodiscard]] std::uint64_t offset_of(std::uint64_t p, std::uint32_t d) const {
    std::uint64_t q = p >> kSampleShift << kSampleShift;
    std::uint64_t at = 0;
    if (q <= doc_begin[d]) {
      q = doc_begin[d];
      at = lead[d];
    } else {
      at = sample[p >> kSampleShift];
    }
    for (; q < p; ++q) at += token_length[ids[q]];
    return at;
  }
};

// Where each document's tokens begin, as `tokenize` numbers them (its words, then its
// separator), and their number at the end: doc_begin of D + 1 entries. Counted on `lanes`.
[[nodiscard]] std::vector<std::uint64_t> document_positions(
    std::span<const std::string_view> documents, parallel::Lanes lanes = parallel::Lanes::one());

// The documents' tokens. Throws UsageError for 2^32 - 1 documents or more, a word with its gap
// of 4 GiB or more, or more distinct tokens and documents than 32-bit ids hold.
[[nodiscard]] TokenText tokenize(std::span<const std::string_view> documents);

// Whether the suffix array of `positions` tokens (of `t`) fits 32-bit entries.
[[nodiscard]] bool fits_narrow(std::uint64_t positions);
[[nodiscard]] inline bool fits_narrow(const TokenText& t) {
  return fits_narrow(t.size());
}

// Idx is std::uint32_t or std::uint64_t.
// The sort takes the second lane of `lanes` on its large levels; the array is the same either way.
template <class Idx>
[[nodiscard]] std::vector<Idx> token_suffix_array(const TokenText& t,
                                                  parallel::Lanes lanes = parallel::Lanes::one());

// Whole-word LCP of each position with the suffix one rank below it, in text order: how many
// leading words they share, never past either's document end (0 at rank 0). The last shared word
// may differ in its gap.
template <class Idx>
[[nodiscard]] std::vector<Idx> permuted_word_lcp(const TokenText& t, const std::vector<Idx>& sa);

}  // namespace quarnel::core::word_tokens
