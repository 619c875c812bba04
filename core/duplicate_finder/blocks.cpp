#include "duplicate_finder/blocks.hpp"

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>

#include "base/prefetch.hpp"
#include "base/radix_sort.hpp"
#include "duplicate_finder/covered_intervals.hpp"
#include "suffix_array/lcp_runs.hpp"
#include "text/utf.hpp"
#include "text/white_space.hpp"

namespace quarnel::core::duplicate_finder {
namespace {

using phrase_records::PhraseData;
using suffix_array::LcpRun;

bool is_char_start(std::string_view text, std::uint64_t pos) {
  return utf::is_char_start(text, pos);
}

// The offsets of all blocks live in one array; a block names its slice, and its text by the
// offset of its first pair. On a duplicated text there are millions of blocks, so both are kept
// in the width of the suffix array's entries: every offset lies in one block at most.
template <class Offset>
struct Block {
  Offset text_start, length;
  Offset begin, end;  // its offsets: ascending, distinct
};

template <class Offset>
struct BlockList {
  std::vector<Block<Offset>> blocks;
  std::vector<Offset> offsets;

  [[nodiscard]] std::span<const Offset> offsets_of(const Block<Offset>& block) const {
    return std::span(offsets).subspan(block.begin, block.end - block.begin);
  }
};

// Collects, per run, the offsets of the neighbour pairs whose shared prefix is exactly the run's
// block length, under the text of the run's first such pair. Block texts need no table: each
// begins with its run's shared prefix of at least the block minimum, and no two runs share one.
template <class Idx>
class BlockScanner {
 public:
  // `ascii`: whether the text is all ASCII.
  BlockScanner(const BasicAnalysisIndex<Idx>& index, const FinderParams& params, bool ascii)
      : index_(index), min_block_(block_minimum(params)), cap_(block_cap(params)), ascii_(ascii) {}

  [[nodiscard]] std::uint64_t min_block() const { return min_block_; }

  void scan_run(const LcpRun& run);
  // One block per run that yielded one; its offsets are sorted and distinct.
  [[nodiscard]] BlockList<Idx> take_blocks() { return std::move(found_); }

 private:
  // End of a block of `length` bytes at `a`, moved back to a character boundary; nullopt when
  // the pair yields no block.
  [[nodiscard]] std::optional<std::uint64_t> block_end(std::uint64_t a, std::uint64_t b,
                                                       std::uint64_t length) const;

  // A pair's check reads the text where both suffixes start and where the block would end, all
  // scattered: a cursor keeps the pairs a fixed number of run ranks ahead requested.
  void prefetch_ahead(std::size_t rank) {
    constexpr std::size_t kDistance = 16;
    if (ahead_ < rank) ahead_ = rank;
    while (pairs_ahead_ < kDistance && ahead_ + 1 < index_.lcp.size()) {
      if (index_.lcp[++ahead_] >= min_block_) {
        prefetch_pair(ahead_);
        ++pairs_ahead_;
      }
    }
    if (pairs_ahead_ > 0) --pairs_ahead_;
  }

  void prefetch_pair(std::size_t rank) const {
    const std::string_view text = index_.text;
    const std::uint64_t a = index_.suffix_array[rank - 1];
    const std::uint64_t b = index_.suffix_array[rank];
    const std::uint64_t length = std::min<std::uint64_t>(cap_, index_.lcp[rank]);
    prefetch_read(text.data() + a);
    prefetch_read(text.data() + b);
    if (length < text.size() - a) prefetch_read(text.data() + a + length);
  }

