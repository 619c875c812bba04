#pragma once
// What both engines and the cut read of a document: its words (the tokenizer's: runs of ASCII
// letters and digits and non-ASCII bytes) and its prepared form.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/interrupt.hpp"
#include "dedup/dedup.hpp"
#include "dedup/modular.hpp"
#include "text/normalize.hpp"
#include "text/tokenizer.hpp"

namespace quarnel::core::dedup::detail {

// Byte offsets of the first byte of every word and one past its last, ascending.
struct WordBounds {
  std::vector<std::uint64_t> starts;
  std::vector<std::uint64_t> ends;

  void of(std::string_view text) {
    starts.clear();
    ends.clear();
    tokenizer::visit_word_bounds(
        text, [&](std::size_t i) { starts.push_back(i); },
        [&](std::size_t i) { ends.push_back(i); });
  }
  [[nodiscard]] std::size_t size() const { return starts.size(); }
};

// Per word of `text` (bounds `words`), the hash under each seed of its token: the word and the
// gap after it, up to the next word or the text's end; out[h] for seeds[h].
template <std::size_t N>
void token_hashes_each(std::string_view text, const WordBounds& words,
                       const std::array<std::uint64_t, N>& seeds,
                       std::array<std::vector<std::uint64_t>, N>& out) {
  const std::size_t n = words.size();
  for (auto& column : out) column.resize(n);
  for (std::size_t w = 0; w < n; ++w) {
    interrupt::checkpoint_every(w);  // one document may hold the whole corpus
    const std::uint64_t to = w + 1 < n ? words.starts[w + 1] : text.size();
    const auto hashes =
        modular::hash_bytes_each<N>(text.substr(words.starts[w], to - words.starts[w]), seeds);
    for (std::size_t h = 0; h < N; ++h) out[h][w] = hashes[h];
  }
}

// The hashes under each seed of word w of `text` (bounds `words`) alone.
template <std::size_t N>
std::array<std::uint64_t, N> word_hash_each(std::string_view text, const WordBounds& words,
                                            std::size_t w,
                                            const std::array<std::uint64_t, N>& seeds) {
  return modular::hash_bytes_each<N>(text.substr(words.starts[w], words.ends[w] - words.starts[w]),
                                     seeds);
}
inline std::uint64_t word_hash(std::string_view text, const WordBounds& words, std::size_t w,
                               std::uint64_t seed) {
  return word_hash_each<1>(text, words, w, {seed})[0];
}

// Preparation changes neither the words' number nor their places relative to one another:
// lower-casing keeps every byte's class and collapsing only shortens gaps. So words are found on
// the document as given, and only the comparison of windows reads the prepared form.
[[nodiscard]] inline bool prepares(const Params& params) {
  return params.ignore_case || params.collapse_whitespace;
}

// The document as windows are compared: `kept` holds it when it differs from `text`.
[[nodiscard]] inline std::string_view prepared(std::string_view text, const Params& params,
                                               std::string& kept) {
  if (!prepares(params)) return text;
  kept = normalize::normalize_text(text, params.ignore_case, params.collapse_whitespace).text;
  return kept;
}

// Character offsets of ascending byte offsets of a UTF-8 text, in place, in one pass.
template <class Offsets>
void bytes_to_chars(std::string_view text, Offsets& offsets) {
  std::uint64_t byte = 0;
  std::uint64_t chars = 0;
  for (auto& offset : offsets) {
    for (; byte < offset; ++byte) {
      chars += (static_cast<unsigned char>(text[byte]) & 0xC0) == 0x80 ? 0 : 1;
    }
    offset = chars;
  }
}

// The spans of one document whose words are `words` (its marks are rows [begin, end), ascending
// by word), appended to `out` as document `document`.
void cut_document(std::string_view text, const MarkColumns& marks, std::size_t begin,
                  std::size_t end, const Params& params, std::uint64_t document,
                  const WordBounds& words, Cleaned& out);

}  // namespace quarnel::core::dedup::detail
