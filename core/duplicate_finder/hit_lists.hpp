#pragma once
// The (phrase, start) pairs the candidate scan hit, stored per start as a shared list of windows.
// Memory: 8 bytes per start with hits (32-bit text) and the windows of each distinct list.

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "duplicate_finder/chunked_log.hpp"
#include "radix_sort.hpp"

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

  // The recorded positions in text order.
  [[nodiscard]] std::vector<PositionHits> by_position() const {
    std::vector<PositionHits> sorted;
    sorted.reserve(positions.size());
    positions.for_each([&](const PositionHits& h) { sorted.push_back(h); });
    radix_sort_by_position(sorted, [](const PositionHits& h) { return h.position; });
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
