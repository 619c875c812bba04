#include "fm_index/fm_index.hpp"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>
#include <string_view>

#include "base/interrupt.hpp"
#include "base/parallel.hpp"
#include "base/swar.hpp"
#include "suffix_array/construction.hpp"
#include "text/utf.hpp"

// Rank is popcount-bound, and the x86-64 baseline has no popcount instruction: the query loops
// get a popcnt clone picked at load time, with the baseline kept for older processors.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUARNEL_POPCOUNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define QUARNEL_POPCOUNT_CLONES
#endif

namespace quarnel::core::fm_index {
namespace {

bool contains_zero_byte(std::span<const std::uint8_t> data) {
  const std::uint8_t* p = data.data();
  std::size_t left = data.size();
  // Exact zero-byte test per word: only a zero byte borrows into its own high bit without having
  // had it set.
  for (; left >= 32; p += 32, left -= 32) {
    std::uint64_t w[4];
    std::memcpy(w, p, sizeof w);
    using swar::kLowBits;
    const std::uint64_t hits = ((w[0] - kLowBits) & ~w[0]) | ((w[1] - kLowBits) & ~w[1]) |
                               ((w[2] - kLowBits) & ~w[2]) | ((w[3] - kLowBits) & ~w[3]);
    if ((hits & swar::kHighBits) != 0) return true;
  }
  for (; left >= 8; p += 8, left -= 8) {
    const std::uint64_t w = swar::load8(p);
    if (((w - swar::kLowBits) & ~w & swar::kHighBits) != 0) return true;
  }
  return std::find(p, p + left, std::uint8_t{0}) != p + left;
}

std::span<const std::uint8_t> as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Fills the BWT and the samples from the suffix array of the text without its sentinel: the
// sentinel suffix is the smallest, so row 0 holds position L and row r >= 1 holds sa[r - 1].
template <class Pos>
void bwt_and_samples(std::span<const std::uint8_t> text, const Pos* sa, unsigned shift,
                     unsigned word_size, std::vector<std::uint8_t>& bwt, BitVec& samples) {
  const std::uint64_t len = text.size();
  bwt[0] = len == 0 ? 0 : text[len - 1];
  // The text is read in suffix order, at random: fetch a few dozen rows ahead.
  constexpr std::uint64_t kAhead = 32;
  for (std::uint64_t r = 1; r <= len; ++r) {
    if (r + kAhead <= len) __builtin_prefetch(text.data() + sa[r + kAhead - 1]);
    const std::uint64_t p = sa[r - 1];
    bwt[r] = p == 0 ? 0 : text[p - 1];
  }
  const std::uint64_t mask = (std::uint64_t{1} << shift) - 1;
  samples.push_bits(len, word_size);
  for (std::uint64_t r = mask + 1; r <= len; r += mask + 1) {
    samples.push_bits(sa[r - 1], word_size);
  }
}

}  // namespace

unsigned bit_length(std::uint64_t n) noexcept {
  return static_cast<unsigned>(64 - std::countl_zero(n));
}

std::uint64_t effective_sampling_level(std::uint64_t n, std::uint64_t requested) noexcept {
  return n > (std::uint64_t{1} << (requested % 64)) ? requested : 0;
}

FMIndexBackend::FMIndexBackend(std::span<const std::uint8_t> text, std::uint64_t level) {
  const std::uint64_t len = text.size();
  const std::uint64_t n = len + 1;

  std::array<std::uint64_t, 256> counts{};
  counts[0] = 1;  // the sentinel
  for (const std::uint8_t c : text) ++counts[c];
  std::exclusive_scan(counts.begin(), counts.end(), c_array_.begin(), std::uint64_t{0});

  sampled_sa_.level = effective_sampling_level(n, level);
  sampled_sa_.word_size = bit_length(n);
  sampled_sa_.sa_len = n;
  const unsigned shift = sampled_sa_.shift();
  const unsigned word_size = static_cast<unsigned>(sampled_sa_.word_size);
  sampled_sa_.samples.reserve_bits(sampled_sa_.sample_count() * word_size);

  std::vector<std::uint8_t> bwt(n);
  if (len <= 1) {
    const std::uint32_t sa[1] = {0};
    bwt_and_samples(text, sa, shift, word_size, bwt, sampled_sa_.samples);
  } else if (len <= suffix_array::kDivSufSortMaxLength) {
    // libdivsufsort straight into 32-bit entries: half the memory of the 64-bit toolkit result.
    std::vector<saidx_t> sa(len);
    suffix_array::sort_with_libdivsufsort(text, reinterpret_cast<std::int32_t*>(sa.data()));
    bwt_and_samples(text, sa.data(), shift, word_size, bwt, sampled_sa_.samples);
  } else {
    const auto sa = suffix_array::build_suffix_array_bytes_with_backend(
        text, suffix_array::SuffixArrayBackend::Auto);
    bwt_and_samples(text, sa.data(), shift, word_size, bwt, sampled_sa_.samples);
  }
  interrupt::checkpoint();

  bwt_matrix_ = WaveletMatrix(std::move(bwt));
  set_lf_base();
}

FMIndexBackend::FMIndexBackend(const std::array<std::uint64_t, 256>& c_array,
                               SOSampledSuffixArray sampled_sa, WaveletMatrix bwt_matrix)
    : c_array_(c_array), sampled_sa_(std::move(sampled_sa)), bwt_matrix_(std::move(bwt_matrix)) {
  set_lf_base();
}

void FMIndexBackend::set_lf_base() noexcept {
  for (unsigned c = 0; c < 256; ++c) {
    lf_base_[c] = c_array_[c] - bwt_matrix_.symbol_start(static_cast<std::uint8_t>(c));
  }
}

QUARNEL_POPCOUNT_CLONES
RowInterval FMIndexBackend::search(std::span<const std::uint8_t> pattern) const noexcept {
  const std::uint64_t n = len();
  if (pattern.empty()) return {0, n};
  // From the full interval the last byte's step is just its bucket: lf(c, 0) = C[c] and
  // lf(c, n) = C[c] + occurrences of c = C[c + 1].
  std::size_t k = pattern.size() - 1;
  const unsigned last = pattern[k];
  std::uint64_t lo = c_array_[last];
  std::uint64_t hi = last == 255 ? n : c_array_[last + 1];
  if (lo == hi) return {lo, lo};
  const auto& levels = bwt_matrix_.levels();
  while (k-- > 0) {
    const unsigned c = pattern[k];
    const WaveletMatrix::Path* path = bwt_matrix_.path(static_cast<std::uint8_t>(c));
    if (path == nullptr) {  // c does not occur: lf(c, i) = C[c] for every i
      return {c_array_[c], c_array_[c]};
    }
    if (hi - lo == 1) {
      // A single row: hi's descent is lo's plus one exactly while the row's bits agree with c,
      // so one chain of block reads serves both ends.
      std::uint64_t agree = 1;
      lo += path->entry;
      for (unsigned step = 0; step < path->steps; ++step) {
        const unsigned j = path->level[step];
        const std::uint64_t bit = (c >> (7 - j)) & 1U;
        const auto [row_bit, ones] = levels[j].get_rank1(lo);
        agree &= static_cast<std::uint64_t>(row_bit) ^ bit ^ 1U;
        lo = next_level_position(lo, ones, bwt_matrix_.zeros(j), bit) + path->after[step];
      }
      lo += lf_base_[c];
      if (agree == 0) return {lo, lo};
      hi = lo + 1;
      continue;
    }
    lo += path->entry;
    hi += path->entry;
    // Both ends descend together so that their memory accesses overlap.
    for (unsigned step = 0; step < path->steps; ++step) {
      const unsigned j = path->level[step];
      const RsVec& level = levels[j];
      const std::uint64_t bit = (c >> (7 - j)) & 1U;
      const std::uint64_t z = bwt_matrix_.zeros(j);
      const std::uint64_t lo_ones = level.rank1(lo);
      const std::uint64_t hi_ones = level.rank1(hi);
      lo = next_level_position(lo, lo_ones, z, bit) + path->after[step];
      hi = next_level_position(hi, hi_ones, z, bit) + path->after[step];
    }
    lo += lf_base_[c];
    hi += lf_base_[c];
    if (lo == hi) return {lo, lo};
  }
  return {lo, hi};
}

namespace {

// The suffixes of a batch's patterns as a trie: node 0 is the empty string, and every other node
// is its parent's string preceded by one byte. Patterns sorted by their bytes read backwards share
// the nodes of their common suffix with the pattern before them, so that each distinct suffix is
// searched once, and the nodes of one depth, in the order they were made, have ascending rows.
class SuffixTrie {
 public:
  [[nodiscard]] std::size_t size() const noexcept { return parent_.size(); }
  [[nodiscard]] std::span<const std::uint32_t> parents() const noexcept { return parent_; }
  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return byte_; }

