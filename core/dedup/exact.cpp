// The exact engine: the windows' marks (dedup/marks.hpp), then the documents cut by them.

#include <optional>
#include <string>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/large_array.hpp"
#include "base/parallel.hpp"
#include "dedup/dedup.hpp"
#include "dedup/marks.hpp"
#include "dedup/words.hpp"
#include "word_tokens.hpp"

namespace quarnel::core::dedup {
namespace {

using word_tokens::TokenText;

using detail::kInReference;
using detail::kUnmarked;

// The corpus's documents cut by their marks. A repeat's first copy lies at or before it in
// corpus order, so the character offsets of word starts (kept in `word_chars`, memory an
// earlier stage leaves) are known by the time they are asked for when documents are cut in
// order.
template <class Idx>
Cleaned cut_by_marks(std::span<const std::string_view> documents, const std::vector<Idx>& marks,
                     const std::vector<std::uint64_t>& doc_begin, const Params& params,
                     parallel::Lanes lanes, std::vector<std::uint64_t>& word_chars) {
  Cleaned out;
  const std::uint64_t corpus_positions = doc_begin[documents.size()];
  if (word_chars.size() < corpus_positions) {
    word_chars = large_array_faulted_in<std::uint64_t>(corpus_positions, lanes);
  }
  detail::WordBounds words;
  std::vector<std::uint64_t> document, word, kept_document, kept_word, kept_start;
  std::vector<std::uint8_t> why;
  std::vector<std::uint64_t> chars;
  std::uint64_t kept = 0;
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
        // The document that holds the first copy: most often the one of the mark before.
        if (mark < doc_begin[kept] || mark >= doc_begin[kept + 1]) {
          kept = static_cast<std::uint64_t>(
              std::upper_bound(doc_begin.begin(), doc_begin.end(), std::uint64_t{mark}) -
              doc_begin.begin() - 1);
        }
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

}  // namespace

Cleaned clean(std::span<const std::string_view> documents,
              std::span<const std::string_view> reference, const Params& params) {
  return detail::clean(documents, reference, params, detail::Engine{});
}

Cleaned detail::clean(std::span<const std::string_view> documents,
                      std::span<const std::string_view> reference, const Params& params,
                      const Engine& engine) {
  if (params.min_words == 0) throw UsageError("min_words must be at least 1");
  std::vector<std::uint64_t> doc_begin;
  bool narrow = true;
  std::vector<std::uint32_t> narrow_marks;
  std::vector<std::uint64_t> wide_marks;
  std::vector<std::uint64_t> scratch;  // the hashes' word starts, then the cut's word offsets
  // The call's lanes, decided here once, from the size of the texts.
  std::uint64_t bytes = 0;
  for (const auto& group : {documents, reference}) {
    for (const std::string_view text : group) bytes += text.size();
  }
  const parallel::Lanes lanes =
      engine.lanes == 0 ? parallel::Lanes::for_size(bytes) : parallel::Lanes{engine.lanes};
  {
    // Prepared copies live only until the marks are made.
    std::vector<std::string> copies(prepares(params) ? documents.size() + reference.size() : 0);
    std::vector<std::string_view> compared;
    compared.reserve(documents.size() + reference.size());
    for (const auto& group : {documents, reference}) {
      for (const std::string_view text : group) {
        compared.push_back(copies.empty() ? text : prepared(text, params, copies[compared.size()]));
        interrupt::checkpoint();
      }
    }
    doc_begin = word_tokens::document_positions(compared, lanes);
    const std::uint64_t positions = doc_begin.back();
    const std::uint64_t reference_begin = doc_begin[documents.size()];
    std::optional<std::vector<std::uint64_t>> by_hashes;
    if (!engine.suffix_array_only) {
      by_hashes = marks_by_hashes(compared, doc_begin, params.min_words, reference_begin, lanes,
                                  scratch, engine.hash_bits);
    }
    narrow = !by_hashes && word_tokens::fits_narrow(positions);
    if (by_hashes) {
      wide_marks = std::move(*by_hashes);
    } else {
      const TokenText tokens = word_tokens::tokenize(compared);
      if (narrow) {
        narrow_marks =
            marks_by_suffix_array<std::uint32_t>(tokens, params.min_words, reference_begin, lanes);
      } else {
        wide_marks =
            marks_by_suffix_array<std::uint64_t>(tokens, params.min_words, reference_begin, lanes);
      }
    }
  }
  return narrow ? cut_by_marks(documents, narrow_marks, doc_begin, params, lanes, scratch)
                : cut_by_marks(documents, wide_marks, doc_begin, params, lanes, scratch);
}

}  // namespace quarnel::core::dedup
