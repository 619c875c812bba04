#include "duplicate_finder/results.hpp"

#include <algorithm>
#include <numeric>

#include "base/parallel.hpp"
#include "base/prefetch.hpp"
#include "base/radix_sort.hpp"
#include "base/swar.hpp"
#include "text/utf.hpp"

namespace quarnel::core::duplicate_finder {
namespace {

using phrase_records::PhraseData;
using phrase_records::PhraseResult;

// UTF-16 units of the characters that start among `count` bytes at `p`: one per character
// start, two for starts of characters beyond the Basic Multilingual Plane (4-byte sequences).
// Eight bytes at a time: per byte, bit 7 of `continuation` marks 10xxxxxx and bit 7 of `astral`
// marks 1111xxxx.
std::uint64_t utf16_units_of_word(std::uint64_t w, std::size_t len) {
  using swar::kHighBits;
  const auto flagged = [](std::uint64_t bits) { return ((bits >> 7) * swar::kLowBits) >> 56; };
  const std::uint64_t present =
      len == 8 ? kHighBits : kHighBits & ((std::uint64_t{1} << (8 * len)) - 1);
  const std::uint64_t continuation = w & ~(w << 1) & present;
  const std::uint64_t astral = w & (w << 1) & (w << 2) & (w << 3) & present;
  return len - flagged(continuation) + flagged(astral);
}

std::uint64_t utf16_units(const char* p, std::size_t count) {
  std::uint64_t units = 0;
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) units += utf16_units_of_word(swar::load8(p + i), 8);
  std::uint64_t tail = 0;
  for (std::size_t k = 0; i + k < count; ++k) {
    tail |= std::uint64_t{static_cast<unsigned char>(p[i + k])} << (8 * k);
  }
  return units + utf16_units_of_word(tail, count - i);
}

// Occurrences lie scattered over the text; lookups run this many occurrences behind the requests
// for their memory, which also reach into the next records.
constexpr std::size_t kPrefetchedOccurrences = 4;

void prefetch_first_occurrences(const PhraseData& record, const Utf16PositionTable& table) {
  const std::size_t n =
      std::min({record.starts.size(), record.ends.size(), kPrefetchedOccurrences});
  for (std::size_t i = 0; i < n; ++i) {
    table.prefetch(record.starts[i]);
    table.prefetch(record.ends[i]);
  }
}

PhraseResult to_result(PhraseData record, std::uint64_t code_points,
                       const Utf16PositionTable& table) {
  PhraseResult result;
  const std::size_t n = std::min(record.starts.size(), record.ends.size());
  result.occurrences.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kPrefetchedOccurrences < n) {
      table.prefetch(record.starts[i + kPrefetchedOccurrences]);
      table.prefetch(record.ends[i + kPrefetchedOccurrences]);
    }
    result.occurrences.push_back({table(record.starts[i]), table(record.ends[i])});
  }
  result.count = n;
  result.string_length = code_points;
  result.number_of_words = record.number_of_words;
  result.phrase = std::move(record.phrase);
  return result;
}

}  // namespace

void translate_offsets(std::vector<PhraseData>& records,
                       std::span<const normalize::RemovedRange> removed_ranges) {
  if (removed_ranges.empty()) return;
  const auto deltas = normalize::build_cumulative_deltas(removed_ranges);
  for (PhraseData& record : records) {
    for (auto& s : record.starts) s = normalize::map_to_source(deltas, s);
    for (auto& e : record.ends) e = normalize::map_to_source(deltas, e);
  }
}

Utf16PositionTable::Utf16PositionTable(std::string_view source) : source_(source) {
  constexpr std::size_t kBlock = std::size_t{1} << kBlockShift;
  std::vector<std::uint64_t> checkpoints;
  checkpoints.reserve(source.size() / kBlock + 1);
  std::uint64_t units = 0;
  bool ascii = true;
  std::size_t begin = 0;
  for (; begin + kBlock <= source.size(); begin += kBlock) {
    // Lookups into an ASCII block need not read the text: its units are its bytes.
    const bool ascii_block = utf::is_ascii(source.substr(begin, kBlock));
    ascii = ascii && ascii_block;
    checkpoints.push_back(units | (ascii_block ? kAsciiBlock : 0));
    units += ascii_block ? kBlock : utf16_units(source.data() + begin, kBlock);
  }
  checkpoints.push_back(units);  // the partial last block is always counted
  // On ASCII text every offset is its own count of UTF-16 units: no table is needed.
  if (!ascii || !utf::is_ascii(source.substr(begin))) checkpoints_ = std::move(checkpoints);
}

std::uint64_t Utf16PositionTable::operator()(std::uint64_t byte_offset) const {
  if (byte_offset > source_.size() || checkpoints_.empty()) return byte_offset;
  const std::size_t block = static_cast<std::size_t>(byte_offset >> kBlockShift);
  const std::size_t begin = block << kBlockShift;
  const std::uint64_t checkpoint = checkpoints_[block];
  if (checkpoint & kAsciiBlock) return (checkpoint & ~kAsciiBlock) + (byte_offset - begin);
  return checkpoint + utf16_units(source_.data() + begin, byte_offset - begin);
}

void Utf16PositionTable::prefetch(std::uint64_t byte_offset) const {
  if (byte_offset >= source_.size() || checkpoints_.empty()) return;
  prefetch_read(&checkpoints_[byte_offset >> kBlockShift]);
  prefetch_read(source_.data() + (byte_offset & ~((std::uint64_t{1} << kBlockShift) - 1)));
}

// The order is settled on indices first, so each result is built once, in place.
std::vector<PhraseResult> sorted_results(std::vector<PhraseData> records,
                                         std::string_view source_text, bool ascii_phrases,
                                         parallel::Lanes lanes) {
  std::vector<std::uint64_t> code_points(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    code_points[i] =
        ascii_phrases ? records[i].phrase.size() : utf::count_code_points(records[i].phrase);
  }
  std::vector<std::size_t> order(records.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  // Stable, as the final order must be: a radix sort is.
  const std::uint64_t most =
      code_points.empty() ? 0 : *std::max_element(code_points.begin(), code_points.end());
  radix_sort_by_position(order, [&](std::size_t k) { return most - code_points[k]; });
  const Utf16PositionTable table(source_text);
  std::vector<PhraseResult> results(records.size());
  // Records are taken in a scattered order: each is requested some steps ahead, and its first
  // occurrences one step ahead. Each result depends on its record alone, so the two halves can
  // be built on two lanes.
  constexpr std::size_t kRecordsAhead = 8;
  parallel::over_parts(lanes, order.size(), order.size() / 2, [&](parallel::Part part) {
    const std::size_t end = part.end;
    for (std::size_t k = part.begin; k < end; ++k) {
      if (k + kRecordsAhead < end) prefetch_read(&records[order[k + kRecordsAhead]]);
      if (k + 1 < end) prefetch_first_occurrences(records[order[k + 1]], table);
      results[k] = to_result(std::move(records[order[k]]), code_points[order[k]], table);
    }
  });
  return results;
}

}  // namespace quarnel::core::duplicate_finder