  // Adds the nodes of `pattern` beyond the suffix it shares with the pattern added before;
  // returns the pattern's node.
  std::uint32_t add(std::span<const std::uint8_t> pattern) {
    const std::size_t m = pattern.size();
    const std::size_t shared = common_suffix(last_, pattern);
    path_.resize(m + 1);
    for (std::size_t d = shared + 1; d <= m; ++d) {
      path_[d] = static_cast<std::uint32_t>(parent_.size());
      parent_.push_back(path_[d - 1]);
      byte_.push_back(pattern[m - d]);
      depth_.push_back(static_cast<std::uint32_t>(d));
    }
    deepest_ = std::max(deepest_, m);
    last_ = pattern;
    return path_[m];
  }

  // Node ids grouped by depth, ascending depths, each group in the order its nodes were made;
  // `starts[d]` is where the nodes of depth d begin.
  void by_depth(std::vector<std::uint32_t>& nodes, std::vector<std::size_t>& starts) const {
    starts.assign(deepest_ + 2, 0);
    for (const std::uint32_t d : depth_) ++starts[d + 1];
    for (std::size_t d = 1; d < starts.size(); ++d) starts[d] += starts[d - 1];
    nodes.resize(depth_.size());
    std::vector<std::size_t> fill(starts.begin(), starts.end() - 1);
    for (std::size_t v = 0; v < depth_.size(); ++v) {
      nodes[fill[depth_[v]]++] = static_cast<std::uint32_t>(v);
    }
  }

