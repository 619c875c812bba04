#include "corpus.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>
#include <optional>
#include <utility>

#include "base/interrupt.hpp"
#include "base/large_array.hpp"
#include "base/parallel.hpp"
#include "base/prefetch.hpp"
#include "base/radix_sort.hpp"
#include "base/swar.hpp"
#include "duplicate_finder/finder.hpp"
#include "text/tokenizer.hpp"
#include "text/utf.hpp"
#include "text/white_space.hpp"

namespace quarnel::core::corpus {
namespace {

using duplicate_finder::DocumentLayout;
using duplicate_finder::kDocumentSeparator;
using normalize::CumulativeDelta;

// The analysis text of every document, joined like the source, and the way back from each.
struct PreparedCorpus {
  std::string owned;  // empty when the source is analysed as it is
  std::string_view text;
  std::vector<std::uint64_t> starts;
  std::vector<std::uint64_t> ends;
  std::vector<std::vector<CumulativeDelta>> normalized;  // per document, when prepared
  std::vector<std::vector<CumulativeDelta>> removed;     // per document, when it has removals

  [[nodiscard]] std::size_t documents() const { return starts.size(); }
  [[nodiscard]] DocumentLayout layout() const { return {starts, ends}; }
  [[nodiscard]] std::string_view document(std::size_t d) const {
    return text.substr(starts[d], ends[d] - starts[d]);
  }