  const BasicAnalysisIndex<Idx>& index_;
  std::uint64_t min_block_;
  std::uint64_t cap_;
  // In ASCII text every byte starts a character: pairs are checked without reading the text.
  bool ascii_;
  std::size_t ahead_ = 0;        // the last rank the cursor looked at
  std::size_t pairs_ahead_ = 0;  // pairs requested beyond the current one
  BlockList<Idx> found_;
  std::vector<Idx> positions_;
};

template <class Idx>
std::optional<std::uint64_t> BlockScanner<Idx>::block_end(std::uint64_t a, std::uint64_t b,
                                                          std::uint64_t length) const {
  const std::string_view text = index_.text;
  if (!ascii_ && (!is_char_start(text, a) || !is_char_start(text, b))) return std::nullopt;
  std::uint64_t end = std::min<std::uint64_t>(saturating_add(a, length), text.size());
  while (!ascii_ && end > a && end < text.size() && !is_char_start(text, end)) --end;
  const std::uint64_t len = end - a;
  if (len < min_block_ || len > text.size() - b) return std::nullopt;
  return end;
}

template <class Idx>
void BlockScanner<Idx>::scan_run(const LcpRun& run) {
  const std::uint64_t block_length = std::min(cap_, run.max_lcp);
  positions_.clear();
  std::optional<Block<Idx>> block;
  for (std::size_t rank = run.begin; rank < run.end; ++rank) {
    if (!ascii_) prefetch_ahead(rank);
    if (index_.lcp[rank] != block_length) continue;
    const Idx a = index_.suffix_array[rank - 1];
    const Idx b = index_.suffix_array[rank];
    const auto end = block_end(a, b, block_length);
    if (!end) continue;
    positions_.push_back(a);
    positions_.push_back(b);
    if (!block) block = Block<Idx>{a, static_cast<Idx>(*end - a), 0, 0};
  }
  if (!block) return;
  // Most runs are one pair of distinct suffixes.
  if (positions_.size() == 2) {
    if (positions_[0] > positions_[1]) std::swap(positions_[0], positions_[1]);
  } else {
    std::sort(positions_.begin(), positions_.end());
    positions_.erase(std::unique(positions_.begin(), positions_.end()), positions_.end());
  }
  if (positions_.size() < 2) return;
  block->begin = static_cast<Idx>(found_.offsets.size());
  found_.offsets.insert(found_.offsets.end(), positions_.begin(), positions_.end());
  block->end = static_cast<Idx>(found_.offsets.size());
  found_.blocks.push_back(*block);
}

// Longest blocks first; blocks of equal length by first offset, so that which of them covers
// which never depends on hashing. (A position lies in one run only, so no two blocks share a
// length and a first offset.)
template <class Offset>
BlockList<Offset> choose_blocks(BlockList<Offset> found, std::uint64_t text_length) {
  // There are about as many blocks as bytes in repeated passages, mostly with two offsets: the
  // keys carry those, and are ordered by two stable radix passes (first offset, then length).
  // A block index is below half the text length, which leaves the top bit to mark blocks with
  // more offsets.
  struct Key {
    Offset length, first, second, block;
  };
  constexpr Offset kMore = Offset{1} << (8 * sizeof(Offset) - 1);
  std::vector<Key> order(found.blocks.size());
  Offset longest = 0;
  for (std::size_t k = 0; k < order.size(); ++k) {
    const Block<Offset>& b = found.blocks[k];
    const Offset more = b.end - b.begin > 2 ? kMore : 0;
    order[k] = {b.length, found.offsets[b.begin], found.offsets[b.begin + 1],
                static_cast<Offset>(k | more)};
    longest = std::max(longest, b.length);
  }
  radix_sort_by_position(order, [](const Key& k) { return k.first; });
  radix_sort_by_position(order, [&](const Key& k) { return longest - k.length; });
  CoveredIntervals covered(text_length);
  std::vector<Block<Offset>> accepted;
  const auto covers = [&](std::uint64_t p, std::uint64_t length) {
    return covered.covers(p, saturating_add(p, length));
  };
  for (const Key& key : order) {
    const Block<Offset>& block = found.blocks[key.block & ~kMore];
    // Most blocks are shifted copies of a longer one, turned away by their first offsets before
    // the block itself is read.
    if (covers(key.first, key.length) && covers(key.second, key.length)) {
      if ((key.block & kMore) == 0) continue;
      const auto rest = found.offsets_of(block).subspan(2);
      if (std::all_of(rest.begin(), rest.end(),
                      [&](std::uint64_t p) { return covers(p, key.length); })) {
        continue;
      }
    }
    for (const std::uint64_t p : found.offsets_of(block)) {
      covered.add(p, saturating_add(p, key.length));
    }
    accepted.push_back(block);
  }
  found.blocks = std::move(accepted);
  return found;
}

template <class Offset>
PhraseData block_record(std::string_view text, const Block<Offset>& block,
                        std::span<const Offset> offsets) {
  PhraseData record;
  record.phrase = std::string(text.substr(block.text_start, block.length));
  record.starts.assign(offsets.begin(), offsets.end());
  record.ends.reserve(offsets.size());
  for (const std::uint64_t p : offsets) {
    record.ends.push_back(saturating_add(p, block.length));
  }
  record.count = offsets.size();
  record.string_length = block.length;
  record.number_of_words = white_space::count_whitespace_words(record.phrase);
  return record;
}

bool inside_blocks(const PhraseData& record, const CoveredIntervals& blocks) {
  const std::size_t n = std::min(record.starts.size(), record.ends.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (!blocks.covers(record.starts[i], record.ends[i])) return false;
  }
  return true;
}

// Coverage is decided as in block selection, by the last block occurrence starting at or before
// each occurrence.
std::vector<PhraseData> drop_phrases_inside(std::vector<PhraseData> records,
                                            const std::vector<PhraseData>& blocks,
                                            std::uint64_t text_length) {
  if (blocks.empty()) return records;
  CoveredIntervals covered(text_length);
  for (const PhraseData& block : blocks) {
    for (std::size_t i = 0; i < block.starts.size(); ++i) {
      covered.add(block.starts[i], block.ends[i]);
    }
  }
  // Each record's occurrences lie in vectors of their own, scattered: they are requested a few
  // records ahead.
  constexpr std::size_t kAhead = 4;
  std::size_t kept = 0;
  for (std::size_t k = 0; k < records.size(); ++k) {
    if (k + kAhead < records.size()) {
      const PhraseData& next = records[k + kAhead];
      if (!next.starts.empty()) prefetch_read(next.starts.data());
      if (!next.ends.empty()) prefetch_read(next.ends.data());
    }
    if (inside_blocks(records[k], covered)) continue;
    if (kept != k) records[kept] = std::move(records[k]);
    ++kept;
  }
  records.resize(kept);
  return records;
}

}  // namespace

// The chosen blocks as records. They depend on the arrays alone, not on the phrases.
template <class Idx>
std::vector<PhraseData> find_blocks(const BasicAnalysisIndex<Idx>& index,
                                    const FinderParams& params, bool ascii_text) {
  BlockScanner<Idx> scanner(index, params, ascii_text);
  const std::uint64_t min_block = scanner.min_block();
  std::vector<PhraseData> blocks;
  if (index.text.size() < saturating_mul(2, min_block) || index.suffix_array.size() < 2) {
    return blocks;
  }
  suffix_array::for_each_lcp_run(index.lcp, min_block,
                                 [&](const LcpRun& run) { scanner.scan_run(run); });
  const BlockList<Idx> chosen = choose_blocks(scanner.take_blocks(), index.text.size());
  for (const Block<Idx>& block : chosen.blocks) {
    blocks.push_back(block_record(index.text, block, chosen.offsets_of(block)));
  }
  return blocks;
}

// Phrases inside a block give way to it; the blocks follow the phrases.
std::vector<PhraseData> with_blocks(std::vector<PhraseData> records, std::vector<PhraseData> blocks,
                                    std::uint64_t text_size) {
  records = drop_phrases_inside(std::move(records), blocks, text_size);
  std::move(blocks.begin(), blocks.end(), std::back_inserter(records));
  return records;
}

template std::vector<PhraseData> find_blocks(const BasicAnalysisIndex<std::uint32_t>&,
                                             const FinderParams&, bool);
template std::vector<PhraseData> find_blocks(const BasicAnalysisIndex<std::uint64_t>&,
                                             const FinderParams&, bool);

std::vector<PhraseData> detect_blocks(std::vector<PhraseData> records, const AnalysisIndex& index,
                                      const FinderParams& params) {
  return with_blocks(std::move(records), find_blocks(index, params, utf::is_ascii(index.text)),
                     index.text.size());
}

}  // namespace quarnel::core::duplicate_finder
