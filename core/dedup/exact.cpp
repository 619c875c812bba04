// The exact engine: which windows go, from the LCP intervals of the word-token suffix array.
//
// Suffixes that share at least min_words whole words (never past a document end) begin with
// the same window, so the windows equal to one another are the maximal runs of ranks whose
// neighbours' word LCP is min_words or more. In each run the smallest position is the first
// copy; every other corpus position is a later copy, unless the run holds a reference position,
// when every corpus position goes. One pass over the ranks, whatever the repeats: a word
// repeated a million times is one run, not a million passages.

#include <limits>
#include <string>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/large_array.hpp"
#include "base/parallel.hpp"
#include "base/prefetch.hpp"
#include "dedup/dedup.hpp"
#include "dedup/words.hpp"
#include "word_tokens.hpp"

namespace quarnel::core::dedup {
namespace {

using word_tokens::TokenText;

template <class Idx>
constexpr Idx kUnmarked = std::numeric_limits<Idx>::max();
template <class Idx>
constexpr Idx kInReference = std::numeric_limits<Idx>::max() - 1;
static_assert(word_tokens::kUnset == kUnmarked<std::uint32_t>);

// Per position: unmarked, in a window found in the reference, or a later copy of the window at
// the position it holds. Built in the LCP array's memory: each entry is read before it is
// overwritten, as runs are closed from left to right.
template <class Idx>
std::vector<Idx> window_marks(const TokenText& t, std::uint64_t k, std::uint64_t reference_begin,
                              parallel::Lanes lanes) {
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

// The corpus's documents cut by their marks. A repeat's first copy lies at or before it in
// corpus order, so the character offsets of word starts are known by the time they are asked
// for when documents are cut in order.
template <class Idx>
Cleaned cut_by_marks(std::span<const std::string_view> documents, const std::vector<Idx>& marks,
                     const std::vector<std::uint64_t>& doc_begin, const Params& params) {
  Cleaned out;
  const std::uint64_t corpus_positions = doc_begin[documents.size()];
  std::vector<std::uint64_t> word_chars = large_array<std::uint64_t>(corpus_positions);
  detail::WordBounds words;
  std::vector<std::uint64_t> document, word, kept_document, kept_word, kept_start;
  std::vector<std::uint8_t> why;
  std::vector<std::uint64_t> chars;
  for (std::size_t d = 0; d < documents.size(); ++d) {
    interrupt::checkpoint();
    const std::string_view text = documents[d];
    const std::uint64_t base = doc_begin[d];
    words.of(text);
    if (words.size() != doc_begin[d + 1] - 1 - base) {
      throw InternalError("dedup: the document's words and its tokens disagree");
    }
    chars.assign(words.starts.begin(), words.starts.end());
    detail::bytes_to_chars(text, chars);
    std::copy(chars.begin(), chars.end(), word_chars.begin() + base);
    for (auto* column : {&document, &word, &kept_document, &kept_word, &kept_start}) {
      column->clear();
    }
    why.clear();
    for (std::uint64_t w = 0; w < words.size(); ++w) {
      const Idx mark = marks[base + w];
      if (mark == kUnmarked<Idx>) continue;
      document.push_back(0);
      word.push_back(w);
      if (mark == kInReference<Idx>) {
        why.push_back(static_cast<std::uint8_t>(Why::kReference));
        kept_document.push_back(kNoCopy);
        kept_word.push_back(0);
        kept_start.push_back(kNoCopy);
      } else {
        // The document whose tokens hold the first copy (the token table is gone by now).
        const auto kept = static_cast<std::uint64_t>(
            std::upper_bound(doc_begin.begin(), doc_begin.end(), std::uint64_t{mark}) -
            doc_begin.begin() - 1);
        why.push_back(static_cast<std::uint8_t>(Why::kRepeat));
        kept_document.push_back(kept);
        kept_word.push_back(mark - doc_begin[kept]);
        kept_start.push_back(word_chars[mark]);
      }
    }
    const MarkColumns rows{document, word, why, kept_document, kept_word, kept_start};
    detail::cut_document(text, rows, 0, word.size(), params, d, words, out);
  }
  return out;
}

template <class Idx>
Cleaned clean_with(std::span<const std::string_view> documents, TokenText& tokens,
                   const Params& params, parallel::Lanes lanes) {
  const std::vector<std::uint64_t> doc_begin = std::move(tokens.doc_begin);
  std::vector<Idx> marks;
  {
    tokens.doc_begin = doc_begin;
    marks = window_marks<Idx>(tokens, params.min_words, doc_begin[documents.size()], lanes);
    tokens = {};  // the ids and token tables, before the cut builds its result
  }
  return cut_by_marks<Idx>(documents, marks, doc_begin, params);
}

}  // namespace

Cleaned clean(std::span<const std::string_view> documents,
              std::span<const std::string_view> reference, const Params& params) {
  if (params.min_words == 0) throw UsageError("min_words must be at least 1");
  TokenText tokens;
  {
    // Prepared copies live only until the tokens are interned.
    std::vector<std::string> copies(detail::prepares(params) ? documents.size() + reference.size()
                                                             : 0);
    std::vector<std::string_view> compared;
    compared.reserve(documents.size() + reference.size());
    for (const auto& group : {documents, reference}) {
      for (const std::string_view text : group) {
        compared.push_back(
            copies.empty() ? text : detail::prepared(text, params, copies[compared.size()]));
        interrupt::checkpoint();
      }
    }
    tokens = word_tokens::tokenize(compared);
  }
  // The call's lanes, decided here once: the sort of the tokens is the only stage that splits.
  const parallel::Lanes lanes = parallel::Lanes::for_size(tokens.size());
  return word_tokens::fits_narrow(tokens)
             ? clean_with<std::uint32_t>(documents, tokens, params, lanes)
             : clean_with<std::uint64_t>(documents, tokens, params, lanes);
}

}  // namespace quarnel::core::dedup