  // A byte offset of document d's analysis text as an offset of the document as given.
  [[nodiscard]] std::uint64_t to_source(std::size_t d, std::uint64_t x) const {
    if (!normalized.empty() && !normalized[d].empty())
      x = normalize::map_to_source(normalized[d], x);
    if (!removed.empty() && !removed[d].empty()) x = normalize::map_to_source(removed[d], x);
    return x;
  }
};

// The document without its removed ranges (clamped to it), and their delta table.
std::string without_ranges(std::string_view doc, std::span<const normalize::RemovedRange> ranges,
                           std::vector<CumulativeDelta>& deltas) {
  std::vector<normalize::RemovedRange> clamped(ranges.begin(), ranges.end());
  for (auto& r : clamped) {
    r.start = std::min<std::uint64_t>(r.start, doc.size());
    r.end = std::min<std::uint64_t>(r.end, doc.size());
  }
  const auto canonical = normalize::sanitize_ranges(clamped);
  deltas = normalize::build_cumulative_deltas(canonical);
  std::string kept;
  kept.reserve(doc.size());
  std::uint64_t from = 0;
  for (const auto& r : canonical) {
    kept.append(doc.substr(from, r.start - from));
    from = std::max(from, r.end);
  }
  kept.append(doc.substr(from));
  return kept;
}

PreparedCorpus prepare(const SourceCorpus& source, const Preparation& preparation) {
  PreparedCorpus prepared;
  const std::size_t n = source.starts.size();
  const bool normalizes = preparation.case_insensitive || preparation.collapse_whitespace;
  const bool removes = std::any_of(source.removed.begin(), source.removed.end(),
                                   [](const auto& ranges) { return !ranges.empty(); });
  if (!normalizes && !removes) {
    prepared.text = source.text;
    prepared.starts.assign(source.starts.begin(), source.starts.end());
    prepared.ends.assign(source.ends.begin(), source.ends.end());
    return prepared;
  }
  prepared.owned.reserve(source.text.size());
  if (normalizes) prepared.normalized.resize(n);
  if (removes) prepared.removed.resize(n);
  for (std::size_t d = 0; d < n; ++d) {
    std::string_view doc = source.text.substr(source.starts[d], source.ends[d] - source.starts[d]);
    std::string kept;
    if (removes && !source.removed[d].empty()) {
      kept = without_ranges(doc, source.removed[d], prepared.removed[d]);
      doc = kept;
    }
    normalize::NormalizedText normal;
    if (normalizes) {
      normal = normalize::normalize_text(doc, preparation.case_insensitive,
                                         preparation.collapse_whitespace);
      prepared.normalized[d] = std::move(normal.deltas);
      doc = normal.text;
    }
    if (d > 0) prepared.owned.append(kDocumentSeparator);
    prepared.starts.push_back(prepared.owned.size());
    prepared.owned.append(doc);
    prepared.ends.push_back(prepared.owned.size());
    interrupt::checkpoint();
  }
  prepared.text = prepared.owned;
  return prepared;
}

// Bit i set where byte from + i of the text (up to 64 of them) is flagged by `flags`, a test of
// eight bytes at a time that sets bit 7 of each flagged byte (as the swar tests do).
template <class Flags>
std::uint64_t block_mask(std::string_view text, std::uint64_t from, Flags flags) {
  const std::size_t length = std::min<std::uint64_t>(64, text.size() - from);
  std::uint64_t mask = 0;
  if constexpr (std::endian::native == std::endian::little) {
    char padded[64] = {};
    const char* bytes = text.data() + from;
    if (length < 64) bytes = static_cast<const char*>(std::memcpy(padded, bytes, length));
    for (unsigned k = 0; k < 8; ++k) {
      mask |= swar::gather_high_bits(flags(swar::load8(bytes + 8 * k))) << (8 * k);
    }
  } else {
    for (std::size_t i = 0; i < length; ++i) {
      const auto byte = static_cast<unsigned char>(text[from + i]);
      mask |= ((flags(swar::kLowBits * byte) >> 7) & 1) << i;
    }
  }
  return length < 64 ? mask & ((std::uint64_t{1} << length) - 1) : mask;
}

// The eight-byte tests agree with the byte tests they stand for, for every byte in every lane.
constexpr bool byte_tests_agree() {
  for (unsigned byte = 0; byte < 0x100; ++byte) {
    const std::uint64_t lanes = swar::kLowBits * byte;
    const auto all = [](bool set) { return set ? swar::kHighBits : 0; };
    const auto b = static_cast<unsigned char>(byte);
    if (swar::word_bytes(lanes) != all(tokenizer::is_word_byte(b)) ||
        swar::continuation_bytes(lanes) != all(utf::is_continuation_byte(b)) ||
        swar::equal_to(lanes, '\n') != all(b == '\n')) {
      return false;
    }
  }
  return true;
}
static_assert(byte_tests_agree());

// The bits of a 64-position block for the positions before x, and how many of `bits` they hold.
std::uint64_t below(std::uint64_t x) {
  return (std::uint64_t{1} << (x & 63)) - 1;
}
std::uint64_t ones_below(std::uint64_t bits, std::uint64_t x) {
  return static_cast<std::uint64_t>(std::popcount(bits & below(x)));
}

// Counts the positions of a text that are marked, before any offset, in O(1): one bit per
// position and a running count per 64 positions (2 bits per text byte).
class PositionCount {
 public:
  // `marks(b)` gives the marks of positions 64b to 64b + 63, for each block b in order.
  template <class Marks>
  PositionCount(std::size_t size, Marks marks) : blocks_((size >> 6) + 1) {
    std::uint64_t count = 0;
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
      blocks_[b].before = count;
      blocks_[b].bits = (std::uint64_t{b} << 6) < size ? marks(b) : 0;
      count += static_cast<std::uint64_t>(std::popcount(blocks_[b].bits));
    }
  }

  [[nodiscard]] std::uint64_t operator()(std::uint64_t x) const {
    const Block& block = blocks_[x >> 6];
    return block.before + ones_below(block.bits, x);
  }

  void prefetch(std::uint64_t x) const { prefetch_read(&blocks_[x >> 6]); }