  void clear() {
    parent_.assign(1, 0);
    byte_.assign(1, 0);
    depth_.assign(1, 0);
    path_.assign(1, 0);
    deepest_ = 0;
    last_ = {};
  }

 private:
  static std::size_t common_suffix(std::span<const std::uint8_t> a,
                                   std::span<const std::uint8_t> b) noexcept {
    const std::size_t most = std::min(a.size(), b.size());
    std::size_t d = 0;
    while (d < most && a[a.size() - 1 - d] == b[b.size() - 1 - d]) ++d;
    return d;
  }

  std::vector<std::uint32_t> parent_{0};
  std::vector<std::uint8_t> byte_{0};
  std::vector<std::uint32_t> depth_{0};
  std::vector<std::uint32_t> path_{0};  // the nodes of the last pattern, by depth
  std::size_t deepest_ = 0;
  std::span<const std::uint8_t> last_;
};

// One backward step in flight: node `v` gets byte `c` before its parent's rows, and stands at
// branching level `step` of the descent of `c`.
struct StepLane {
  std::uint32_t v = 0;
  unsigned c = 0;
  const WaveletMatrix::Path* path = nullptr;
  unsigned step = 0;
  std::uint64_t lo = 0, hi = 0;
};

}  // namespace

QUARNEL_POPCOUNT_CLONES
void FMIndexBackend::extend_rows(std::span<const std::uint32_t> nodes,
                                 std::span<const std::uint32_t> parent,
                                 std::span<const std::uint8_t> byte,
                                 std::span<RowInterval> rows) const noexcept {
  // Up to kLanes steps advance together one branching level at a time. Each lane asks for the
  // lines of its next level as soon as it knows the position, and the other lanes' work runs
  // while they arrive, so that the cache misses of different steps overlap.
  constexpr std::size_t kLanes = 32;
  const auto& levels = bwt_matrix_.levels();
  const auto prefetch = [&](const StepLane& l) {
    const RsVec& level = levels[l.path->level[l.step]];
    level.prefetch(l.lo);
    level.prefetch(l.hi);
  };
  // Sets up the lane of node v; false when its rows are known without a rank.
  const auto start = [&](StepLane& l, std::uint32_t v) {
    const RowInterval from = rows[parent[v]];
    const unsigned c = byte[v];
    if (from.lo == from.hi) {
      rows[v] = {from.lo, from.lo};
      return false;
    }
    const WaveletMatrix::Path* path = bwt_matrix_.path(static_cast<std::uint8_t>(c));
    if (path == nullptr) {  // c does not occur: lf(c, i) = C[c] for every i
      rows[v] = {c_array_[c], c_array_[c]};
      return false;
    }
    l = StepLane{v, c, path, 0, from.lo + path->entry, from.hi + path->entry};
    if (path->steps > 0) {
      prefetch(l);
      return true;
    }
    rows[v] = {l.lo + lf_base_[c], l.hi + lf_base_[c]};
    return false;
  };

  std::array<StepLane, kLanes> lanes;
  std::size_t active = 0;
  std::size_t next = 0;
  while (true) {
    while (active < kLanes && next < nodes.size()) {
      if (start(lanes[active], nodes[next++])) ++active;
    }
    if (active == 0) break;
    for (std::size_t w = active; w-- > 0;) {
      StepLane& l = lanes[w];
      const unsigned j = l.path->level[l.step];
      const RsVec& level = levels[j];
      const std::uint64_t bit = (l.c >> (7 - j)) & 1U;
      const std::uint64_t z = bwt_matrix_.zeros(j);
      const std::uint64_t lo_ones = level.rank1(l.lo);
      const std::uint64_t hi_ones = level.rank1(l.hi);
      l.lo = next_level_position(l.lo, lo_ones, z, bit) + l.path->after[l.step];
      l.hi = next_level_position(l.hi, hi_ones, z, bit) + l.path->after[l.step];
      if (++l.step < l.path->steps) {
        prefetch(l);
        continue;
      }
      rows[l.v] = {l.lo + lf_base_[l.c], l.hi + lf_base_[l.c]};
      lanes[w] = lanes[--active];
    }
  }
}

