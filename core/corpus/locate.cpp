#include "corpus/locate.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "base/interrupt.hpp"
#include "base/prefetch.hpp"
#include "text/text_positions.hpp"
#include "text/utf.hpp"

namespace quarnel::core::corpus {
namespace {

// Words of each document, and of those the ones inside some occurrence: each occurrence adds one
// over its words in a difference array over all words, so overlaps need no sort.
void count_words(const PreparedCorpus& prepared, const passages::Passages& placed, Matches& out) {
  const text_positions::BlockRank<1> counted = text_positions::word_starts(prepared.text);
  const auto words = [&](std::uint64_t x) { return counted.rank(0, x); };
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
      counted.prefetch(at(k + kFarAhead, placed.start));
      counted.prefetch(at(k + kFarAhead, placed.end));
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

// A line or column too wide for its compact column's narrow entries, set once the rows are done.
struct WideValue {
  CompactColumn* column;
  std::size_t row;
  std::uint64_t value;
};

// Rows [begin, end) located in the documents as given: their starts and ends become character
// offsets where they are, so that a large result is not held twice, and their lines and columns
// go to `out`. Returns the values its columns could not take at once.
std::vector<WideValue> locate_rows(const text_positions::TextPositions& positions,
                                   passages::Passages& placed, Matches& out, std::size_t begin,
                                   std::size_t end) {
  std::vector<WideValue> wide;
  const auto set = [&](CompactColumn& column, std::size_t row, std::uint64_t value) {
    if (!column.set_narrow(row, value)) wide.push_back({&column, row, value});
  };
  for (std::size_t k = begin; k < end; ++k) {
    if (k + kFarAhead < end) {
      positions.prefetch_place(placed.document[k + kFarAhead], placed.start[k + kFarAhead]);
      positions.prefetch_place(placed.document[k + kFarAhead], placed.end[k + kFarAhead]);
    }
    if (k + kNearAhead < end) {
      positions.prefetch_line(placed.document[k + kNearAhead], placed.start[k + kNearAhead]);
      positions.prefetch_line(placed.document[k + kNearAhead], placed.end[k + kNearAhead]);
    }
    const auto [first_at, last_at] =
        positions.places(placed.document[k], placed.start[k], placed.end[k]);
    placed.start[k] = first_at.chars;
    placed.end[k] = last_at.chars + 1;
    set(out.line, k, first_at.line);
    set(out.column, k, first_at.column);
    set(out.end_line, k, last_at.line);
    set(out.end_column, k, last_at.column);
  }
  return wide;
}

}  // namespace

// On two lanes, the source's tables are built beside the counting of the words and the choice
// of the groups returned, and the rows are located in halves.
Matches located(const SourceCorpus& source, const PreparedCorpus& prepared, PlacedGroups found,
                const std::function<PlacedGroups(PlacedGroups)>& shown, parallel::Lanes lanes) {
  Matches out;
  parallel::SideTask tables(lanes, [&] {
    std::vector<text_positions::Span> documents;
    documents.reserve(source.starts.size());
    for (std::size_t d = 0; d < source.starts.size(); ++d) {
      documents.push_back({source.starts[d], source.ends[d]});
    }
    return text_positions::TextPositions(source.text, text_positions::Lines::kCounted, documents,
                                         prepared.ways_back);
  });
  count_words(prepared, found.placed, out);
  interrupt::checkpoint();
  PlacedGroups groups = shown(std::move(found));
  out.found_groups = groups.found_groups;
  out.found_places = groups.found_places;
  passages::Passages& placed = groups.placed;
  const text_positions::TextPositions positions = tables.get();
  interrupt::checkpoint();
  const std::size_t rows = placed.start.size();
  for (auto* column : {&out.line, &out.column, &out.end_line, &out.end_column}) {
    column->resize(rows);
  }
  const auto rows_from = [&](std::size_t begin, std::size_t end) {
    return locate_rows(positions, placed, out, begin, end);
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
    out.document_chars[d] = positions.document_chars(d);
  }
  out.texts = std::move(groups.texts);
  out.text_ends = std::move(groups.text_ends);
  out.chars.reserve(out.groups());
  for (std::size_t g = 0; g < out.groups(); ++g) {
    out.chars.push_back(utf::count_code_points(out.text(g)));
  }
  out.words = std::move(placed.words);
  out.first = std::move(placed.first);
  out.counts = std::move(groups.counts);
  if (out.counts.empty()) {
    out.counts.reserve(out.groups());
    for (std::size_t g = 0; g < out.groups(); ++g)
      out.counts.push_back(out.first[g + 1] - out.first[g]);
  }
  return out;
}

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

}  // namespace quarnel::core::corpus
