#pragma once
// Cleaning a corpus: every window of min_words words (with the text between them) that occurs
// again later in corpus order is removed at its later places, the first copy kept; with a
// reference set, every window that also occurs in the reference is removed at all its places.
// A word is removed when it lies in a removed window. Removed words form spans that run from the
// first character of their first word to the first character of the next word after them (or
// the document end; a span that reaches the end also takes the white space before it).
//
// Two engines decide which windows go, and one kernel (`cut`) cuts the spans from their marks,
// so that their outputs agree byte for byte:
// - `clean`, exact: window hashes, every pair of windows taken as equal checked word by word,
//   and the suffix array of the corpus's word tokens where two different windows share a hash
//   (dedup/marks.hpp);
// - `window_fingerprints` for engines that bring equal windows together elsewhere (a
//   distributed shuffle): a 122-bit fingerprint per window, equal for equal windows.
//
// A span's reason and kept copy are those of the window it begins with. A new span begins where
// a window begins whose reason differs (a reference window inside a repeat span, a repeat window
// past the last reference window of a reference span) or whose first copy does not continue the
// span's (another document, or not the next word of the same copy).

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quarnel::core::dedup {

struct Params {
  std::uint64_t min_words = 50;
  bool ignore_case = false;          // ASCII letters compared lower-cased
  bool collapse_whitespace = false;  // runs of white space compared as one space
  std::uint64_t drop_below = 0;      // documents left with fewer kept words are dropped
};

enum class Why : std::uint8_t { kRepeat = 0, kReference = 1 };

inline constexpr std::uint64_t kNoCopy = std::numeric_limits<std::uint64_t>::max();

// Removed windows, one row each, ascending by (document, word): the window of document
// `document` that begins at its word `word`. A repeat names its first copy: document, word and
// the character offset of that word (kNoCopy for a reference window).
struct MarkColumns {
  std::span<const std::uint64_t> document;
  std::span<const std::uint64_t> word;
  std::span<const std::uint8_t> why;
  std::span<const std::uint64_t> kept_document;
  std::span<const std::uint64_t> kept_word;
  std::span<const std::uint64_t> kept_start;
};

// The cleaned documents and what was cut. Offsets count characters (code points) of the
// document as given. A dropped document's text is empty; its spans are still listed.
struct Cleaned {
  std::string texts;  // document d's: [text_ends[d - 1] (0 for d = 0), text_ends[d])
  std::vector<std::uint64_t> text_ends;
  std::vector<std::uint64_t> words;          // per document
  std::vector<std::uint64_t> removed_words;  // per document
  std::vector<std::uint8_t> dropped;         // per document, 0 or 1
  // One row per span, ascending by (document, start).
  std::vector<std::uint64_t> span_document;
  std::vector<std::uint64_t> span_start;
  std::vector<std::uint64_t> span_end;
  std::vector<std::uint8_t> span_why;
  std::vector<std::uint64_t> span_kept_document;  // kNoCopy for reference spans
  std::vector<std::uint64_t> span_kept_start;

  [[nodiscard]] std::string_view text(std::size_t d) const {
    const std::uint64_t from = d == 0 ? 0 : text_ends[d - 1];
    return std::string_view(texts).substr(from, text_ends[d] - from);
  }
};

// The exact engine over the documents (valid UTF-8 each) and the reference documents.
// Time: expected linear in the corpus and the reference (linear with the suffix array); memory:
// about 18 bytes per word (word starts, hashes and filter; the hashes become the marks, the
// starts the cut's offsets) and 16-32 per repeated window (the table of hashes seen) beside the
// texts and the result. Throws UsageError for min_words == 0 (and, should the suffix array be
// needed, the token limits of one call).
[[nodiscard]] Cleaned clean(std::span<const std::string_view> documents,
                            std::span<const std::string_view> reference, const Params& params);

// The spans of documents whose removed windows are `marks` (document indices relative to
// `documents`); the result names document first_document + d for documents[d], as a partition
// of a larger corpus does; the marks in any order (sorted here unless they ascend by (document,
// word)). Time linear in the documents and the marks, but for sorting the marks of each
// document. Throws UsageError for a window marked twice or beyond its document's windows.
[[nodiscard]] Cleaned cut(std::span<const std::string_view> documents, const MarkColumns& marks,
                          const Params& params, std::uint64_t first_document);

namespace detail {
// How `clean` finds equal windows: tests take the suffix array alone, or hashes of `hash_bits`
// bits so that different windows share them and the suffix array takes over, and set the lanes
// (0: two for a large corpus where the process may use a second thread).
struct Engine {
  bool suffix_array_only = false;
  unsigned hash_bits = 61;
  unsigned lanes = 0;
};
[[nodiscard]] Cleaned clean(std::span<const std::string_view> documents,
                            std::span<const std::string_view> reference, const Params& params,
                            const Engine& engine);
}  // namespace detail

// One row per window of the documents (those of min_words words or more), ascending by
// (document, word): its fingerprint, and the character offset of its first word. Equal windows
// (after the preparation `params` asks for) have equal fingerprints; two different windows agree
// with probability about (min_words / (2^61 - 1))^2, 2^-110 at min_words = 50 (two polynomial
// hashes over 61-bit token hashes, each modulo 2^61 - 1). Time linear in the documents.
struct Fingerprints {
  std::vector<std::uint64_t> high;  // each half below 2^61
  std::vector<std::uint64_t> low;
  std::vector<std::uint64_t> document;
  std::vector<std::uint64_t> word;
  std::vector<std::uint64_t> start;
};
[[nodiscard]] Fingerprints window_fingerprints(std::span<const std::string_view> documents,
                                               const Params& params);

// Window records gathered by fingerprint (every record of a fingerprint among them): record r is
// the window (high[r], low[r]) at place (document[r], word[r]) of the corpus, or of the
// reference where reference[r] is 1. Each corpus record that is marked, with the record that
// decides it: the fingerprint's first corpus place in (document, word) order, or kNoCopy when the
// fingerprint occurs in the reference, in record order. Time linear in the records (a hash
// table of the fingerprints), 49 to 81 bytes per record.
struct Decided {
  std::vector<std::uint64_t> marked;
  std::vector<std::uint64_t> kept;
};
[[nodiscard]] Decided decide(std::span<const std::uint64_t> high,
                             std::span<const std::uint64_t> low,
                             std::span<const std::uint64_t> document,
                             std::span<const std::uint32_t> word,
                             std::span<const std::uint8_t> reference);

// A sketch of fingerprints: one bit per slot (the low `bits` bits of a fingerprint's high half),
// set in `seen` for every fingerprint and in `repeated` for the slots two or more share; slot s
// is bit s % 8 of byte s / 8. A fingerprint alone in its slot occurs once. `parts` hold the low
// 32 bits of the high halves, a part per partition. Time linear in the fingerprints,
// 2^(bits - 1) bytes; bits from 3 to 32 (else UsageError).
struct Sketch {
  std::vector<std::uint8_t> seen;
  std::vector<std::uint8_t> repeated;
};
[[nodiscard]] Sketch sketch(std::span<const std::span<const std::uint32_t>> parts, unsigned bits);

// Per fingerprint, 1 where its slot is set in `slots` (2^bits / 8 bytes, as a sketch's arrays).
[[nodiscard]] std::vector<std::uint8_t> in_slots(std::span<const std::uint64_t> high,
                                                 std::span<const std::uint8_t> slots,
                                                 unsigned bits);

}  // namespace quarnel::core::dedup
