#include "duplicate_finder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <optional>
#include <set>
#include <utility>

#include "aho_corasick.hpp"
#include "interval_merger.hpp"
#include "sentence_splitter.hpp"
#include "suffix_array/construction.hpp"
#include "suffix_array/lcp.hpp"
#include "suffix_array/lcp_runs.hpp"
#include "tokenizer.hpp"

namespace quarnel::core::duplicate_finder {
namespace {

using string_interner::HashKey;
using string_interner::StringInterner;
using suffix_array::LcpRun;
using types::FinderParams;
using types::kMaxU64;
using types::PhraseData;
using types::PhraseResult;

// A read hint for memory needed soon. Spelled as an instruction on x86 because the optimiser
// drops the builtin from the candidate scan as dead code.
inline void prefetch_read(const void* p) {
#if defined(__x86_64__) || defined(__i386__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p);
#endif
}

bool is_char_start(std::string_view text, std::uint64_t pos) {
  return pos < text.size() && !types::is_utf8_continuation(static_cast<unsigned char>(text[pos]));
}

// ---------------------------------------------------------------------------------------------
// Candidate phrases

// Word starts, word ends and sentence boundaries as one bit per text position, 64 positions per
// block, with the first boundary after each block. Positions arrive in suffix-array order, i.e.
// scattered over the text; this answers what is asked of each one (does a word start here,
// which word ends follow, which sentence boundary comes next) from one block and its successors
// instead of a test on the text and bisections of three lists.
class PositionIndex {
  struct Block {
    std::uint64_t starts = 0;
    std::uint64_t ends = 0;
    std::uint64_t boundaries = 0;
    std::uint64_t boundary_after_block = kMaxU64;  // first boundary in a later block
  };

 public:
  PositionIndex(std::string_view text, std::span<const std::uint64_t> word_ends,
                std::span<const std::uint64_t> sentence_boundaries)
      : blocks_(text.size() / 64 + 1) {
    for (std::size_t p = 0; p < text.size(); ++p) {
      if (tokenizer::starts_word_at(text, p)) set(&Block::starts, p);
    }
    // An end e (exclusive) is marked on the word's last byte, e - 1.
    for (const std::uint64_t e : word_ends) {
      if (e >= 1 && e <= text.size()) set(&Block::ends, e - 1);
    }
    // A boundary at or past the end of the text never shortens a phrase.
    for (const std::uint64_t b : sentence_boundaries) {
      if (b < text.size()) set(&Block::boundaries, b);
    }
    std::uint64_t next = kMaxU64;
    for (std::size_t i = blocks_.size(); i-- > 0;) {
      blocks_[i].boundary_after_block = next;
      if (blocks_[i].boundaries != 0) next = 64 * i + std::countr_zero(blocks_[i].boundaries);
    }
  }

  [[nodiscard]] bool starts_word(std::uint64_t p) const {
    return (blocks_[p >> 6].starts >> (p & 63)) & 1U;
  }

  void prefetch(std::uint64_t p) const { prefetch_read(&blocks_[p >> 6]); }

  // The first sentence boundary after p, or kMaxU64 when there is none.
  [[nodiscard]] std::uint64_t boundary_after(std::uint64_t p) const {
    const Block& block = blocks_[p >> 6];
    const std::uint64_t later = block.boundaries & ~(below(p) | bit(p));
    return later != 0 ? (p & ~std::uint64_t{63}) + std::countr_zero(later)
                      : block.boundary_after_block;
  }

  // Walks the word ends after p in order, skipping the first `skip` of them.
  class EndCursor {
   public:
    EndCursor(const PositionIndex& index, std::uint64_t p, std::uint64_t skip)
        : blocks_(index.blocks_), block_(p >> 6), bits_(blocks_[block_].ends & ~below(p)) {
      while (skip > 0 && load_bits()) {
        const auto in_block = static_cast<std::uint64_t>(std::popcount(bits_));
        if (in_block > skip) {
          for (; skip > 0; --skip) bits_ &= bits_ - 1;
        } else {
          skip -= in_block;
          bits_ = 0;
        }
      }
    }