 private:
  struct Block {
    std::uint64_t before = 0;
    std::uint64_t bits = 0;
  };
  std::vector<Block> blocks_;
};

// The word starts of a text: word bytes not preceded by one.
PositionCount word_starts(std::string_view text) {
  std::uint64_t previous = 0;  // the last byte of the block before, as bit 0
  return PositionCount(text.size(), [&](std::size_t b) {
    const std::uint64_t word = block_mask(text, std::uint64_t{b} << 6, swar::word_bytes);
    const std::uint64_t starts = word & ~((word << 1) | previous);
    previous = word >> 63;
    return starts;
  });
}

// Loops over the occurrences look up scattered positions: the tables for row k + kFarAhead are
// fetched first, then what those tables point to for row k + kNearAhead, so that row k finds
// both in the cache.
constexpr std::size_t kFarAhead = 16;
constexpr std::size_t kNearAhead = 8;

// Character, line and column of byte offsets of the caller's documents. The counts of characters
// and of line feeds before each 64 bytes share one block, and each line's first character is
// kept by number: occurrences come in group order, scattered over the text, and each lookup is
// then a cache miss or two rather than one per table.
class SourcePositions {
 public:
  explicit SourcePositions(std::string_view text) : blocks_((text.size() >> 6) + 1) {
    std::uint64_t chars = 0;
    std::uint64_t feeds = 0;
    line_chars_.push_back(0);  // unused: a line after no feed starts its document
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
      Block& block = blocks_[b];
      block.chars_before = chars;
      block.feeds_before = feeds;
      const std::uint64_t from = std::uint64_t{b} << 6;
      if (from < text.size()) {
        block.char_bits = block_mask(text, from, [](std::uint64_t w) {
          return ~swar::continuation_bytes(w) & swar::kHighBits;
        });
        block.feed_bits =
            block_mask(text, from, [](std::uint64_t w) { return swar::equal_to(w, '\n'); });
      }
      // The next line's first character follows its feed, itself a character.
      for (std::uint64_t f = block.feed_bits; f != 0; f &= f - 1) {
        line_chars_.push_back(chars + ones_below(block.char_bits, std::countr_zero(f)) + 1);
      }
      chars += static_cast<std::uint64_t>(std::popcount(block.char_bits));
      feeds += static_cast<std::uint64_t>(std::popcount(block.feed_bits));
    }
  }

  [[nodiscard]] std::uint64_t chars(std::uint64_t x) const {
    const Block& block = blocks_[x >> 6];
    return block.chars_before + ones_below(block.char_bits, x);
  }

  // Where a document starts, in bytes, characters and line feeds before it.
  struct Base {
    std::uint64_t byte;
    std::uint64_t chars;
    std::uint64_t feeds;
  };
  [[nodiscard]] Base base(std::uint64_t doc_start) const {
    return {doc_start, chars(doc_start), feeds(doc_start)};
  }

  struct Place {
    std::uint64_t chars;  // characters of the document before it
    std::uint64_t line;
    std::uint64_t column;
  };
  // Of the character at byte x (a character start) of the document at `doc`.
  [[nodiscard]] Place place(std::uint64_t x, const Base& doc) const {
    const std::uint64_t at = chars(x);
    const std::uint64_t feeds_before = feeds(x);
    const std::uint64_t line_start =
        feeds_before > doc.feeds ? line_chars_[feeds_before] : doc.chars;
    return {at - doc.chars, feeds_before - doc.feeds + 1, at - line_start + 1};
  }

  void prefetch(std::uint64_t x) const { prefetch_read(&blocks_[x >> 6]); }
  // The first character of x's line, once x's block is at hand.
  void prefetch_line(std::uint64_t x) const { prefetch_read(&line_chars_[feeds(x)]); }

  // The first byte of the character that holds byte x.
  [[nodiscard]] std::uint64_t char_start(std::uint64_t x) const {
    for (std::uint64_t b = x >> 6;; --b) {
      const std::uint64_t upto =
          (b == x >> 6) ? (below(x) | (std::uint64_t{1} << (x & 63))) : ~0ull;
      const std::uint64_t bits = blocks_[b].char_bits & upto;
      if (bits != 0) return (b << 6) + 63 - static_cast<std::uint64_t>(std::countl_zero(bits));
      if (b == 0) return 0;
    }
  }

 private:
  struct Block {
    std::uint64_t chars_before = 0;
    std::uint64_t feeds_before = 0;
    std::uint64_t char_bits = 0;
    std::uint64_t feed_bits = 0;
  };

  [[nodiscard]] std::uint64_t feeds(std::uint64_t x) const {
    const Block& block = blocks_[x >> 6];
    return block.feeds_before + ones_below(block.feed_bits, x);
  }

  std::vector<Block> blocks_;
  std::vector<std::uint64_t> line_chars_;  // [f]: the first character after the f-th line feed
};