void FMIndexBackend::count_batch(std::span<const std::uint8_t> bytes,
                                 std::span<const std::uint64_t> offsets,
                                 std::span<const std::uint32_t> order, std::size_t begin,
                                 std::size_t end, std::uint64_t* out,
                                 std::size_t trie_nodes) const {
  const std::uint64_t n = len();
  SuffixTrie trie;
  std::vector<std::uint64_t> waiting;  // patterns in the trie
  std::vector<std::uint32_t> node_of;  // and their nodes
  std::vector<std::uint32_t> nodes;
  std::vector<std::size_t> starts;
  std::vector<RowInterval> rows;
  // Searches the trie depth by depth (a node's parent is one level up) and answers its patterns.
  const auto answer = [&] {
    trie.by_depth(nodes, starts);
    rows.resize(trie.size());
    rows[0] = {0, n};
    for (std::size_t d = 1; d + 1 < starts.size(); ++d) {
      extend_rows(std::span(nodes).subspan(starts[d], starts[d + 1] - starts[d]), trie.parents(),
                  trie.bytes(), rows);
    }
    for (std::size_t i = 0; i < waiting.size(); ++i) out[waiting[i]] = rows[node_of[i]].size();
    trie.clear();
    waiting.clear();
    node_of.clear();
  };
  for (std::size_t i = begin; i < end; ++i) {
    const std::uint32_t k = order[i];
    const std::span<const std::uint8_t> pattern =
        bytes.subspan(offsets[k], offsets[k + 1] - offsets[k]);
    if (pattern.empty()) {
      out[k] = n - 1;
      continue;
    }
    if (pattern.size() >= trie_nodes) {
      out[k] = search(pattern).size();
      continue;
    }
    // A fuller trie is searched first and started anew.
    if (trie.size() + pattern.size() > trie_nodes) answer();
    node_of.push_back(trie.add(pattern));
    waiting.push_back(k);
  }
  answer();
}