    // The next word end, or nullopt past the last one.
    std::optional<std::uint64_t> next() {
      if (!load_bits()) return std::nullopt;
      const std::uint64_t end = 64 * block_ + std::countr_zero(bits_) + 1;
      bits_ &= bits_ - 1;
      return end;
    }

   private:
    bool load_bits() {
      while (bits_ == 0) {
        if (++block_ >= blocks_.size()) return false;
        bits_ = blocks_[block_].ends;
      }
      return true;
    }

    const std::vector<Block>& blocks_;
    std::size_t block_;
    std::uint64_t bits_;
  };

 private:
  static std::uint64_t bit(std::uint64_t p) { return std::uint64_t{1} << (p & 63); }
  static std::uint64_t below(std::uint64_t p) { return bit(p) - 1; }
  void set(std::uint64_t Block::*field, std::uint64_t p) { blocks_[p >> 6].*field |= bit(p); }

  std::vector<Block> blocks_;
};

// Bytes that begin a Unicode white-space character: the ASCII ones and the lead bytes of the
// two- and three-byte encodings in the set.
constexpr std::array<bool, 256> kMayBeginSpace = [] {
  std::array<bool, 256> t{};
  for (const int b : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0xC2, 0xE1, 0xE2, 0xE3}) t[b] = true;
  return t;
}();

// The normalised form of the text read from one start position. Normalisation is a streaming
// transformation, so the phrase of every word window at that start is a prefix of this one
// buffer (less a trailing space): each position's text is normalised once, however many
// windows it has.
class NormalizedStream {
 public:
  void reset(std::string_view text, std::uint64_t start) {
    text_ = text;
    start_ = start;
    raw_length_ = 0;
    non_space_bytes_ = 0;
    after_space_ = true;
    altered_ = false;
    buffer_.clear();
  }

  // Reads on to raw length `raw_length`, which must end on a character boundary.
  void extend_to(std::uint64_t raw_length) {
    const std::size_t stop = start_ + raw_length;
    std::size_t at = start_ + raw_length_;
    while (at < stop) {
      const std::size_t space = types::white_space_length_at(text_, at);
      if (space != 0) {
        altered_ = altered_ || after_space_ || text_[at] != ' ';
        if (!after_space_) buffer_.push_back(' ');
        after_space_ = true;
        at += space;
        continue;
      }
      // Copy the run of bytes that cannot begin white space in one go.
      std::size_t run_end = at + 1;
      while (run_end < stop && !kMayBeginSpace[static_cast<unsigned char>(text_[run_end])]) {
        ++run_end;
      }
      buffer_.append(text_.data() + at, run_end - at);
      non_space_bytes_ += run_end - at;
      after_space_ = false;
      at = run_end;
    }
    raw_length_ = at - start_;
  }

  [[nodiscard]] std::string_view phrase() const {
    std::string_view out = buffer_;
    if (!out.empty() && out.back() == ' ') out.remove_suffix(1);
    return out;
  }

  // Bytes of the phrase other than 0x20: exactly the bytes of non-white-space characters read.
  [[nodiscard]] std::uint64_t non_space_bytes() const { return non_space_bytes_; }

  // True when the phrase equals the raw text read so far byte for byte.
  [[nodiscard]] bool unchanged() const { return !altered_ && !buffer_.ends_with(' '); }

