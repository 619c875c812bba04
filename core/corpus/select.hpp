#pragma once
// The groups a Selection keeps, chosen from the placed groups before anything is located.
// Cost: O(groups) for the keys (O(rows) for Order::kFiles) and a partial sort of the kept groups
// up to `top`; in the found order, the scan stops at the `top`-th group kept. Memory: the rows
// returned, copied.

#include <cstdint>
#include <functional>
#include <vector>

#include "corpus.hpp"
#include "passages.hpp"

namespace quarnel::core::corpus {

struct Chosen {
  std::vector<std::uint64_t> groups;  // the groups found that are kept, in the order returned
  passages::Passages placed;          // their words and rows, at most max_places rows each
  std::vector<std::uint64_t> counts;  // each one's places in all
  // The groups and places found: all but those of groups the visible-characters rule leaves
  // out, which are not passages or phrases by the caller's rule (min_count and top are limits).
  std::uint64_t found_groups = 0;
  std::uint64_t found_places = 0;
};

// `visible(g)` gives group g's characters other than white space; it is asked only of groups of
// at most selection.visible_chars_over words, as every word has at least one such character.
[[nodiscard]] Chosen chosen(const passages::Passages& found, const Selection& selection,
                            const std::function<std::uint64_t(std::size_t)>& visible);

}  // namespace quarnel::core::corpus
