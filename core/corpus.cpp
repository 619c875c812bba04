#include "corpus.hpp"

#include <algorithm>
#include <bit>
#include <numeric>
#include <optional>
#include <utility>

#include "duplicate_finder.hpp"
#include "interrupt.hpp"
#include "large_array.hpp"
#include "radix_sort.hpp"
#include "tokenizer.hpp"
#include "utf.hpp"
#include "white_space.hpp"

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

// Counts the positions of a text that satisfy a test, before any offset, in O(1): one bit per
// position and a running count per 64 positions (2 bits per text byte).
class PositionCount {
 public:
  template <class Test>
  PositionCount(std::string_view text, Test test) : blocks_((text.size() >> 6) + 1) {
    std::uint64_t count = 0;
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
      blocks_[b].before = count;
      const std::uint64_t from = std::uint64_t{b} << 6;
      const std::uint64_t to = std::min<std::uint64_t>(from + 64, text.size());
      std::uint64_t bits = 0;
      for (std::uint64_t x = from; x < to; ++x) bits |= std::uint64_t{test(text, x)} << (x - from);
      blocks_[b].bits = bits;
      count += static_cast<std::uint64_t>(std::popcount(bits));
    }
  }

  [[nodiscard]] std::uint64_t operator()(std::uint64_t x) const {
    const Block& block = blocks_[x >> 6];
    const std::uint64_t below = (std::uint64_t{1} << (x & 63)) - 1;
    return block.before + static_cast<std::uint64_t>(std::popcount(block.bits & below));
  }

 private:
  struct Block {
    std::uint64_t before = 0;
    std::uint64_t bits = 0;
  };
  std::vector<Block> blocks_;
};

constexpr auto kCharStart = [](std::string_view t, std::uint64_t x) {
  return !utf::is_continuation_byte(static_cast<unsigned char>(t[x]));
};
constexpr auto kLineFeed = [](std::string_view t, std::uint64_t x) { return t[x] == '\n'; };
constexpr auto kWordStart = [](std::string_view t, std::uint64_t x) {
  return tokenizer::starts_word_at(t, x);
};

// Character, line and column of byte offsets of the caller's documents.
class SourcePositions {
 public:
  explicit SourcePositions(std::string_view text)
      : text_(text), chars_(text, kCharStart), lines_(text, kLineFeed) {
    for (std::uint64_t x = 0; x < text.size(); ++x) {
      if (text[x] == '\n') line_feeds_.push_back(x);
    }
  }

  [[nodiscard]] std::uint64_t chars(std::uint64_t x) const { return chars_(x); }

  struct LineColumn {
    std::uint64_t line;
    std::uint64_t column;
  };
  // Of the character at byte x (a character start) of the document starting at `doc_start`.
  [[nodiscard]] LineColumn line_column(std::uint64_t x, std::uint64_t doc_start) const {
    const std::uint64_t feeds = lines_(x);
    const std::uint64_t feeds_before_doc = lines_(doc_start);
    const std::uint64_t line_start =
        feeds > feeds_before_doc ? line_feeds_[feeds - 1] + 1 : doc_start;
    return {feeds - feeds_before_doc + 1, chars_(x) - chars_(line_start) + 1};
  }

  // The first byte of the character that holds byte x.
  [[nodiscard]] std::uint64_t char_start(std::uint64_t x) const {
    while (x > 0 && utf::is_continuation_byte(static_cast<unsigned char>(text_[x]))) --x;
    return x;
  }

 private:
  std::string_view text_;
  PositionCount chars_;
  PositionCount lines_;
  std::vector<std::uint64_t> line_feeds_;
};

