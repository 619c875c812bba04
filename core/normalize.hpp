#pragma once
// ASCII lower-casing and whitespace collapsing, with the bookkeeping that maps byte offsets of the
// prepared text back to the source text.

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

[[nodiscard]] NormalizedText normalize_text(std::string_view text, bool case_insensitive,
                                            bool collapse_whitespace);
[[nodiscard]] NormalizedText collapse_whitespace(std::string_view text);
[[nodiscard]] std::vector<CumulativeDelta> build_cumulative_deltas(
    std::span<const RemovedRange> ranges);
[[nodiscard]] std::uint64_t map_to_source(std::span<const CumulativeDelta> deltas,
                                          std::uint64_t offset);

}  // namespace quarnel::core::normalize
