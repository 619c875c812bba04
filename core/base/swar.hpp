#pragma once
// Eight bytes at a time in one 64-bit word: the constants and byte tests that the text scans
// share.

#include <cstdint>
#include <cstring>

namespace quarnel::core::swar {

inline constexpr std::uint64_t kLowBits = 0x0101'0101'0101'0101ULL;   // bit 0 of every byte
inline constexpr std::uint64_t kHighBits = 0x8080'8080'8080'8080ULL;  // bit 7 of every byte

// The eight bytes at p; on little-endian machines byte i lands in bits 8i to 8i + 7.
[[nodiscard]] inline std::uint64_t load8(const void* p) {
  std::uint64_t w = 0;
  std::memcpy(&w, p, 8);
  return w;
}

[[nodiscard]] constexpr bool all_ascii(std::uint64_t w) {
  return (w & kHighBits) == 0;
}

// Bit 7 set in every byte of w that lies in [lo, hi], clear elsewhere. Every byte of w must be
// below 0x80: then the per-byte sums stay below 0x100 and never carry into the next byte.
[[nodiscard]] constexpr std::uint64_t in_range(std::uint64_t w, unsigned lo, unsigned hi) {
  const std::uint64_t at_least_lo = w + kLowBits * (0x80 - lo);
  const std::uint64_t above_hi = w + kLowBits * (0x7F - hi);
  return at_least_lo & ~above_hi & kHighBits;
}

// Bit 7 of byte i moved to bit i (the product's partial sums never overlap).
[[nodiscard]] constexpr std::uint64_t gather_high_bits(std::uint64_t high_bits) {
  return ((high_bits >> 7) * 0x0102'0408'1020'4080ULL) >> 56;
}

// Bit 7 set in every byte of w equal to c, clear elsewhere, for any bytes.
[[nodiscard]] constexpr std::uint64_t equal_to(std::uint64_t w, unsigned char c) {
  constexpr std::uint64_t kLow7 = ~kHighBits;
  const std::uint64_t x = w ^ (kLowBits * c);  // zero where equal
  return ~(((x & kLow7) + kLow7) | x) & kHighBits;
}

// Bit 7 set in every byte of w that continues a UTF-8 character (10xxxxxx), for any bytes.
[[nodiscard]] constexpr std::uint64_t continuation_bytes(std::uint64_t w) {
  return w & ~(w << 1) & kHighBits;
}

// Bit 7 set in every byte of w that is a word byte (an ASCII letter or digit, or any byte of a
// non-ASCII character), for any bytes.
[[nodiscard]] constexpr std::uint64_t word_bytes(std::uint64_t w) {
  const std::uint64_t high = w & kHighBits;
  const std::uint64_t low = w & ~kHighBits;
  const std::uint64_t alnum =
      in_range(low, '0', '9') | in_range(low, 'A', 'Z') | in_range(low, 'a', 'z');
  return (alnum & ~high) | high;
}

}  // namespace quarnel::core::swar
