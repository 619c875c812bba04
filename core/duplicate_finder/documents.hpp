#pragma once
// Documents analysed together: their texts joined into one analysis text, each followed by a
// separator, so that one suffix array finds a repeat wherever it is. Document ends are barriers:
// each end is a sentence boundary (no phrase reaches past it), the separator is longer than the
// gap merging bridges, and the LCP entries are cut at document ends (no run, window or block
// extends past one).
// Time: one pass over the ranks for the cut, one table lookup per suffix; memory: 8 bytes per 64
// text bytes for the table.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/parallel.hpp"

namespace quarnel::core::duplicate_finder {

// Not a word byte, and three of them: merging joins phrases at most two bytes apart.
inline constexpr std::string_view kDocumentSeparator{"\0\0\0", 3};

// Where each document lies in the analysis text, [starts[d], ends[d]), ascending and disjoint.
// Empty: the whole text is one document.
struct DocumentLayout {
  std::span<const std::uint64_t> starts;
  std::span<const std::uint64_t> ends;
  [[nodiscard]] bool single() const { return starts.empty(); }
};

// Bytes from p to the end of its document; 0 for a position outside every document.
class DocumentEnds {
 public:
  DocumentEnds(const DocumentLayout& layout, std::uint64_t text_size);

  [[nodiscard]] std::uint64_t left(std::uint64_t p) const {
    const std::size_t d = document_at(p);
    return p >= starts_[d] ? ends_[d] - p : 0;
  }

  // The first document that ends at or after p: the one that holds p, if any does.
  [[nodiscard]] std::size_t document_at(std::uint64_t p) const {
    std::size_t d = first_end_[p >> kShift];
    while (ends_[d] < p) ++d;
    return d;
  }

 private:
  static constexpr unsigned kShift = 6;
  // The layout's, each with a last entry past every position.
  std::vector<std::uint64_t> starts_;
  std::vector<std::uint64_t> ends_;
  // Per 64 positions: the first document that ends at or after the first of them.
  std::vector<std::uint32_t> first_end_;
};

// Cuts every LCP entry to what both neighbours have left of their documents, in two parts on the
// call's lanes.
template <class Idx>
void cut_at_document_ends(std::span<Idx> lcp, std::span<const Idx> sa, const DocumentEnds& ends,
                          parallel::Lanes lanes) {
  if (sa.empty()) return;
  parallel::over_parts(lanes, sa.size(), sa.size() / 2, [&](parallel::Part part) {
    const std::size_t first = std::max<std::size_t>(part.begin, 1);
    const std::size_t end = part.end;
    std::uint64_t previous_left = ends.left(sa[first - 1]);
    for (std::size_t r = first; r < end; ++r) {
      const std::uint64_t left = ends.left(sa[r]);
      const std::uint64_t bound = left < previous_left ? left : previous_left;
      if (lcp[r] > bound) lcp[r] = static_cast<Idx>(bound);
      previous_left = left;
    }
  });
}

// Each document's sentence boundaries, found in the document alone, then its end.
[[nodiscard]] std::vector<std::uint64_t> document_sentence_boundaries(std::string_view text,
                                                                      const DocumentLayout& layout);

}  // namespace quarnel::core::duplicate_finder
