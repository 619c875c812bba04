#pragma once
// Positions of a UTF-8 text in every unit its callers count, both ways: UTF-8 bytes, characters
// (code points, as a Python str indexes them), UTF-16 units, lines and columns; and, for each
// document of a joined text, the way back from its prepared copy (ranges the caller removed,
// white space collapsed) to the document as given. Every table is one rank primitive: per 64
// positions, the count of marked positions before them and their bits.
// Cost: O(n) time, one pass over the text 64 bytes at a time; n/2 bytes (a 32-byte block per 64
// bytes: character starts and line feeds), n/4 more for a text with characters beyond the Basic
// Multilingual Plane, 8 bytes per line and 24 per document when lines are counted; no table for
// an ASCII text whose lines are not counted. A byte's characters, units, line and column are
// O(1), a block or two; a character's byte O(log n).

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/prefetch.hpp"
#include "text/normalize.hpp"

namespace quarnel::core::text_positions {

// The bits of a 64-position block that lie before position x.
[[nodiscard]] constexpr std::uint64_t bits_below(std::uint64_t x) {
  return (std::uint64_t{1} << (x & 63)) - 1;
}

// The rank primitive: `Planes` bit sequences over the same 64 positions, each with the count of
// its marks before them. Planes that are looked up together share a block: one cache miss.
template <std::size_t Planes>
struct RankBlock {
  std::array<std::uint64_t, Planes> before{};
  std::array<std::uint64_t, Planes> bits{};

  // Marks of `plane` before position x, x in this block (or at its end, as the next one's 0).
  [[nodiscard]] std::uint64_t rank(std::size_t plane, std::uint64_t x) const {
    return before[plane] + static_cast<std::uint64_t>(std::popcount(bits[plane] & bits_below(x)));
  }

  // Sets the counts before this block from `running`, the marks of the blocks before it, and
  // adds this block's marks to it.
  void count_from(std::array<std::uint64_t, Planes>& running) {
    for (std::size_t p = 0; p < Planes; ++p) {
      before[p] = running[p];
      running[p] += static_cast<std::uint64_t>(std::popcount(bits[p]));
    }
  }
};

// Marks of bit sequences over `size` positions, counted before any position in O(1).
// Cost: O(n / 64) time given the bits; 16 * Planes bytes per 64 positions.
template <std::size_t Planes>
class BlockRank {
 public:
  using Block = RankBlock<Planes>;

  BlockRank() = default;

  // `marks(b)` gives the planes' bits of positions 64b to 64b + 63, for each block b in order;
  // bits at or past `size` must be clear. One block more than the full ones, so that a rank at
  // `size` has a block to read.
  template <class Marks>
  BlockRank(std::uint64_t size, Marks marks) : blocks_((size >> 6) + 1) {
    std::array<std::uint64_t, Planes> running{};
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
      if ((std::uint64_t{b} << 6) < size) blocks_[b].bits = marks(b);
      blocks_[b].count_from(running);
    }
  }

  [[nodiscard]] bool empty() const { return blocks_.empty(); }
  [[nodiscard]] const Block& block(std::uint64_t x) const { return blocks_[x >> 6]; }

  // Marks of `plane` before position x, x at most the size.
  [[nodiscard]] std::uint64_t rank(std::size_t plane, std::uint64_t x) const {
    return block(x).rank(plane, x);
  }

  void prefetch(std::uint64_t x) const { prefetch_read(&blocks_[x >> 6]); }

  // The last marked position of `plane` at or before x, or 0 when there is none.
  [[nodiscard]] std::uint64_t last_at_or_before(std::size_t plane, std::uint64_t x) const {
    const std::uint64_t upto = bits_below(x) | (std::uint64_t{1} << (x & 63));
    for (std::uint64_t b = x >> 6;; --b) {
      const std::uint64_t bits = blocks_[b].bits[plane] & (b == x >> 6 ? upto : ~0ull);
      if (bits != 0) return (b << 6) + 63 - static_cast<std::uint64_t>(std::countl_zero(bits));
      if (b == 0) return 0;
    }
  }