 private:
  std::string_view text_;
  std::uint64_t start_ = 0;
  std::uint64_t raw_length_ = 0;
  std::uint64_t non_space_bytes_ = 0;
  bool after_space_ = true;
  bool altered_ = false;
  std::string buffer_;
};

// Verdicts on the phrase of one word window.
constexpr std::size_t kRejected = static_cast<std::size_t>(-1);  // too few non-space bytes
constexpr std::size_t kLonely = static_cast<std::size_t>(-2);    // set aside, see below

struct CachedPhrase {
  std::uint64_t raw_length = 0;
  std::size_t id = kRejected;
};

// A window whose raw bytes occur nowhere else (longer than anything its position shares with a
// suffix-array neighbour) and need no normalising. Its phrase can only meet an equal phrase that
// was normalised from different bytes, so it is looked up once at the end, and only if such a
// phrase exists. Most windows cut beyond a position's own shared prefix (up to the run maximum)
// are of this kind; keeping them out of the table saves hashing and storing every one.
struct LonelyWindow {
  std::uint64_t start = 0;
  std::uint64_t raw_length = 0;
};

// Scans the runs and fills the candidate table. Within a run, the phrase of raw length d at one
// rank is the same at the next rank whenever d <= the LCP between them, so verdicts are cached by
// raw length and truncated at every rank step: on a text of one passage repeated many times each
// distinct phrase is normalised and hashed about once per run, not once per occurrence.
class CandidateCollector {
 public:
  CandidateCollector(const AnalysisIndex& index, const FinderParams& params, const HashKey& key)
      : index_(index), params_(params), threshold_(types::phrase_threshold(params)),
        positions_(index.text, index.word_ends, index.sentence_boundaries), phrases_(key) {}

  [[nodiscard]] std::uint64_t threshold() const { return threshold_; }

  void collect_run(const LcpRun& run) {
    cache_.clear();
    const auto& lcp = index_.lcp;
    const auto& sa = index_.suffix_array;
    for (std::size_t rank = run.begin - 1; rank < run.end; ++rank) {
      prefetch_ahead(rank);
      if (rank >= run.begin) forget_longer_than(lcp[rank]);
      const std::uint64_t shared_after = rank + 1 < lcp.size() ? lcp[rank + 1] : 0;
      cut_phrases_at(sa[rank], run.max_lcp, std::max(lcp[rank], shared_after));
    }
  }

  [[nodiscard]] std::vector<PhraseData> take_records();

 private:
  // Positions come in suffix-array order, scattered over the text, and most runs are short:
  // fetch the block of a position some ranks ahead, in whatever run it lies.
  void prefetch_ahead(std::size_t rank) const {
    constexpr std::size_t kDistance = 24;
    const auto& lcp = index_.lcp;
    const std::size_t ahead = rank + kDistance;
    if (ahead + 1 < lcp.size() && (lcp[ahead] >= threshold_ || lcp[ahead + 1] >= threshold_)) {
      positions_.prefetch(index_.suffix_array[ahead]);
    }
  }

  void forget_longer_than(std::uint64_t shared) {
    while (!cache_.empty() && cache_.back().raw_length > shared) cache_.pop_back();
  }

  void cut_phrases_at(std::uint64_t p, std::uint64_t run_max, std::uint64_t own_shared);
  [[nodiscard]] std::size_t resolve(std::uint64_t raw_length);
  [[nodiscard]] std::size_t classify(std::uint64_t raw_length);
  void remember_fresh_verdicts();
  void admit_lonely_windows();
  [[nodiscard]] PhraseData make_record(std::size_t id, std::span<const std::uint64_t> offsets,
                                       std::uint64_t words) const;

