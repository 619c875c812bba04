// The sketch of window fingerprints the distributed engine filters its records by before the
// shuffle: bit arrays over the slots of the fingerprints' low bits, in one pass over a group of
// partitions' slots (4 bytes a window travel to the group's task, where bit arrays per partition
// cost 2^(bits - 2) bytes each to make, move and merge).

#include <bit>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/large_array.hpp"
#include "base/prefetch.hpp"
#include "dedup/dedup.hpp"

namespace quarnel::core::dedup {
namespace {

void check_bits(unsigned bits) {
  if (bits < 3 || bits > 32) throw UsageError("bits must be from 3 to 32");
}

// Far enough ahead to hide a miss to memory at a few cycles per slot.
constexpr std::size_t kAhead = 16;

}  // namespace

Sketch sketch(std::span<const std::span<const std::uint32_t>> parts, unsigned bits) {
  check_bits(bits);
  const std::uint32_t mask = static_cast<std::uint32_t>((std::uint64_t{1} << bits) - 1);
  // A slot's seen and repeated bytes side by side: one cache miss per fingerprint, not two; on
  // huge pages, or most of the misses are page-table walks too.
  std::vector<std::uint8_t> both = large_array<std::uint8_t>(std::size_t{2} << (bits - 3));
  std::size_t done = 0;
  for (const auto part : parts) {
    for (std::size_t r = 0; r < part.size(); ++r) {
      interrupt::checkpoint_every(done++);
      if (r + kAhead < part.size()) prefetch_read(&both[2 * ((part[r + kAhead] & mask) >> 3)]);
      const std::uint32_t slot = part[r] & mask;
      const auto bit = static_cast<std::uint8_t>(1U << (slot & 7));
      std::uint8_t* pair = &both[2 * (slot >> 3)];
      pair[1] |= pair[0] & bit;
      pair[0] |= bit;
    }
  }
  Sketch out{std::vector<std::uint8_t>(both.size() / 2),
             std::vector<std::uint8_t>(both.size() / 2)};
  for (std::size_t b = 0; b < out.seen.size(); ++b) {
    out.seen[b] = both[2 * b];
    out.repeated[b] = both[2 * b + 1];
  }
  return out;
}

std::vector<std::uint8_t> in_slots(std::span<const std::uint64_t> high,
                                   std::span<const std::uint8_t> slots, unsigned bits) {
  check_bits(bits);
  if (slots.size() != std::size_t{1} << (bits - 3)) {
    throw UsageError("slots: expected 2^bits / 8 bytes");
  }
  const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
  std::vector<std::uint8_t> out(high.size());
  for (std::size_t r = 0; r < high.size(); ++r) {
    interrupt::checkpoint_every(r);
    if (r + kAhead < high.size()) prefetch_read(&slots[(high[r + kAhead] & mask) >> 3]);
    const std::uint64_t slot = high[r] & mask;
    out[r] = (slots[slot >> 3] >> (slot & 7)) & 1;
  }
  return out;
}

}  // namespace quarnel::core::dedup