// Words of each document, and of those the ones inside some occurrence: each occurrence adds one
// over its words in a difference array over all words, so overlaps need no sort.
void count_words(const PreparedCorpus& prepared, const passages::Passages& placed, Matches& out) {
  const PositionCount words(prepared.text, kWordStart);
  const std::size_t n = prepared.documents();
  out.document_words.resize(n);
  out.covered_words.assign(n, 0);
  for (std::size_t d = 0; d < n; ++d) {
    out.document_words[d] = words(prepared.ends[d]) - words(prepared.starts[d]);
  }
  std::vector<std::int32_t> cover(words(prepared.text.size()) + 1, 0);
  for (std::size_t k = 0; k < placed.start.size(); ++k) {
    const std::uint64_t base = prepared.starts[placed.document[k]];
    ++cover[words(base + placed.start[k])];
    --cover[words(base + placed.end[k])];
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

// Occurrences placed in analysis-text bytes of each document, located in the documents as given.
Matches located(const SourceCorpus& source, const PreparedCorpus& prepared, PlacedGroups groups) {
  passages::Passages& placed = groups.placed;
  Matches out;
  count_words(prepared, placed, out);
  const SourcePositions positions(source.text);
  interrupt::checkpoint();
  const std::size_t rows = placed.start.size();
  for (auto* column : {&out.line, &out.column, &out.end_line, &out.end_column}) {
    column->resize(rows);
  }
  // Starts and ends become character offsets where they are, so that a large result is not
  // held twice.
  for (std::size_t k = 0; k < rows; ++k) {
    const std::uint32_t d = placed.document[k];
    const std::uint64_t base = source.starts[d];
    const std::uint64_t from = base + prepared.to_source(d, placed.start[k]);
    // The end follows the last byte, so that ranges removed after it stay outside.
    const std::uint64_t to = base + prepared.to_source(d, placed.end[k] - 1) + 1;
    const std::uint64_t last = positions.char_start(to - 1);
    const auto first_at = positions.line_column(from, base);
    const auto last_at = positions.line_column(last, base);
    placed.start[k] = positions.chars(from) - positions.chars(base);
    placed.end[k] = positions.chars(to) - positions.chars(base);
    out.line.set(k, first_at.line);
    out.column.set(k, first_at.column);
    out.end_line.set(k, last_at.line);
    out.end_column.set(k, last_at.column);
  }
  interrupt::checkpoint();
  out.document = std::move(placed.document);
  out.start = std::move(placed.start);
  out.end = std::move(placed.end);
  out.document_chars.resize(prepared.documents());
  for (std::size_t d = 0; d < prepared.documents(); ++d) {
    out.document_chars[d] = positions.chars(source.ends[d]) - positions.chars(source.starts[d]);
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

// Characters descending, stable: the records take that order where they are (a second array of
// tens of millions of records would cost as much as their occurrences).
void sort_by_characters(std::vector<types::PhraseData>& records) {
  std::vector<std::pair<std::uint64_t, std::size_t>> order;  // (characters, record)
  order.reserve(records.size());
  for (std::size_t k = 0; k < records.size(); ++k) {
    order.emplace_back(utf::count_code_points(records[k].phrase), k);
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  arrange_in_place(records, [&](std::size_t k) { return order[k].second; });
}

// The finder's records as occurrences of each document, in the finder's final order. Records
// are emptied as they are placed, so that the two forms are not both held and the records' many
// small blocks are all free together.
PlacedGroups placed_phrases(const PreparedCorpus& prepared,
                            std::vector<types::PhraseData>& records) {
  sort_by_characters(records);
  std::size_t rows = 0;
  std::size_t text_bytes = 0;
  for (const auto& record : records) {
    rows += std::min(record.starts.size(), record.ends.size());
    text_bytes += record.phrase.size();
  }
  PlacedGroups groups;
  passages::Passages& placed = groups.placed;
  placed.first.reserve(records.size() + 1);
  placed.words.reserve(records.size());
  placed.document.reserve(rows);
  placed.start.reserve(rows);
  placed.end.reserve(rows);
  groups.texts.reserve(text_bytes);
  groups.text_ends.reserve(records.size());
  placed.first.push_back(0);
  for (auto& record : records) {
    const std::size_t count = std::min(record.starts.size(), record.ends.size());
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t s = record.starts[i];
      const std::uint64_t e = matched_end(prepared.text, s, record.phrase).value_or(record.ends[i]);
      const auto doc = std::upper_bound(prepared.starts.begin(), prepared.starts.end(), s) -
                       prepared.starts.begin() - 1;
      const std::uint64_t base = prepared.starts[doc];
      placed.document.push_back(static_cast<std::uint32_t>(doc));
      placed.start.push_back(s - base);
      placed.end.push_back(std::min(e, prepared.ends[doc]) - base);
    }
    placed.words.push_back(record.number_of_words);
    placed.first.push_back(placed.start.size());
    groups.add_text(record.phrase);
    record = {};
  }
  return groups;
}

}  // namespace

void CompactColumn::set(std::size_t row, std::uint64_t value) {
  if (value < kAside) {
    narrow_[row] = static_cast<std::uint32_t>(value);
    return;
  }
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
                     const types::FinderParams& params) {
  const PreparedCorpus prepared = prepare(source, preparation);
  auto records = duplicate_finder::find_document_records(prepared.text, prepared.layout(), params);
  interrupt::checkpoint();
  PlacedGroups groups = placed_phrases(prepared, records);
  records = {};
  return_free_heap_pages();  // the records' blocks, before the columns are built
  return located(source, prepared, std::move(groups));
}

Matches find_passages(const SourceCorpus& source, const Preparation& preparation,
                      const passages::PassageParams& params) {
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
  return located(source, prepared, std::move(groups));
}

}  // namespace quarnel::core::corpus