  const AnalysisIndex& index_;
  const FinderParams& params_;
  std::uint64_t threshold_;
  PositionIndex positions_;
  StringInterner phrases_;
  bool has_rewritten_phrase_ = false;  // some stored phrase differs from its raw bytes
  std::vector<std::size_t> hit_phrase_;
  std::vector<std::uint64_t> hit_offset_;
  std::vector<LonelyWindow> lonely_;
  std::vector<CachedPhrase> cache_;  // ascending raw_length, valid for the current rank
  std::vector<CachedPhrase> fresh_;  // verdicts first computed at the current position
  std::vector<CachedPhrase> merged_;
  std::size_t cache_cursor_ = 0;
  std::uint64_t position_ = 0;
  std::uint64_t own_shared_ = 0;
  NormalizedStream stream_;
};

void CandidateCollector::cut_phrases_at(std::uint64_t p, std::uint64_t run_max,
                                        std::uint64_t own_shared) {
  const std::string_view text = index_.text;
  if (p >= text.size() || !positions_.starts_word(p)) return;
  const std::uint64_t cap = std::min<std::uint64_t>(text.size() - p, run_max);
  if (cap < threshold_) return;
  const std::uint64_t limit = std::min(positions_.boundary_after(p), p + cap);
  // The k-th word end after p closes the window of k words; windows of fewer than min_words
  // words are skipped, and at most max_words are cut.
  const std::uint64_t skipped = std::max<std::uint64_t>(params_.min_words, 1) - 1;
  if (skipped >= params_.max_words) return;
  std::uint64_t windows = params_.max_words - skipped;

  position_ = p;
  own_shared_ = own_shared;
  stream_.reset(text, p);
  cache_cursor_ = 0;
  fresh_.clear();
  PositionIndex::EndCursor ends(positions_, p, skipped);
  for (auto e = ends.next(); e && *e <= limit && windows > 0; e = ends.next(), --windows) {
    const std::size_t id = resolve(*e - p);
    if (id == kRejected || id == kLonely) continue;
    hit_phrase_.push_back(id);
    hit_offset_.push_back(p);
  }
  remember_fresh_verdicts();
}

std::size_t CandidateCollector::resolve(std::uint64_t raw_length) {
  while (cache_cursor_ < cache_.size() && cache_[cache_cursor_].raw_length < raw_length) {
    ++cache_cursor_;
  }
  if (cache_cursor_ < cache_.size() && cache_[cache_cursor_].raw_length == raw_length) {
    return cache_[cache_cursor_].id;
  }
  const std::size_t id = classify(raw_length);
  // A lonely window is longer than the LCP to the next rank, so its verdict would be dropped
  // before any reuse.
  if (id != kLonely) fresh_.push_back({raw_length, id});
  return id;
}

std::size_t CandidateCollector::classify(std::uint64_t raw_length) {
  // The phrase cannot have more non-space bytes than raw bytes: reject without normalising.
  if (raw_length <= params_.min_chars) return kRejected;
  stream_.extend_to(raw_length);
  if (stream_.non_space_bytes() <= params_.min_chars) return kRejected;
  const bool unchanged = stream_.unchanged();
  if (unchanged && raw_length > own_shared_) {
    lonely_.push_back({position_, raw_length});
    return kLonely;
  }
  has_rewritten_phrase_ = has_rewritten_phrase_ || !unchanged;
  return phrases_.intern(stream_.phrase()).id;
}

void CandidateCollector::remember_fresh_verdicts() {
  if (fresh_.empty()) return;
  merged_.clear();
  const auto shorter = [](const CachedPhrase& a, const CachedPhrase& b) {
    return a.raw_length < b.raw_length;
  };
  std::merge(cache_.begin(), cache_.end(), fresh_.begin(), fresh_.end(),
             std::back_inserter(merged_), shorter);
  cache_.swap(merged_);
}

// Two lonely windows never share a phrase (their raw bytes differ and are their phrases), and a
// table phrase taken unchanged from its bytes differs from them too; only a rewritten one can
// equal a lonely window, so without rewritten phrases there is nothing to look up.
void CandidateCollector::admit_lonely_windows() {
  if (has_rewritten_phrase_) {
    for (const LonelyWindow& w : lonely_) {
      if (const auto id = phrases_.find(index_.text.substr(w.start, w.raw_length))) {
        hit_phrase_.push_back(*id);
        hit_offset_.push_back(w.start);
      }
    }
  }
  std::vector<LonelyWindow>().swap(lonely_);
}

PhraseData CandidateCollector::make_record(std::size_t id, std::span<const std::uint64_t> offsets,
                                          std::uint64_t words) const {
  const std::string_view phrase = phrases_.key(id);
  PhraseData record;
  record.phrase = std::string(phrase);
  record.starts.assign(offsets.begin(), offsets.end());
  record.ends.reserve(offsets.size());
  for (const std::uint64_t start : offsets) record.ends.push_back(start + phrase.size());
  record.count = offsets.size();
  record.string_length = phrase.size();
  record.number_of_words = words;
  return record;
}

// Groups the hits by phrase (counting sort on the phrase id), keeps the phrases seen at two or
// more offsets with enough words, orders them by byte length descending, then first start
// ascending (a total order), and only then builds their records.
std::vector<PhraseData> CandidateCollector::take_records() {
  admit_lonely_windows();
  const std::size_t phrases = phrases_.size();
  std::vector<std::uint64_t> group_begin(phrases + 1, 0);
  for (const std::size_t id : hit_phrase_) ++group_begin[id + 1];
  for (std::size_t id = 0; id < phrases; ++id) group_begin[id + 1] += group_begin[id];
  std::vector<std::uint64_t> grouped(hit_offset_.size());
  {
    std::vector<std::uint64_t> cursor(group_begin.begin(), group_begin.end() - 1);
    for (std::size_t h = 0; h < hit_phrase_.size(); ++h) {
      grouped[cursor[hit_phrase_[h]]++] = hit_offset_[h];
    }
  }
  std::vector<std::size_t>().swap(hit_phrase_);
  std::vector<std::uint64_t>().swap(hit_offset_);

  struct Kept {
    std::uint64_t length, first_start, words;
    std::size_t id, size;
  };
  std::vector<Kept> kept;
  for (std::size_t id = 0; id < phrases; ++id) {
    const auto begin = grouped.begin() + static_cast<std::ptrdiff_t>(group_begin[id]);
    auto end = grouped.begin() + static_cast<std::ptrdiff_t>(group_begin[id + 1]);
    if (end - begin < 2) continue;
    // Runs are disjoint, but two windows at one start can normalise to the same phrase.
    std::sort(begin, end);
    end = std::unique(begin, end);
    if (end - begin < 2) continue;
    const std::string_view phrase = phrases_.key(id);
    const std::uint64_t words = types::count_whitespace_words(phrase);
    if (words < params_.min_words_in_substring) continue;
    kept.push_back({phrase.size(), *begin, words, id, static_cast<std::size_t>(end - begin)});
  }
  std::sort(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) {
    if (a.length != b.length) return a.length > b.length;
    return a.first_start < b.first_start;
  });
  std::vector<PhraseData> records;
  records.reserve(kept.size());
  for (const Kept& k : kept) {
    const std::span<const std::uint64_t> offsets(grouped.data() + group_begin[k.id], k.size);
    records.push_back(make_record(k.id, offsets, k.words));
  }
  return records;
}

