// Marks from the LCP intervals of the word-token suffix array.
//
// Suffixes that share at least k whole words (never past a document end) begin with the same
// window, so the windows equal to one another are the maximal runs of ranks whose neighbours'
// word LCP is k or more. In each run the smallest position is the first copy; every other corpus
// position is a later copy, unless the run holds a reference position, when every corpus
// position goes. One pass over the ranks, whatever the repeats: a word repeated a million times
// is one run, not a million passages.

#include "base/interrupt.hpp"
#include "base/prefetch.hpp"
#include "dedup/marks.hpp"

namespace quarnel::core::dedup::detail {

// Built in the LCP array's memory: each entry is read before it is overwritten, as runs are
// closed from left to right.
template <class Idx>
std::vector<Idx> marks_by_suffix_array(const word_tokens::TokenText& t, std::uint64_t k,
                                       std::uint64_t reference_begin, parallel::Lanes lanes) {
  std::vector<Idx> marks;
  {
    const std::vector<Idx> sa = word_tokens::token_suffix_array<Idx>(t, lanes);
    marks = word_tokens::permuted_word_lcp<Idx>(t, sa);
    interrupt::checkpoint();
    const std::size_t n = sa.size();
    // Ranks are visited in order but their marks lie scattered: each one is asked for well
    // before the scan reaches it, so that many misses are in flight at once.
    constexpr std::size_t kAhead = 32;
    const auto mark_of_rank = [&](std::size_t r) {
      if (r + kAhead < n) prefetch_read(marks.data() + sa[r + kAhead]);
      return marks[sa[r]];
    };
    std::size_t lb = 0;
    while (lb < n) {
      interrupt::checkpoint_every(lb);
      std::size_t rb = lb;
      while (rb + 1 < n && mark_of_rank(rb + 1) >= k) ++rb;
      if (rb == lb) {
        marks[sa[lb]] = kUnmarked<Idx>;
      } else {
        Idx first = kUnmarked<Idx>;
        bool in_reference = false;
        for (std::size_t r = lb; r <= rb; ++r) {
          if (sa[r] >= reference_begin) {
            in_reference = true;
          } else if (sa[r] < first) {
            first = sa[r];
          }
        }
        for (std::size_t r = lb; r <= rb; ++r) {
          const Idx p = sa[r];
          if (in_reference) {
            marks[p] = p < reference_begin ? kInReference<Idx> : kUnmarked<Idx>;
          } else {
            marks[p] = p == first ? kUnmarked<Idx> : first;
          }
        }
      }
      lb = rb + 1;
    }
  }
  interrupt::checkpoint();
  return marks;
}

template std::vector<std::uint32_t> marks_by_suffix_array(const word_tokens::TokenText&,
                                                          std::uint64_t, std::uint64_t,
                                                          parallel::Lanes);
template std::vector<std::uint64_t> marks_by_suffix_array(const word_tokens::TokenText&,
                                                          std::uint64_t, std::uint64_t,
                                                          parallel::Lanes);

}  // namespace quarnel::core::dedup::detail