  // The position of mark k of `plane` (from 0), or `size` when there are k marks or fewer.
  // O(log n): the last block with at most k marks before it holds mark k, if any block does.
  [[nodiscard]] std::uint64_t select(std::size_t plane, std::uint64_t k, std::uint64_t size) const {
    const auto after =
        std::upper_bound(blocks_.begin(), blocks_.end(), k,
                         [plane](std::uint64_t v, const Block& b) { return v < b.before[plane]; });
    const auto b = static_cast<std::uint64_t>(after - blocks_.begin()) - 1;  // before[] of 0 is 0
    std::uint64_t bits = blocks_[b].bits[plane];
    for (std::uint64_t skip = k - blocks_[b].before[plane]; skip > 0 && bits != 0; --skip) {
      bits &= bits - 1;
    }
    return bits == 0 ? size : (b << 6) + static_cast<std::uint64_t>(std::countr_zero(bits));
  }

 private:
  std::vector<Block> blocks_;
};

// The tokenizer's word starts of a text (word bytes not preceded by one), counted.
[[nodiscard]] BlockRank<1> word_starts(std::string_view text);

// The way from a prepared copy of a document back to the document as given: the delta tables of
// the ranges the caller removed and of the normalisation of what was left, each empty when its
// step removed nothing.
struct WayBack {
  std::vector<normalize::CumulativeDelta> removed;
  std::vector<normalize::CumulativeDelta> normalized;

  // Byte offset x of the prepared copy as a byte offset of the document.
  [[nodiscard]] std::uint64_t to_source(std::uint64_t x) const {
    if (!normalized.empty()) x = normalize::map_to_source(normalized, x);
    if (!removed.empty()) x = normalize::map_to_source(removed, x);
    return x;
  }

  // The bytes of the document that the prepared span [start, end) (not empty) stands for: from
  // its first byte to past its last, so that ranges removed after it stay outside.
  [[nodiscard]] std::pair<std::uint64_t, std::uint64_t> source_span(std::uint64_t start,
                                                                    std::uint64_t end) const {
    return {to_source(start), to_source(end - 1) + 1};
  }
};

// Appends document `doc` prepared for analysis to `out`: without the ranges `removed` gives in
// characters of it (clamped to it, and taken in any order, overlapping or reversed, as
// normalize::sanitize_ranges takes them), then lower-cased and white space collapsed when asked.
// Returns its way back.
// Cost: O(n) time; n bytes beside `out`, and the position table of the document when it has
// removed ranges.
[[nodiscard]] WayBack append_prepared(std::string_view doc,
                                      std::span<const normalize::RemovedRange> removed,
                                      bool case_insensitive, bool collapse_whitespace,
                                      std::string& out);

// A document of a joined text: bytes [start, end).
struct Span {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};

enum class Lines : bool { kUncounted, kCounted };

// A character's place in its document: characters of the document before it, and its line and
// column (from 1; lines split at line feeds, a carriage return is a character of its line).
struct Place {
  std::uint64_t chars = 0;
  std::uint64_t line = 0;
  std::uint64_t column = 0;
  friend bool operator==(const Place&, const Place&) = default;
};

// The one map between positions of a text, and of its documents' prepared copies.
class TextPositions {
 public:
  // Over `text`, with `documents` (the whole text when none are given) and, when `ways_back` is
  // not empty, one way back per document (borrowed: they must outlive the map). Without counted
  // lines, only bytes, characters and UTF-16 units are answered.
  TextPositions(std::string_view text, Lines lines, std::span<const Span> documents = {},
                std::span<const WayBack> ways_back = {});

  [[nodiscard]] std::uint64_t size() const { return size_; }

  // Characters that start before byte x, x at most the size.
  [[nodiscard]] std::uint64_t chars(std::uint64_t x) const {
    return identity() ? x : blocks_.rank(kChars, x);
  }

  // UTF-16 units of the characters that start before byte x; offsets past the text pass through.
  [[nodiscard]] std::uint64_t utf16(std::uint64_t x) const {
    if (x > size_ || identity()) return x;
    return blocks_.rank(kChars, x) + (astral_.empty() ? 0 : astral_.rank(0, x));
  }