// ---------------------------------------------------------------------------------------------
// Blocks

struct Block {
  std::string_view text;
  std::vector<std::uint64_t> offsets;  // ascending, distinct
};

// Collects, per run, the offsets of the neighbour pairs whose shared prefix is exactly the run's
// block length, under the text of the run's first such pair.
class BlockScanner {
 public:
  BlockScanner(const AnalysisIndex& index, const FinderParams& params, const HashKey& key)
      : index_(index), min_block_(types::block_minimum(params)), cap_(types::block_cap(params)),
        texts_(key, StringInterner::Storage::Borrow) {}

  [[nodiscard]] std::uint64_t min_block() const { return min_block_; }

  void scan_run(const LcpRun& run);
  [[nodiscard]] std::vector<Block> take_blocks();

 private:
  // End of a block of `length` bytes at `a`, moved back to a character boundary; nullopt when
  // the pair yields no block.
  [[nodiscard]] std::optional<std::uint64_t> block_end(std::uint64_t a, std::uint64_t b,
                                                       std::uint64_t length) const;

  const AnalysisIndex& index_;
  std::uint64_t min_block_;
  std::uint64_t cap_;
  StringInterner texts_;
  std::vector<std::vector<std::uint64_t>> offsets_;  // by text id
  std::vector<std::uint64_t> positions_;
};