// Words of each document, and of those the ones inside some occurrence: each occurrence adds one
// over its words in a difference array over all words, so overlaps need no sort.
void count_words(const PreparedCorpus& prepared, const passages::Passages& placed, Matches& out) {
  const PositionCount words = word_starts(prepared.text);
  const std::size_t n = prepared.documents();
  out.document_words.resize(n);
  out.covered_words.assign(n, 0);
  for (std::size_t d = 0; d < n; ++d) {
    out.document_words[d] = words(prepared.ends[d]) - words(prepared.starts[d]);
  }
  std::vector<std::int32_t> cover(words(prepared.text.size()) + 1, 0);
  const auto at = [&](std::size_t k, const std::vector<std::uint64_t>& offsets) {
    return prepared.starts[placed.document[k]] + offsets[k];
  };
  const std::size_t rows = placed.start.size();
  for (std::size_t k = 0; k < rows; ++k) {
    if (k + kFarAhead < rows) {
      words.prefetch(at(k + kFarAhead, placed.start));
      words.prefetch(at(k + kFarAhead, placed.end));
    }
    if (k + kNearAhead < rows) {
      prefetch_read(&cover[words(at(k + kNearAhead, placed.start))]);
      prefetch_read(&cover[words(at(k + kNearAhead, placed.end))]);
    }
    ++cover[words(at(k, placed.start))];
    --cover[words(at(k, placed.end))];
  }
  std::int64_t depth = 0;
  std::size_t d = 0;
  for (std::size_t w = 0; w + 1 < cover.size(); ++w) {
    depth += cover[w];
    if (depth == 0) continue;
    while (words(prepared.ends[d]) <= w) ++d;
    ++out.covered_words[d];
  }
}

// Occurrences as documents and offsets of each, grouped, and the groups' texts.
struct PlacedGroups {
  passages::Passages placed;
  std::string texts;  // end to end, as Matches holds them
  std::vector<std::uint64_t> text_ends;

  void add_text(std::string_view text) {
    texts.append(text);
    text_ends.push_back(texts.size());
  }
};

// A line or column too wide for its compact column's narrow entries, set once the rows are done.
struct WideValue {
  CompactColumn* column;
  std::size_t row;
  std::uint64_t value;
};

// Rows [begin, end) located in the documents as given: their starts and ends become character
// offsets where they are, so that a large result is not held twice, and their lines and columns
// go to `out`. Returns the values its columns could not take at once.
std::vector<WideValue> locate_rows(const SourcePositions& positions, const PreparedCorpus& prepared,
                                   std::span<const SourcePositions::Base> bases,
                                   passages::Passages& placed, Matches& out, std::size_t begin,
                                   std::size_t end) {
  std::vector<WideValue> wide;
  const auto set = [&](CompactColumn& column, std::size_t row, std::uint64_t value) {
    if (!column.set_narrow(row, value)) wide.push_back({&column, row, value});
  };
  // Ahead, the analysis offsets stand for the source ones: exact unless the corpus is prepared,
  // and near enough to fetch the right tables most of the time when it is.
  const auto ahead = [&](std::size_t k, const std::vector<std::uint64_t>& offsets) {
    return bases[placed.document[k]].byte + offsets[k];
  };
  for (std::size_t k = begin; k < end; ++k) {
    if (k + kFarAhead < end) {
      positions.prefetch(ahead(k + kFarAhead, placed.start));
      positions.prefetch(ahead(k + kFarAhead, placed.end));
    }
    if (k + kNearAhead < end) {
      positions.prefetch_line(ahead(k + kNearAhead, placed.start));
      positions.prefetch_line(ahead(k + kNearAhead, placed.end));
    }
    const std::uint32_t d = placed.document[k];
    const SourcePositions::Base& base = bases[d];
    const std::uint64_t from = base.byte + prepared.to_source(d, placed.start[k]);
    // The end follows the last byte, so that ranges removed after it stay outside.
    const std::uint64_t to = base.byte + prepared.to_source(d, placed.end[k] - 1) + 1;
    const auto first_at = positions.place(from, base);
    const auto last_at = positions.place(positions.char_start(to - 1), base);
    placed.start[k] = first_at.chars;
    placed.end[k] = last_at.chars + 1;
    set(out.line, k, first_at.line);
    set(out.column, k, first_at.column);
    set(out.end_line, k, last_at.line);
    set(out.end_column, k, last_at.column);
  }
  return wide;
}