QUARNEL_POPCOUNT_CLONES
std::uint64_t FMIndexBackend::get_sa(std::uint64_t row) const noexcept {
  const std::uint64_t mask = (std::uint64_t{1} << sampled_sa_.shift()) - 1;
  const std::uint64_t n = len();
  std::uint64_t steps = 0;
  while ((row & mask) != 0) {
    // A sound index reaches a sample within n - 1 steps, since its LF mapping is one cycle.
    if (steps == n) return kDamaged;
    const auto [c, descended] = bwt_matrix_.access_descend(row);
    row = lf_base_[c] + descended;
    ++steps;
  }
  const std::uint64_t sample = sampled_sa_.sample(row >> sampled_sa_.shift());
  return sample < n ? (sample + steps) % n : kDamaged;
}

QUARNEL_POPCOUNT_CLONES
FMIndexBackend::Walk FMIndexBackend::walk_rows(RowInterval rows,
                                               std::uint64_t* out) const noexcept {
  // Each row's walk to a sample is a chain of dependent cache misses. Up to kLanes walks advance
  // together, level by level, so that the misses of different walks overlap.
  constexpr std::size_t kLanes = 16;
  const unsigned shift = sampled_sa_.shift();
  const std::uint64_t mask = (std::uint64_t{1} << shift) - 1;
  // A sound index reaches a sample within n - 1 steps, since its LF mapping is one cycle; a
  // damaged one may send a walk round a cycle without samples.
  const std::uint64_t n = len();

  std::array<std::uint64_t, kLanes> row{};
  std::array<std::uint64_t, kLanes> steps{};
  std::array<std::uint64_t, kLanes> slot{};
  std::size_t lanes = 0;
  std::uint64_t next = rows.lo;
  for (std::size_t round = 1;; ++round) {
    // A walk of highly repetitive text can take millions of rounds, each some microseconds.
    if ((round & 0xFFF) == 0 && interrupt::stop_requested()) return Walk::Stopped;
    // Retire walks that stand on a sampled row, refilling their lanes from the interval.
    for (std::size_t w = 0; w < lanes;) {
      if ((row[w] & mask) != 0) {
        ++w;
        continue;
      }
      // Samples are checked here rather than at load, where they would cost a pass of their own.
      const std::uint64_t sample = sampled_sa_.sample(row[w] >> shift);
      if (sample >= n) return Walk::Damaged;
      out[slot[w]] = (sample + steps[w]) % n;
      --lanes;
      row[w] = row[lanes];
      steps[w] = steps[lanes];
      slot[w] = slot[lanes];
    }
    while (lanes < kLanes && next < rows.hi) {
      const std::uint64_t r = next++;
      const std::uint64_t s = r - rows.lo;
      if ((r & mask) == 0) {
        out[s] = sampled_sa_.sample(r >> shift);
        if (out[s] >= n) return Walk::Damaged;
        continue;
      }
      row[lanes] = r;
      steps[lanes] = 0;
      slot[lanes] = s;
      ++lanes;
    }
    if (lanes == 0) break;

    std::array<unsigned, kLanes> node;
    node.fill(1);
    for (unsigned j = 0; j < WaveletMatrix::kLevels; ++j) {
      // All lanes' reads of this level are requested before any of them is needed.
      for (std::size_t w = 0; w < lanes; ++w) bwt_matrix_.prefetch_step(j, node[w], row[w]);
      for (std::size_t w = 0; w < lanes; ++w) bwt_matrix_.access_step(j, node[w], row[w]);
    }
    std::uint64_t longest = 0;
    for (std::size_t w = 0; w < lanes; ++w) {
      row[w] += lf_base_[node[w] - 256];
      longest = std::max(longest, ++steps[w]);
    }
    if (longest >= n) return Walk::Damaged;
  }
  return Walk::Done;
}