std::optional<std::uint64_t> BlockScanner::block_end(std::uint64_t a, std::uint64_t b,
                                                     std::uint64_t length) const {
  const std::string_view text = index_.text;
  if (!is_char_start(text, a) || !is_char_start(text, b)) return std::nullopt;
  std::uint64_t end = std::min<std::uint64_t>(types::saturating_add(a, length), text.size());
  while (end > a && end < text.size() && !is_char_start(text, end)) --end;
  const std::uint64_t len = end - a;
  if (len < min_block_ || len > text.size() - b) return std::nullopt;
  return end;
}

void BlockScanner::scan_run(const LcpRun& run) {
  const std::uint64_t block_length = std::min(cap_, run.max_lcp);
  positions_.clear();
  std::optional<std::string_view> block_text;
  for (std::size_t rank = run.begin; rank < run.end; ++rank) {
    if (index_.lcp[rank] != block_length) continue;
    const std::uint64_t a = index_.suffix_array[rank - 1];
    const std::uint64_t b = index_.suffix_array[rank];
    const auto end = block_end(a, b, block_length);
    if (!end) continue;
    positions_.push_back(a);
    positions_.push_back(b);
    if (!block_text) block_text = index_.text.substr(a, *end - a);
  }
  if (!block_text) return;
  std::sort(positions_.begin(), positions_.end());
  positions_.erase(std::unique(positions_.begin(), positions_.end()), positions_.end());
  if (positions_.size() < 2) return;
  const auto [id, inserted] = texts_.intern(*block_text);
  if (inserted) offsets_.emplace_back();
  offsets_[id].insert(offsets_[id].end(), positions_.begin(), positions_.end());
}

std::vector<Block> BlockScanner::take_blocks() {
  std::vector<Block> blocks;
  blocks.reserve(offsets_.size());
  for (std::size_t id = 0; id < offsets_.size(); ++id) {
    auto& offsets = offsets_[id];
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
    blocks.push_back({texts_.key(id), std::move(offsets)});
  }
  return blocks;
}

using Interval = std::pair<std::uint64_t, std::uint64_t>;

// Only the last interval starting at or before `start` is consulted.
template <class SortedIntervals>
bool last_interval_covers(const SortedIntervals& intervals, std::uint64_t start, std::uint64_t end) {
  auto it = std::upper_bound(intervals.begin(), intervals.end(), Interval{start, kMaxU64});
  if (it == intervals.begin()) return false;
  return end <= std::prev(it)->second;
}

bool set_covers(const std::set<Interval>& intervals, std::uint64_t start, std::uint64_t end) {
  auto it = intervals.upper_bound(Interval{start, kMaxU64});
  if (it == intervals.begin()) return false;
  return end <= std::prev(it)->second;
}

// Longest blocks first; blocks of equal length by first offset, then text, so that which of them
// covers which never depends on hashing.
std::vector<Block> choose_blocks(std::vector<Block> blocks) {
  std::sort(blocks.begin(), blocks.end(), [](const Block& a, const Block& b) {
    if (a.text.size() != b.text.size()) return a.text.size() > b.text.size();
    if (a.offsets.front() != b.offsets.front()) return a.offsets.front() < b.offsets.front();
    return a.text < b.text;
  });
  std::set<Interval> covered;
  std::vector<Block> accepted;
  for (Block& block : blocks) {
    const std::uint64_t length = block.text.size();
    const bool is_covered = std::all_of(block.offsets.begin(), block.offsets.end(), [&](auto p) {
      return set_covers(covered, p, types::saturating_add(p, length));
    });
    if (is_covered) continue;
    for (const std::uint64_t p : block.offsets) {
      covered.emplace(p, types::saturating_add(p, length));
    }
    accepted.push_back(std::move(block));
  }
  return accepted;
}

