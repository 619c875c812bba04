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

// The passes of kDigit bits each that the largest position among n items needs.
template <unsigned kDigit, class T, class Position>
[[nodiscard]] unsigned radix_passes(const T* items, std::size_t n, Position position) {
  std::uint64_t largest = 0;
  for (std::size_t i = 0; i < n; ++i) {
    largest = std::max<std::uint64_t>(largest, position(items[i]));
  }
  return static_cast<unsigned>((std::bit_width(largest) + kDigit - 1) / kDigit);
}

// Sorts n items by position (stable LSD radix sort), kDigit bits a pass, scattering back and
// forth between `items` and `buffer` (room for n); returns the one that holds the sorted items.
// For large records and arrays of millions take bytes: a byte's 256 destinations stay in cache
// while items are scattered to them, where wider digits missed on nearly every write. The counts
// of all passes are taken in one read.
template <unsigned kDigit, class T, class Position>
T* radix_sort_into(T* items, T* buffer, std::size_t n, unsigned passes, Position position) {
  constexpr std::size_t kBuckets = std::size_t{1} << kDigit;
  const auto digit = [&](const T& item, unsigned pass) {
    return static_cast<std::size_t>(
        (static_cast<std::uint64_t>(position(item)) >> (pass * kDigit)) & (kBuckets - 1));
  };
  std::vector<std::size_t> slots(passes * kBuckets, 0);
  for (std::size_t i = 0; i < n; ++i) {
    for (unsigned pass = 0; pass < passes; ++pass) ++slots[pass * kBuckets + digit(items[i], pass)];
  }
  for (unsigned pass = 0; pass < passes; ++pass) {
    const auto first = slots.begin() + static_cast<std::ptrdiff_t>(pass * kBuckets);
    std::size_t sum = 0;
    for (auto slot = first; slot != first + kBuckets; ++slot) sum += std::exchange(*slot, sum);
    for (std::size_t i = 0; i < n; ++i) {
      buffer[first[static_cast<std::ptrdiff_t>(digit(items[i], pass))]++] = items[i];
    }
    std::swap(items, buffer);
  }
  return items;
}

// Sorts by position, only as many passes as the largest position needs.
template <class T, class Position>
void radix_sort_by_position(std::vector<T>& items, Position position) {
  constexpr unsigned kByte = 8;
  const unsigned passes = radix_passes<kByte>(items.data(), items.size(), position);
  if (passes == 0) return;
  std::vector<T> buffer(items.size());
  if (radix_sort_into<kByte>(items.data(), buffer.data(), items.size(), passes, position) ==
      buffer.data()) {
    items.swap(buffer);
  }
}

// Moves items[source_of(k)] to position k for every k (source_of a permutation), following each
// cycle once: large records take their sorted order without a second array of them.
template <class T, class SourceOf>
void arrange_in_place(std::vector<T>& items, SourceOf source_of) {
  std::vector<bool> placed(items.size(), false);
  for (std::size_t k = 0; k < items.size(); ++k) {
    if (placed[k]) continue;
    T held = std::move(items[k]);
    std::size_t at = k;
    for (;;) {
      placed[at] = true;
      const std::size_t from = source_of(at);
      if (from == k) break;
      items[at] = std::move(items[from]);
      at = from;
    }
    items[at] = std::move(held);
  }
}

}  // namespace quarnel::core
