#include "suffix_array/search.hpp"

#include <algorithm>
#include <cstring>

namespace quarnel::core::suffix_array {
namespace {

// Compares the first min(m, suffix length) bytes of the suffix at `pos` with the pattern; a key
// that is a proper prefix of the pattern is the smaller.
int compare_key(std::span<const std::uint8_t> text, std::uint64_t pos,
                std::span<const std::uint8_t> pattern) {
  const std::size_t available = text.size() - pos;
  const std::size_t len = std::min(available, pattern.size());
  const int c = std::memcmp(text.data() + pos, pattern.data(), len);
  if (c != 0) return c;
  return len < pattern.size() ? -1 : 0;
}

template <class Idx>
SaInterval search_range(std::span<const std::uint8_t> text, std::span<const Idx> sa,
                        std::span<const std::uint8_t> pattern) {
  const std::uint64_t n_sa = sa.size();
  if (n_sa == 0 || pattern.empty() || pattern.size() > text.size()) return {0, 0};
  std::uint64_t lo = 0, hi = n_sa;
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    if (compare_key(text, sa[mid], pattern) < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  const std::uint64_t first = lo;
  if (first == n_sa) return {n_sa, n_sa};
  std::uint64_t l = first, h = n_sa;
  do {
    const std::uint64_t mid = l + (h - l) / 2;
    if (compare_key(text, sa[mid], pattern) > 0) {
      h = mid;
    } else {
      l = mid + 1;
    }
  } while (l < h);
  return {first, l};
}

}  // namespace

SaInterval sa_search_range(std::span<const std::uint8_t> text, std::span<const std::uint64_t> sa,
                           std::span<const std::uint8_t> pattern) {
  return search_range(text, sa, pattern);
}

SaInterval sa_search_range(std::span<const std::uint8_t> text, std::span<const std::uint32_t> sa,
                           std::span<const std::uint8_t> pattern) {
  return search_range(text, sa, pattern);
}

}  // namespace quarnel::core::suffix_array
