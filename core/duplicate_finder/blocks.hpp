#pragma once
// Blocks: long repeated passages of block_minimum..block_cap bytes. Each run of suffix-array
// neighbours sharing at least the block minimum yields at most one block (its pairs whose shared
// prefix is the run's block length); blocks are chosen longest first, each kept only if some
// occurrence of it is not covered by a longer chosen one. Then the phrases whose occurrences all
// lie inside chosen blocks give way to them.
// Time: one pass over the LCP array and one visit per rank of a qualifying run, two radix sorts of
// the blocks; memory: 8 bytes per offset of a found block (32-bit text) and the covered intervals
// (about 1/32 byte per text byte plus 16 bytes per covered start).

#include <cstdint>
#include <vector>

#include "duplicate_finder/analysis_index.hpp"
#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"

namespace quarnel::core::duplicate_finder {

// The chosen blocks as records, longest first, then by first offset. They depend on the arrays
// alone, not on the phrases. `ascii_text`: whether the text is all ASCII (then every byte starts
// a character, and pairs are checked without reading the text).
template <class Idx>
[[nodiscard]] std::vector<phrase_records::PhraseData> find_blocks(
    const BasicAnalysisIndex<Idx>& index, const FinderParams& params, bool ascii_text);

// `records` without those whose occurrences all lie inside `blocks`, then `blocks`.
[[nodiscard]] std::vector<phrase_records::PhraseData> with_blocks(
    std::vector<phrase_records::PhraseData> records, std::vector<phrase_records::PhraseData> blocks,
    std::uint64_t text_size);

// find_blocks and with_blocks on a 64-bit index.
[[nodiscard]] std::vector<phrase_records::PhraseData> detect_blocks(
    std::vector<phrase_records::PhraseData> records, const AnalysisIndex& index,
    const FinderParams& params);

}  // namespace quarnel::core::duplicate_finder
