#pragma once
// Results: offsets carried from the analysis text to the source text through the removed ranges,
// then records converted to results in UTF-16 code units of the source text, in final order
// (phrase length in code points, descending, stable).
// Time: one bisection of the delta table per offset when ranges were removed; one pass over the
// source text for the position table (none when it is ASCII), one radix sort of the records, and
// per offset an O(1) lookup that counts at most 63 bytes; memory: 8 bytes per 64 source bytes
// for the table, plus the results (16 bytes per occurrence and the phrases).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/parallel.hpp"
#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"
#include "text/normalize.hpp"

namespace quarnel::core::duplicate_finder {

// Maps every start and end from the analysis text to the source text.
void translate_offsets(std::vector<phrase_records::PhraseData>& records,
                       std::span<const normalize::RemovedRange> removed_ranges);

// Byte offset of the source text -> UTF-16 code units before the first character that starts at
// or after it. Offsets past the text pass through unchanged.
class Utf16PositionTable {
 public:
  explicit Utf16PositionTable(std::string_view source);
  [[nodiscard]] std::uint64_t operator()(std::uint64_t byte_offset) const;
  // Requests the memory a later lookup of `byte_offset` reads.
  void prefetch(std::uint64_t byte_offset) const;

 private:
  // One checkpoint per block of bytes; a lookup counts the rest of its block unless the block
  // is ASCII. No checkpoints at all when the whole text is ASCII.
  static constexpr std::size_t kBlockShift = 6;
  static constexpr std::uint64_t kAsciiBlock = std::uint64_t{1} << 63;
  std::string_view source_;
  std::vector<std::uint64_t> checkpoints_;
};

// Converts records to results in UTF-16 offsets of `source_text` and sorts them stably by
// phrase length in code points, descending. `ascii_phrases`: every phrase is ASCII (they come
// from an ASCII analysis text), so its code points are its bytes. The results are built in two
// halves on the call's lanes.
[[nodiscard]] std::vector<phrase_records::PhraseResult> sorted_results(
    std::vector<phrase_records::PhraseData> records, std::string_view source_text,
    bool ascii_phrases, parallel::Lanes lanes);

}  // namespace quarnel::core::duplicate_finder
