#pragma once
// The (phrase, start) pairs the candidate scan hit, stored per start as a shared list of windows.
// Memory: 8 bytes per start with hits (32-bit text) and the windows of each distinct list.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <span>
#include <utility>
#include <vector>

#include "duplicate_finder/chunked_log.hpp"

namespace quarnel::core::duplicate_finder {

// Hits are stored per position as a list of phrase ids; consecutive positions of a run mostly
// repeat the same list (their verdicts come from the cache), and then share it. Set-aside
// recovery adds the admitted pairs.
template <class Offset>
struct HitLists {
  struct PositionHits {
    Offset position;
    Offset list;  // there are no more lists than positions
  };
  // A window of a list: its phrase (interner ids are 32-bit) and its raw length from the start.
  struct Window {
    std::uint32_t id;
    Offset raw_length;
    friend bool operator==(const Window&, const Window&) = default;
  };

  ChunkedLog<PositionHits> positions;
  std::vector<Window> windows;
  std::vector<std::uint64_t> begin{0};  // list k: windows[begin[k], begin[k + 1])
  std::vector<std::pair<std::uint32_t, Offset>> admitted;  // set-aside windows with a phrase

  [[nodiscard]] std::span<const Window> list(std::uint64_t k) const {
    return std::span<const Window>(windows).subspan(begin[k], begin[k + 1] - begin[k]);
  }

  // The recorded positions in text order. They are scattered from the log straight into buckets
  // of neighbouring positions (about 32 a bucket), and each bucket is sorted where it lies: no
  // second array of them, as a radix sort would need.
  [[nodiscard]] std::vector<PositionHits> by_position() const {
    std::uint64_t largest = 0, n = 0;
    positions.for_each([&](const PositionHits& h) {
      largest = std::max<std::uint64_t>(largest, h.position);
      ++n;
    });
    const auto width = [](std::uint64_t x) { return static_cast<unsigned>(std::bit_width(x)); };
    const unsigned shift = width(largest) > width(n / 32) ? width(largest) - width(n / 32) : 0;
    std::vector<std::uint64_t> next((largest >> shift) + 2, 0);  // bucket b fills from next[b]
    positions.for_each([&](const PositionHits& h) { ++next[(h.position >> shift) + 1]; });
    std::partial_sum(next.begin(), next.end(), next.begin());
    std::vector<PositionHits> sorted(n);
    positions.for_each([&](const PositionHits& h) { sorted[next[h.position >> shift]++] = h; });
    const auto by_start = [](const PositionHits& a, const PositionHits& b) {
      return a.position < b.position;
    };
    std::uint64_t begin = 0;
    for (std::size_t b = 0; b + 1 < next.size(); ++b) {  // bucket b now ends at next[b]
      std::sort(sorted.begin() + static_cast<std::ptrdiff_t>(begin),
                sorted.begin() + static_cast<std::ptrdiff_t>(next[b]), by_start);
      begin = next[b];
    }
    return sorted;
  }

  // visit(id, start) for every (phrase, start) pair hit, admitted ones last.
  template <class Visit>
  void for_each_hit(Visit&& visit) const {
    positions.for_each([&](const PositionHits& h) {
      for (const Window& w : list(h.list)) visit(w.id, h.position);
    });
    for (const auto& [id, position] : admitted) visit(id, position);
  }
};

}  // namespace quarnel::core::duplicate_finder
