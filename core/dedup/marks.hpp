#pragma once
// Which windows go, as one mark per token position of the corpus and the reference (positions
// of word_tokens::TokenText, the reference's documents after the corpus's): unmarked, in a
// window found in the reference, or a later copy of the window at the position the mark holds
// (its first copy). Two ways to find equal windows, with the same marks:
// - by the suffix array of the tokens, read as LCP intervals: linear time whatever the text;
// - by window hashes: only windows whose hash occurs twice are gathered, and every pair taken as
//   equal is checked word by word, so the marks are exact; expected linear time and about a
//   third of the suffix array's. Where two different windows share a hash (about c^2 / 2^61 for
//   c gathered windows, or a corpus made for it) the check fails and no marks are returned.

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/parallel.hpp"
#include "word_tokens.hpp"

namespace quarnel::core::dedup::detail {

template <class Idx>
constexpr Idx kUnmarked = std::numeric_limits<Idx>::max();
template <class Idx>
constexpr Idx kInReference = std::numeric_limits<Idx>::max() - 1;
static_assert(word_tokens::kUnset == kUnmarked<std::uint32_t>);

// Windows are k words; positions from reference_begin on are the reference's. Idx is
// std::uint32_t or std::uint64_t, as the token suffix array needs.
// Memory: the suffix array and the LCP (Idx each per position, the LCP becoming the marks).
template <class Idx>
[[nodiscard]] std::vector<Idx> marks_by_suffix_array(const word_tokens::TokenText& t,
                                                     std::uint64_t k, std::uint64_t reference_begin,
                                                     parallel::Lanes lanes);

// The same marks, 64-bit, from the documents as compared (no token table), their positions
// numbered by `doc_begin` (word_tokens::document_positions). Memory: 8 bytes per
// position for the word starts (held in `scratch`, grown to n + 1 entries and left to the
// caller, whose next stage then needs no fresh pages) and 8 for the hashes (which become the
// marks) and 2 for the filter, then 16-32 per gathered window (the table of hashes seen, 12-byte
// slots at most 3/4 full).
// `hash_bits` below 61 keeps only that many bits of each hash (tests reach the failed check
// with it).
[[nodiscard]] std::optional<std::vector<std::uint64_t>> marks_by_hashes(
    std::span<const std::string_view> documents, const std::vector<std::uint64_t>& doc_begin,
    std::uint64_t k, std::uint64_t reference_begin, parallel::Lanes lanes,
    std::vector<std::uint64_t>& scratch, unsigned hash_bits = 61);

}  // namespace quarnel::core::dedup::detail