// Occurrences placed in analysis-text bytes of each document, located in the documents as given;
// on two lanes, the words are counted beside the source's tables and the rows located in halves.
Matches located(const SourceCorpus& source, const PreparedCorpus& prepared, PlacedGroups groups,
                parallel::Lanes lanes) {
  passages::Passages& placed = groups.placed;
  Matches out;
  parallel::SideTask counting(lanes, [&] { count_words(prepared, placed, out); });
  const SourcePositions positions(source.text);
  counting.get();
  interrupt::checkpoint();
  const std::size_t rows = placed.start.size();
  for (auto* column : {&out.line, &out.column, &out.end_line, &out.end_column}) {
    column->resize(rows);
  }
  std::vector<SourcePositions::Base> bases;
  bases.reserve(source.starts.size());
  for (const std::uint64_t start : source.starts) bases.push_back(positions.base(start));
  const auto rows_from = [&](std::size_t begin, std::size_t end) {
    return locate_rows(positions, prepared, bases, placed, out, begin, end);
  };
  auto [wide, later_wide] = parallel::both(
      lanes, [&] { return rows_from(0, rows / 2); }, [&] { return rows_from(rows / 2, rows); });
  wide.insert(wide.end(), later_wide.begin(), later_wide.end());
  for (const auto& [column, row, value] : wide) column->set(row, value);
  interrupt::checkpoint();
  out.document = std::move(placed.document);
  out.start = std::move(placed.start);
  out.end = std::move(placed.end);
  out.document_chars.resize(prepared.documents());
  for (std::size_t d = 0; d < prepared.documents(); ++d) {
    out.document_chars[d] = positions.chars(source.ends[d]) - bases[d].chars;
  }
  out.texts = std::move(groups.texts);
  out.text_ends = std::move(groups.text_ends);
  out.chars.reserve(out.groups());
  for (std::size_t g = 0; g < out.groups(); ++g) {
    out.chars.push_back(utf::count_code_points(out.text(g)));
  }
  out.words = std::move(placed.words);
  out.first = std::move(placed.first);
  return out;
}

// Where the text from `start` reads as `phrase` with every run of white space taken as one, or
// nullopt when it does not (the gap of a merged phrase may differ between its occurrences).
std::optional<std::uint64_t> matched_end(std::string_view text, std::uint64_t start,
                                         std::string_view phrase) {
  if (text.substr(start, phrase.size()) == phrase) return start + phrase.size();
  const auto space_at = [](std::string_view s, std::size_t k) {
    return k < s.size() ? white_space::white_space_length_at(s, k) : 0;
  };
  // A word may begin with white space the tokenizer takes for a word byte (a no-break space);
  // the phrase has it trimmed.
  std::uint64_t i = start;
  for (std::size_t len; (len = space_at(text, i)) > 0;) i += len;
  std::size_t j = 0;
  while (j < phrase.size()) {
    if (space_at(phrase, j) == 0) {
      if (i >= text.size() || text[i] != phrase[j]) return std::nullopt;
      ++i;
      ++j;
      continue;
    }
    if (space_at(text, i) == 0) return std::nullopt;
    for (std::size_t len; (len = space_at(phrase, j)) > 0;) j += len;
    for (std::size_t len; (len = space_at(text, i)) > 0;) i += len;
  }
  return i;
}

// The records in the order of their characters, descending, stable: placing follows it, and the
// records are never moved (tens of millions of them, each with its blocks on the heap).
std::vector<std::uint64_t> by_characters(const std::vector<phrase_records::PhraseData>& records) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> order;  // (characters, record)
  order.reserve(records.size());
  std::uint64_t most = 0;
  for (std::size_t k = 0; k < records.size(); ++k) {
    if (k + kFarAhead < records.size()) prefetch_read(records[k + kFarAhead].phrase.data());
    order.emplace_back(utf::count_code_points(records[k].phrase), k);
    most = std::max(most, order.back().first);
  }
  radix_sort_by_position(order, [most](const auto& item) { return most - item.first; });
  std::vector<std::uint64_t> records_in_order;
  records_in_order.reserve(order.size());
  for (const auto& item : order) records_in_order.push_back(item.second);
  return records_in_order;
}

