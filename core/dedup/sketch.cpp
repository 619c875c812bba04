// The sketch of window fingerprints the distributed engine filters its records by before the
// shuffle: bit arrays over the slots of the fingerprints' low bits, in one pass.

#include <bit>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "dedup/dedup.hpp"

namespace quarnel::core::dedup {
namespace {

void check_bits(unsigned bits) {
  if (bits < 3 || bits > 40) throw UsageError("bits must be from 3 to 40");
}

}  // namespace

Sketch sketch(std::span<const std::uint64_t> high, unsigned bits) {
  check_bits(bits);
  const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
  Sketch out{std::vector<std::uint8_t>(std::size_t{1} << (bits - 3)),
             std::vector<std::uint8_t>(std::size_t{1} << (bits - 3))};
  for (std::size_t r = 0; r < high.size(); ++r) {
    interrupt::checkpoint_every(r);
    const std::uint64_t slot = high[r] & mask;
    const auto bit = static_cast<std::uint8_t>(1U << (slot & 7));
    std::uint8_t& seen = out.seen[slot >> 3];
    out.repeated[slot >> 3] |= seen & bit;
    seen |= bit;
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
    const std::uint64_t slot = high[r] & mask;
    out[r] = (slots[slot >> 3] >> (slot & 7)) & 1;
  }
  return out;
}

}  // namespace quarnel::core::dedup
