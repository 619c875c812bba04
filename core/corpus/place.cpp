#include "corpus/place.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "base/prefetch.hpp"
#include "base/radix_sort.hpp"
#include "duplicate_finder/documents.hpp"
#include "text/utf.hpp"
#include "text/white_space.hpp"

namespace quarnel::core::corpus {
namespace {

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

}  // namespace

// On two lanes, in two halves of about as many rows. Records are emptied as they are placed, so
// that the records' many small blocks are all free together.
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

namespace {

// Groups returned as found: each is a group found.
void found_all(PlacedGroups& groups) {
  groups.found_groups = groups.placed.words.size();
  groups.found_places = groups.placed.start.size();
}

// The rows, counts and totals of `kept`; the texts are the caller's.
PlacedGroups shown_groups(Chosen kept) {
  PlacedGroups shown;
  shown.placed = std::move(kept.placed);
  shown.counts = std::move(kept.counts);
  shown.found_groups = kept.found_groups;
  shown.found_places = kept.found_places;
  return shown;
}

}  // namespace

PlacedGroups selected_phrases(PlacedGroups phrases, const Selection& selection) {
  if (selection.keeps_all()) {
    found_all(phrases);
    return phrases;
  }
  Chosen kept = chosen(phrases.placed, selection, [&](std::size_t g) {
    return white_space::count_visible_chars(phrases.text(g));
  });
  const std::vector<std::uint64_t> groups = std::move(kept.groups);
  PlacedGroups shown = shown_groups(std::move(kept));
  for (const std::uint64_t g : groups) shown.add_text(phrases.text(g));
  return shown;
}

PlacedGroups placed_passages(const SourceCorpus& source, const PreparedCorpus& prepared,
                             passages::Passages passages, const Selection& selection) {
  const auto text = [&](std::size_t g) {
    const std::size_t k = passages.first[g];
    const std::uint32_t d = passages.document[k];
    std::uint64_t from = passages.start[k];
    std::uint64_t to = passages.end[k];
    if (!prepared.ways_back.empty())
      std::tie(from, to) = prepared.ways_back[d].source_span(from, to);
    return source.text.substr(source.starts[d] + from, to - from);
  };
  if (selection.keeps_all()) {
    PlacedGroups groups;
    for (std::size_t g = 0; g + 1 < passages.first.size(); ++g) groups.add_text(text(g));
    groups.placed = std::move(passages);
    found_all(groups);
    return groups;
  }
  Chosen kept = chosen(passages, selection,
                       [&](std::size_t g) { return white_space::count_visible_chars(text(g)); });
  const std::vector<std::uint64_t> groups = std::move(kept.groups);
  PlacedGroups shown = shown_groups(std::move(kept));
  for (const std::uint64_t g : groups) shown.add_text(text(g));
  return shown;
}

}  // namespace quarnel::core::corpus
