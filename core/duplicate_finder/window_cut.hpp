#pragma once
// Which windows a start cuts: shared by the candidate scan, which cuts them, and set-aside
// recovery, which cuts the logged ones again. Time: one step per word end visited.

#include <algorithm>
#include <cstdint>

#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"
#include "duplicate_finder/positions.hpp"

namespace quarnel::core::duplicate_finder {

// The k-th word end after a start closes its window of k words: the first `skipped_words`
// windows have fewer than min_words words, and at most max_words are cut.
struct WindowCut {
  explicit WindowCut(const FinderParams& params)
      : skipped_words(std::max<std::uint64_t>(params.min_words, 1) - 1),
        per_start(params.max_words > skipped_words ? params.max_words - skipped_words : 0) {}

  // Calls visit(end) for the end of every window cut at p up to `limit`, shortest first, until
  // visit returns false.
  template <class Visit>
  void for_each_end(const PositionIndex& positions, std::uint64_t p, std::uint64_t limit,
                    Visit&& visit) const {
    PositionIndex::EndCursor ends(positions, p, skipped_words);
    std::uint64_t windows = per_start;
    for (auto e = ends.next(); e && *e <= limit && windows > 0; e = ends.next(), --windows) {
      if (!visit(*e)) return;
    }
  }

  std::uint64_t skipped_words;
  std::uint64_t per_start;  // windows cut at a start, at most
};

}  // namespace quarnel::core::duplicate_finder
