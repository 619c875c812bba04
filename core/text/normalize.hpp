#pragma once
// ASCII lower-casing and whitespace collapsing, with the bookkeeping that maps byte offsets of the
// prepared text back to the source text.
//
// Whitespace for collapsing is exactly tab, line feed, form feed, carriage return and space. Every
// run of such bytes becomes one space at the run's first byte; the run's other bytes form one
// removed range. Whitespace at the start of the text is removed entirely, and a final space is
// dropped as the range (last_space, last_space + 1), appended after the range of its run's tail.
//
// Delta table: for the ranges sorted stably by start, entry (s - cum, cum + (e - s)) where cum is
// the number of bytes removed before the range. `map_to_source` adds the cumulative count of the
// last entry whose position is at or before an offset, so an offset at a removal's position maps
// past the removed bytes.
//
// Malformed ranges. Callers may hand in any pairs, so `build_cumulative_deltas` first brings them
// into a canonical form with `sanitize_ranges`:
//   1. a reversed range (end < start) is clamped to end = start and removes nothing;
//   2. the ranges are sorted stably by start only (equal starts keep their input order);
//   3. a range whose start lies strictly inside the bytes removed so far (start < the largest end
//      seen) is merged into the previous range, extending its end if it reaches further.
// Well-formed disjoint ranges pass through unchanged apart from the sort, so their table is exactly
// the one described above, including entries sharing a position for adjacent ranges. After the
// merge the ranges are disjoint and ordered, so every subtraction stays non-negative and the
// positions never decrease.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quarnel::core::normalize {

// Bytes [start, end) of a source text that a cleaned copy lacks.
struct RemovedRange {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  friend bool operator==(const RemovedRange&, const RemovedRange&) = default;
};

// A removal taking effect at `position` of the cleaned text; `cumulative` bytes removed so far.
struct CumulativeDelta {
  std::uint64_t position = 0;
  std::uint64_t cumulative = 0;
  friend bool operator==(const CumulativeDelta&, const CumulativeDelta&) = default;
};

struct NormalizedText {
  std::string text;
  std::vector<RemovedRange> removed_ranges;
  std::vector<CumulativeDelta> deltas;
  bool lowercased = false;
};

// `text` must be valid UTF-8; collapsing checks its output and throws InternalError otherwise.
[[nodiscard]] NormalizedText normalize_text(std::string_view text, bool case_insensitive,
                                            bool collapse_whitespace);
[[nodiscard]] NormalizedText collapse_whitespace(std::string_view text);
[[nodiscard]] std::vector<CumulativeDelta> build_cumulative_deltas(
    std::span<const RemovedRange> ranges);
[[nodiscard]] std::uint64_t map_to_source(std::span<const CumulativeDelta> deltas,
                                          std::uint64_t offset);

// Sets bit 0x20 of every byte from 'A' to 'Z'; every other byte, including all bytes of multi-byte
// UTF-8 sequences, is left alone.
void ascii_lowercase_in_place(std::span<char> bytes);

// The canonical form described above: clamped, sorted stably by start, overlaps merged.
[[nodiscard]] std::vector<RemovedRange> sanitize_ranges(std::span<const RemovedRange> ranges);

}  // namespace quarnel::core::normalize