PhraseData block_record(const Block& block) {
  PhraseData record;
  record.phrase = std::string(block.text);
  record.starts = block.offsets;
  record.ends.reserve(block.offsets.size());
  for (const std::uint64_t p : block.offsets) {
    record.ends.push_back(types::saturating_add(p, block.text.size()));
  }
  record.count = block.offsets.size();
  record.string_length = block.text.size();
  record.number_of_words = types::count_whitespace_words(block.text);
  return record;
}

bool inside_blocks(const PhraseData& record, const std::vector<Interval>& intervals) {
  const std::size_t n = std::min(record.starts.size(), record.ends.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (!last_interval_covers(intervals, record.starts[i], record.ends[i])) return false;
  }
  return true;
}

std::vector<PhraseData> drop_phrases_inside(std::vector<PhraseData> records,
                                            const std::vector<PhraseData>& blocks) {
  std::vector<Interval> intervals;
  for (const PhraseData& block : blocks) {
    for (std::size_t i = 0; i < block.starts.size(); ++i) {
      intervals.emplace_back(block.starts[i], block.ends[i]);
    }
  }
  if (intervals.empty()) return records;
  std::sort(intervals.begin(), intervals.end());
  std::erase_if(records, [&](const PhraseData& r) { return inside_blocks(r, intervals); });
  return records;
}

// ---------------------------------------------------------------------------------------------
// Results

// UTF-16 units contributed by each byte: one per character start, two for starts of characters
// beyond the Basic Multilingual Plane (4-byte sequences).
std::uint64_t utf16_units_of_byte(unsigned char b) {
  if (types::is_utf8_continuation(b)) return 0;
  return b >= 0xF0 ? 2 : 1;
}

PhraseResult to_result(PhraseData record, const Utf16PositionTable& table) {
  PhraseResult result;
  const std::size_t n = std::min(record.starts.size(), record.ends.size());
  result.occurrences.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    result.occurrences.push_back({table(record.starts[i]), table(record.ends[i])});
  }
  result.count = n;
  result.string_length = types::count_code_points(record.phrase);
  result.number_of_words = record.number_of_words;
  result.phrase = std::move(record.phrase);
  return result;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Stages

std::vector<PhraseData> find_candidate_phrases(const AnalysisIndex& index,
                                               const FinderParams& params, const HashKey& hash_key) {
  if (index.suffix_array.size() < 2) return {};
  CandidateCollector collector(index, params, hash_key);
  suffix_array::for_each_lcp_run(index.lcp, collector.threshold(),
                                 [&](const LcpRun& run) { collector.collect_run(run); });
  return collector.take_records();
}

std::vector<PhraseData> eliminate_contained_phrases(std::vector<PhraseData> records) {
  if (records.size() < 2) return records;
  std::vector<std::string_view> patterns;
  patterns.reserve(records.size());
  for (const PhraseData& r : records) patterns.push_back(r.phrase);
  const aho_corasick::Automaton automaton(patterns);

  std::vector<char> removed(records.size(), 0);
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (removed[i]) continue;  // a removed phrase never removes another
    const PhraseData& outer = records[i];
    automaton.for_each_match(outer.phrase, [&](aho_corasick::PatternId j, std::uint64_t) {
      if (j == i || removed[j] || records[j].phrase == outer.phrase) return;
      if (records[j].count <= outer.count) removed[j] = 1;
    });
  }
  std::vector<PhraseData> kept;
  kept.reserve(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (!removed[i]) kept.push_back(std::move(records[i]));
  }
  return kept;
}

