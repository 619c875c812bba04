#pragma once
// Stable sorting of records by an unsigned key (a text position, a length turned around), for
// arrays of millions where a comparison sort would dominate its stage.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quarnel::core {

// Sorts by position (stable LSD radix sort), one byte a pass and only as many passes as the
// largest position needs. A byte's 256 destinations stay in cache while items are scattered to
// them, where wider digits missed on nearly every write; the counts of all passes are taken in
// one read.
template <class T, class Position>
void radix_sort_by_position(std::vector<T>& items, Position position) {
  constexpr unsigned kDigit = 8;
  constexpr std::size_t kBuckets = std::size_t{1} << kDigit;
  std::uint64_t largest = 0;
  for (const T& item : items) largest = std::max<std::uint64_t>(largest, position(item));
  const auto passes = static_cast<unsigned>((std::bit_width(largest) + kDigit - 1) / kDigit);
  if (passes == 0) return;
  const auto digit = [&](const T& item, unsigned pass) {
    return static_cast<std::size_t>(
        (static_cast<std::uint64_t>(position(item)) >> (pass * kDigit)) & (kBuckets - 1));
  };
  std::vector<std::size_t> slots(passes * kBuckets, 0);
  for (const T& item : items) {
    for (unsigned pass = 0; pass < passes; ++pass) ++slots[pass * kBuckets + digit(item, pass)];
  }
  std::vector<T> buffer(items.size());
  for (unsigned pass = 0; pass < passes; ++pass) {
    const auto first = slots.begin() + static_cast<std::ptrdiff_t>(pass * kBuckets);
    std::size_t sum = 0;
    for (auto slot = first; slot != first + kBuckets; ++slot) sum += std::exchange(*slot, sum);
    for (const T& item : items)
      buffer[first[static_cast<std::ptrdiff_t>(digit(item, pass))]++] = item;
    items.swap(buffer);
  }
}

}  // namespace quarnel::core