// Each record's phrase and offsets are blocks of their own on the heap, and its occurrences lie
// anywhere in the text: the record after next in `order` is fetched, and the first texts of the
// next one; none at or past `end`, where another thread may be emptying records.
void prefetch_ahead(const std::vector<phrase_records::PhraseData>& records,
                    const std::vector<std::uint64_t>& order, std::size_t r, std::size_t end,
                    std::string_view text) {
  if (r + 2 < end) {
    const phrase_records::PhraseData& later = records[order[r + 2]];
    prefetch_read(later.phrase.data());
    if (!later.starts.empty()) prefetch_read(later.starts.data());
    if (!later.ends.empty()) prefetch_read(later.ends.data());
  }
  if (r + 3 < end) prefetch_read(&records[order[r + 3]]);
  if (r + 1 < end) {
    const auto& starts = records[order[r + 1]].starts;
    for (std::size_t i = 0; i < std::min(starts.size(), kNearAhead); ++i) {
      prefetch_read(&text[starts[i]]);
    }
  }
}

// Where the records' rows and texts begin, in `order`, and how far they reach: the groups'
// `first` and `text_ends`, with the columns sized to them.
void size_groups(const std::vector<phrase_records::PhraseData>& records,
                 const std::vector<std::uint64_t>& order, PlacedGroups& groups) {
  passages::Passages& placed = groups.placed;
  placed.first.reserve(order.size() + 1);
  placed.first.push_back(0);
  groups.text_ends.reserve(order.size());
  std::uint64_t text_bytes = 0;
  for (const std::uint64_t k : order) {
    const phrase_records::PhraseData& record = records[k];
    placed.first.push_back(placed.first.back() +
                           std::min(record.starts.size(), record.ends.size()));
    text_bytes += record.phrase.size();
    groups.text_ends.push_back(text_bytes);
  }
  const std::uint64_t rows = placed.first.back();
  placed.document.resize(rows);
  placed.start.resize(rows);
  placed.end.resize(rows);
  placed.words.resize(order.size());
  groups.texts.resize(text_bytes);
}

// The records at [begin, end) of `order` placed into their rows and texts, and emptied.
void place_records(const PreparedCorpus& prepared, std::vector<phrase_records::PhraseData>& records,
                   const std::vector<std::uint64_t>& order, std::size_t begin, std::size_t end,
                   PlacedGroups& groups) {
  passages::Passages& placed = groups.placed;
  const duplicate_finder::DocumentEnds documents(prepared.layout(), prepared.text.size());
  for (std::size_t r = begin; r < end; ++r) {
    prefetch_ahead(records, order, r, end, prepared.text);
    phrase_records::PhraseData& record = records[order[r]];
    const std::size_t count = std::min(record.starts.size(), record.ends.size());
    const std::uint64_t row = placed.first[r];
    for (std::size_t i = 0; i < count; ++i) {
      if (i + kNearAhead < count) prefetch_read(&prepared.text[record.starts[i + kNearAhead]]);
      const std::uint64_t s = record.starts[i];
      const std::uint64_t e = matched_end(prepared.text, s, record.phrase).value_or(record.ends[i]);
      const std::size_t doc = documents.document_at(s);
      const std::uint64_t base = prepared.starts[doc];
      placed.document[row + i] = static_cast<std::uint32_t>(doc);
      placed.start[row + i] = s - base;
      placed.end[row + i] = std::min(e, prepared.ends[doc]) - base;
    }
    placed.words[r] = record.number_of_words;
    const std::uint64_t text_from = r == 0 ? 0 : groups.text_ends[r - 1];
    std::copy(record.phrase.begin(), record.phrase.end(), groups.texts.begin() + text_from);
    record = {};
  }
}