  // The first byte of character k, or the size for k at or past the last character.
  [[nodiscard]] std::uint64_t byte_of_char(std::uint64_t k) const {
    return identity() ? std::min(k, size_) : blocks_.select(kChars, k, size_);
  }

  // The first byte of the character that holds byte x, x below the size.
  [[nodiscard]] std::uint64_t char_start(std::uint64_t x) const {
    return identity() ? x : blocks_.last_at_or_before(kChars, x);
  }

  // Requests the tables a lookup of byte x reads.
  void prefetch(std::uint64_t x) const {
    if (identity() || x >= size_) return;
    blocks_.prefetch(x);
    if (!astral_.empty()) astral_.prefetch(x);
  }

  // Documents, and what the ways back give. Offsets of a prepared copy are document-relative.
  [[nodiscard]] std::size_t documents() const { return documents_.size(); }
  [[nodiscard]] const Span& document(std::size_t d) const { return documents_[d]; }
  [[nodiscard]] std::uint64_t source_byte(std::size_t d, std::uint64_t x) const {
    return documents_[d].start + (ways_back_.empty() ? x : ways_back_[d].to_source(x));
  }
  // WayBack::source_span as bytes of the text.
  [[nodiscard]] std::pair<std::uint64_t, std::uint64_t> source_span(std::size_t d,
                                                                    std::uint64_t start,
                                                                    std::uint64_t end) const {
    const std::uint64_t base = documents_[d].start;
    if (ways_back_.empty()) return {base + start, base + end};
    const auto [from, to] = ways_back_[d].source_span(start, end);
    return {base + from, base + to};
  }

  // With counted lines: a document's characters, and the places of a prepared span's first and
  // last characters in its document.
  [[nodiscard]] std::uint64_t document_chars(std::size_t d) const {
    return chars(documents_[d].end) - bases_[d].chars;
  }
  [[nodiscard]] std::pair<Place, Place> places(std::size_t d, std::uint64_t start,
                                               std::uint64_t end) const {
    const auto [from, to] = source_span(d, start, end);
    return {place(from, bases_[d]), place(char_start(to - 1), bases_[d])};
  }

  // Ahead of places(d, x, ...): the prepared offset stands for the document's, exact unless the
  // document was prepared and near enough to fetch the right tables most of the time when it was.
  void prefetch_place(std::size_t d, std::uint64_t x) const { blocks_.prefetch(near(d, x)); }
  // The first character of its line, once its block is at hand.
  void prefetch_line(std::size_t d, std::uint64_t x) const {
    prefetch_read(&line_chars_[feeds(near(d, x))]);
  }

 private:
  static constexpr std::size_t kChars = 0;
  static constexpr std::size_t kFeeds = 1;

  // Where a document starts: the characters and line feeds before it.
  struct Base {
    std::uint64_t chars = 0;
    std::uint64_t feeds = 0;
  };

  [[nodiscard]] bool identity() const { return blocks_.empty(); }
  [[nodiscard]] std::uint64_t feeds(std::uint64_t x) const { return blocks_.rank(kFeeds, x); }
  [[nodiscard]] std::uint64_t near(std::size_t d, std::uint64_t x) const {
    return documents_[d].start + x;  // a prepared copy is never longer than its document
  }
  // Of the character at byte x (a character start) of the document whose base is `doc`.
  [[nodiscard]] Place place(std::uint64_t x, const Base& doc) const {
    const std::uint64_t at = chars(x);
    const std::uint64_t feeds_before = feeds(x);
    const std::uint64_t line_start =
        feeds_before > doc.feeds ? line_chars_[feeds_before] : doc.chars;
    return {at - doc.chars, feeds_before - doc.feeds + 1, at - line_start + 1};
  }

  std::uint64_t size_ = 0;
  BlockRank<2> blocks_;  // character starts and line feeds; empty when bytes are characters
  BlockRank<1> astral_;  // lead bytes of characters beyond the BMP, when the text has any
  std::vector<std::uint64_t> line_chars_;  // [f]: the first character after the f-th line feed
  std::vector<Span> documents_;
  std::vector<Base> bases_;  // with counted lines
  std::span<const WayBack> ways_back_;
};

}  // namespace quarnel::core::text_positions