std::vector<PhraseData> detect_blocks(std::vector<PhraseData> records, const AnalysisIndex& index,
                                      const FinderParams& params, const HashKey& hash_key) {
  BlockScanner scanner(index, params, hash_key);
  const std::uint64_t min_block = scanner.min_block();
  if (index.text.size() < types::saturating_mul(2, min_block) || index.suffix_array.size() < 2) {
    return records;
  }
  suffix_array::for_each_lcp_run(index.lcp, min_block,
                                 [&](const LcpRun& run) { scanner.scan_run(run); });
  std::vector<PhraseData> blocks;
  for (const Block& block : choose_blocks(scanner.take_blocks())) {
    blocks.push_back(block_record(block));
  }
  records = drop_phrases_inside(std::move(records), blocks);
  std::move(blocks.begin(), blocks.end(), std::back_inserter(records));
  return records;
}

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
  checkpoints_.reserve((source.size() >> kBlockShift) + 1);
  std::uint64_t units = 0;
  for (std::size_t i = 0; i < source.size(); ++i) {
    if ((i & ((std::size_t{1} << kBlockShift) - 1)) == 0) checkpoints_.push_back(units);
    units += utf16_units_of_byte(static_cast<unsigned char>(source[i]));
  }
  if ((source.size() & ((std::size_t{1} << kBlockShift) - 1)) == 0) checkpoints_.push_back(units);
}

std::uint64_t Utf16PositionTable::operator()(std::uint64_t byte_offset) const {
  if (byte_offset > source_.size()) return byte_offset;
  const std::size_t block = static_cast<std::size_t>(byte_offset >> kBlockShift);
  std::uint64_t units = checkpoints_[block];
  for (std::size_t i = block << kBlockShift; i < byte_offset; ++i) {
    units += utf16_units_of_byte(static_cast<unsigned char>(source_[i]));
  }
  return units;
}

std::vector<PhraseResult> to_sorted_results(std::vector<PhraseData> records,
                                            std::string_view source_text) {
  const Utf16PositionTable table(source_text);
  std::vector<PhraseResult> results;
  results.reserve(records.size());
  for (PhraseData& record : records) results.push_back(to_result(std::move(record), table));
  std::stable_sort(results.begin(), results.end(), [](const auto& a, const auto& b) {
    return a.string_length > b.string_length;
  });
  return results;
}

std::string normalize_phrase(std::string_view raw) {
  NormalizedStream stream;
  stream.reset(raw, 0);
  stream.extend_to(raw.size());
  return std::string(stream.phrase());
}

// ---------------------------------------------------------------------------------------------
// Pipeline

std::vector<PhraseResult> process_test_string(std::string_view analysis_text,
                                              std::string_view source_text,
                                              std::span<const normalize::RemovedRange> removed_ranges,
                                              const FinderParams& params) {
  const std::span<const std::uint8_t> bytes(
      reinterpret_cast<const std::uint8_t*>(analysis_text.data()), analysis_text.size());
  auto sa = suffix_array::build_suffix_array_bytes_with_backend(
      bytes, suffix_array::SuffixArrayBackend::Auto);
  auto lcp = suffix_array::lcp_kasai<std::uint8_t>(bytes, sa);
  // Word starts are tested on the text itself (a word byte after a non-word byte), which is
  // exactly membership in tokenizer::word_starts; only the ends need a list.
  auto word_ends = tokenizer::word_ends(analysis_text);
  const auto sentences = sentence_splitter::sentence_boundary_offsets(analysis_text);
  const AnalysisIndex index{analysis_text, sa, lcp, word_ends, sentences};
  const HashKey& key = string_interner::process_hash_key();

  auto records = find_candidate_phrases(index, params, key);
  if (records.size() >= 2) records = eliminate_contained_phrases(std::move(records));
  if (records.size() >= 2) {
    records = interval_merger::merge_adjacent_phrases(std::move(records), analysis_text);
  }
  if (params.enable_block_detection) records = detect_blocks(std::move(records), index, params, key);
  // The suffix-array working set is no longer needed; release it before the results are built.
  suffix_array::SuffixArray().swap(sa);
  std::vector<std::uint64_t>().swap(lcp);
  std::vector<std::uint64_t>().swap(word_ends);

  translate_offsets(records, removed_ranges);
  return to_sorted_results(std::move(records), source_text);
}

}  // namespace quarnel::core::duplicate_finder