// The finder's records as occurrences of each document, in the finder's final order; on
// two lanes, in two halves of about as many rows. Records are emptied as they are placed, so that
// the two forms are not both held and the records' many small blocks are all free together.
PlacedGroups placed_phrases(const PreparedCorpus& prepared,
                            std::vector<phrase_records::PhraseData>& records,
                            parallel::Lanes lanes) {
  const std::vector<std::uint64_t> order = by_characters(records);
  PlacedGroups groups;
  size_groups(records, order, groups);
  const std::vector<std::uint64_t>& first = groups.placed.first;
  const auto mid = static_cast<std::size_t>(
      std::lower_bound(first.begin(), first.end() - 1, first.back() / 2) - first.begin());
  parallel::over_parts(lanes, order.size(), mid, [&](parallel::Part part) {
    const std::size_t begin = part.begin;
    const std::size_t end = part.end;
    place_records(prepared, records, order, begin, end, groups);
  });
  return groups;
}

}  // namespace

bool CompactColumn::set_narrow(std::size_t row, std::uint64_t value) {
  if (value >= kAside) return false;
  narrow_[row] = static_cast<std::uint32_t>(value);
  return true;
}

void CompactColumn::set(std::size_t row, std::uint64_t value) {
  if (set_narrow(row, value)) return;
  narrow_[row] = kAside;
  const auto at = std::lower_bound(aside_.begin(), aside_.end(), std::pair{row, std::uint64_t{0}});
  if (at != aside_.end() && at->first == row) {
    at->second = value;
  } else {
    aside_.insert(at, {row, value});
  }
}

std::uint64_t CompactColumn::operator[](std::size_t row) const {
  if (narrow_[row] != kAside) return narrow_[row];
  return std::lower_bound(aside_.begin(), aside_.end(), std::pair{row, std::uint64_t{0}})->second;
}

void CompactColumn::copy_to(std::span<std::uint64_t> out) const {
  std::copy(narrow_.begin(), narrow_.end(), out.begin());
  // A row set wide and then narrow keeps its stale entry aside.
  for (const auto& [row, value] : aside_) {
    if (narrow_[row] == kAside) out[row] = value;
  }
}

void CompactColumn::clear() {
  std::vector<std::uint32_t>().swap(narrow_);
  std::vector<std::pair<std::uint64_t, std::uint64_t>>().swap(aside_);
}

Matches find_phrases(const SourceCorpus& source, const Preparation& preparation,
                     const duplicate_finder::FinderParams& params) {
  return detail::find_phrases(source, preparation, params,
                              parallel::Lanes::for_size(source.text.size()));
}

Matches find_passages(const SourceCorpus& source, const Preparation& preparation,
                      const passages::PassageParams& params) {
  return detail::find_passages(source, preparation, params,
                               parallel::Lanes::for_size(source.text.size()));
}

namespace detail {

Matches find_phrases(const SourceCorpus& source, const Preparation& preparation,
                     const duplicate_finder::FinderParams& params, parallel::Lanes lanes) {
  const PreparedCorpus prepared = prepare(source, preparation);
  auto records = duplicate_finder::find_document_records(prepared.text, prepared.layout(), params);
  interrupt::checkpoint();
  PlacedGroups groups = placed_phrases(prepared, records, lanes);
  records = {};
  return_free_heap_pages();  // the records' blocks, before the columns are built
  return located(source, prepared, std::move(groups), lanes);
}

Matches find_passages(const SourceCorpus& source, const Preparation& preparation,
                      const passages::PassageParams& params, parallel::Lanes lanes) {
  const PreparedCorpus prepared = prepare(source, preparation);
  std::vector<std::string_view> documents;
  documents.reserve(prepared.documents());
  for (std::size_t d = 0; d < prepared.documents(); ++d) documents.push_back(prepared.document(d));
  passages::Passages placed = passages::find_passages(documents, params);
  interrupt::checkpoint();
  // A passage reads as its first occurrence in the document as given.
  PlacedGroups groups{std::move(placed), {}, {}};
  for (std::size_t g = 0; g + 1 < groups.placed.first.size(); ++g) {
    const std::size_t k = groups.placed.first[g];
    const std::uint32_t d = groups.placed.document[k];
    const std::uint64_t from = prepared.to_source(d, groups.placed.start[k]);
    const std::uint64_t to = prepared.to_source(d, groups.placed.end[k] - 1) + 1;
    groups.add_text(source.text.substr(source.starts[d] + from, to - from));
  }
  return located(source, prepared, std::move(groups), lanes);
}

}  // namespace detail

}  // namespace quarnel::core::corpus
