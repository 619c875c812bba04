#pragma once
// Unsigned 64-bit arithmetic that stops at the bounds instead of wrapping.

#include <cstdint>
#include <limits>

namespace quarnel::core {

inline constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

// Parameters arrive unchecked from Python, so every derived bound saturates instead of wrapping.
[[nodiscard]] constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > kMaxU64 - b ? kMaxU64 : a + b;
}

[[nodiscard]] constexpr std::uint64_t saturating_sub(std::uint64_t a, std::uint64_t b) {
  return a < b ? 0 : a - b;
}

[[nodiscard]] constexpr std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  return (a != 0 && b > kMaxU64 / a) ? kMaxU64 : a * b;
}

}  // namespace quarnel::core