// After walk_rows: clang lets a function become one of target clones only before its first use.
void FMIndexBackend::locate_rows(RowInterval rows, std::vector<std::uint64_t>& out) const {
  const std::size_t first_out = out.size();
  out.resize(first_out + rows.size());
  switch (walk_rows(rows, out.data() + first_out)) {
    case Walk::Done:
      return;
    case Walk::Stopped:
      throw interrupt::Interrupted();
    case Walk::Damaged:
      throw FMIndexError::damaged();
  }
}

std::uint64_t FMIndexBackend::heap_size() const noexcept {
  return sizeof(c_array_) + 8 * sampled_sa_.words().size() + bwt_matrix_.heap_size();
}

FMIndexError FMIndexError::null_byte() {
  return {Kind::NullByte, kNullByteMessage};
}

FMIndexError FMIndexError::damaged() {
  return {Kind::Damaged, kDamagedMessage};
}

FMIndexError FMIndexError::construction(const std::string& message) {
  return {Kind::Construction, kConstructionPrefix + message};
}

FMIndex build_fm_index(std::span<const std::uint8_t> data, std::uint64_t locate_level,
                       bool case_insensitive, bool normalize_whitespace) {
  if (!case_insensitive && !normalize_whitespace) {
    if (contains_zero_byte(data)) throw FMIndexError::null_byte();
    return FMIndex{FMIndexBackend(data, locate_level), {}, data.size(), false, locate_level};
  }
  if (!utf::is_valid_utf8({reinterpret_cast<const char*>(data.data()), data.size()}))
    throw FMIndexError::construction(kInvalidUtf8Message);
  normalize::NormalizedText prepared = normalize::normalize_text(
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), case_insensitive,
      normalize_whitespace);
  const auto text = as_bytes(prepared.text);
  if (contains_zero_byte(text)) throw FMIndexError::null_byte();
  return FMIndex{FMIndexBackend(text, locate_level), std::move(prepared.deltas), text.size(),
                 case_insensitive, locate_level};
}

std::vector<std::uint8_t> detail::folded_ascii(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> folded(bytes.begin(), bytes.end());
  for (std::uint8_t& b : folded) {
    if (b >= 'A' && b <= 'Z') b |= 0x20;
  }
  return folded;
}

namespace {

// Runs `use` on the query form of the pattern: ASCII letters folded to lower case when the index
// is case-insensitive, the pattern itself otherwise.
template <class Use>
auto with_query_pattern(const FMIndex& fm, std::span<const std::uint8_t> pattern, Use&& use) {
  if (!fm.case_insensitive) return use(pattern);
  return use(std::span<const std::uint8_t>(detail::folded_ascii(pattern)));
}

}  // namespace

std::uint64_t count(const FMIndex& fm, std::span<const std::uint8_t> pattern) {
  if (pattern.empty()) return fm.text_len;
  return with_query_pattern(fm, pattern, [&](std::span<const std::uint8_t> query) {
    return fm.index.search(query).size();
  });
}

std::vector<std::uint64_t> locate(const FMIndex& fm, std::span<const std::uint8_t> pattern) {
  std::vector<std::uint64_t> positions;
  if (pattern.empty()) {
    positions.resize(fm.text_len);
    std::iota(positions.begin(), positions.end(), std::uint64_t{0});
    return positions;
  }
  const RowInterval rows = with_query_pattern(
      fm, pattern, [&](std::span<const std::uint8_t> query) { return fm.index.search(query); });
  fm.index.locate_rows(rows, positions);
  if (!fm.deltas.empty()) {
    for (std::uint64_t& p : positions) p = normalize::map_to_source(fm.deltas, p);
  }
  return positions;
}

}  // namespace quarnel::core::fm_index
