#pragma once
// Exact pattern search on a suffix array.

#include <cstdint>
#include <span>

namespace quarnel::core::suffix_array {

// Half-open rank interval [lo, hi) of the suffixes that begin with a pattern. When the pattern is
// absent lo == hi is its insertion rank; an empty pattern or one longer than the text gives (0, 0).
struct SaInterval {
  std::uint64_t lo = 0;
  std::uint64_t hi = 0;
  friend bool operator==(const SaInterval&, const SaInterval&) = default;
};

[[nodiscard]] SaInterval sa_search_range(std::span<const std::uint8_t> text,
                                         std::span<const std::uint64_t> sa,
                                         std::span<const std::uint8_t> pattern);
[[nodiscard]] SaInterval sa_search_range(std::span<const std::uint8_t> text,
                                         std::span<const std::uint32_t> sa,
                                         std::span<const std::uint8_t> pattern);

}  // namespace quarnel::core::suffix_array
