#include "fm_index/wavelet_matrix.hpp"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarnel::core::fm_index {
namespace {

constexpr std::uint8_t reverse_bits(std::uint8_t c) {
  std::uint8_t r = 0;
  for (unsigned b = 0; b < 8; ++b) r = static_cast<std::uint8_t>(r | (((c >> b) & 1U) << (7 - b)));
  return r;
}

// Packs bit `bit` of every symbol into 64-bit words, 64 symbols per word, LSB first.
void pack_bits(const std::uint8_t* symbols, std::uint64_t n, unsigned bit,
               std::span<std::uint64_t> words) {
  const std::uint64_t full = n / 64;
#if defined(__SSE2__)
  // Shifting each 64-bit lane left by 7 - bit lifts every byte's bit into that byte's top bit
  // (lower bytes only spill into bits that movemask ignores).
  const __m128i lift = _mm_cvtsi32_si128(static_cast<int>(7 - bit));
  for (std::uint64_t w = 0; w < full; ++w) {
    const std::uint8_t* s = symbols + 64 * w;
    std::uint64_t word = 0;
    for (unsigned q = 0; q < 4; ++q) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16 * q));
      const auto mask = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_sll_epi64(v, lift)));
      word |= static_cast<std::uint64_t>(mask) << (16 * q);
    }
    words[w] = word;
  }
#else
  for (std::uint64_t w = 0; w < full; ++w) {
    const std::uint8_t* s = symbols + 64 * w;
    std::uint64_t word = 0;
    for (unsigned q = 0; q < 64; ++q) word |= static_cast<std::uint64_t>((s[q] >> bit) & 1U) << q;
    words[w] = word;
  }
#endif
  if (n % 64 != 0) {
    std::uint64_t word = 0;
    for (std::uint64_t q = 0; q < n % 64; ++q) {
      word |= static_cast<std::uint64_t>((symbols[64 * full + q] >> bit) & 1U) << q;
    }
    words[full] = word;
  }
}

// Stable partition by bit `bit`: symbols with the bit clear go to zeros_out, the others to
// ones_out. Every symbol is stored to both, and only the matching cursor advances: no branch and
// no data-dependent address, so the loop runs at store throughput. Both outputs need one byte of
// slack past their final length.
void partition_by_bit(const std::uint8_t* in, std::uint64_t n, unsigned bit,
                      std::uint8_t* zeros_out, std::uint8_t* ones_out) {
  std::uint64_t zero_pos = 0;
  std::uint64_t one_pos = 0;
  for (std::uint64_t p = 0; p < n; ++p) {
    const std::uint8_t c = in[p];
    const std::uint64_t set = (c >> bit) & 1U;
    zeros_out[zero_pos] = c;
    ones_out[one_pos] = c;
    one_pos += set;
    zero_pos += set ^ 1U;
  }
}

}  // namespace

WaveletMatrix::WaveletMatrix() {
  path_index_.fill(kNoPath);
}

WaveletMatrix::WaveletMatrix(std::vector<std::uint8_t> symbols) {
  const std::uint64_t n = symbols.size();
  std::array<std::uint64_t, 256> counts{};
  for (const std::uint8_t c : symbols) ++counts[c];

  // A level's zero count depends only on the symbol multiset, not on the level's order.
  for (unsigned j = 0; j < kLevels; ++j) {
    std::uint64_t z = 0;
    for (unsigned c = 0; c < 256; ++c) {
      if (((c >> (7 - j)) & 1U) == 0) z += counts[c];
    }
    zeros_[j] = z;
  }
  set_symbol_starts(counts);

  // All eight levels in one allocation: large enough for huge pages from a few hundred KiB of
  // text on, where eight separate levels would each stay below the huge page size.
  const std::uint64_t lines_per_level = RsVec::line_count(n);
  arena_.resize(kLevels * lines_per_level);

  std::vector<std::uint8_t> next(n + 1);
  std::vector<std::uint8_t> ones_part;
  for (unsigned j = 0; j < kLevels; ++j) {
    const unsigned bit = 7 - j;
    BitVec bits = BitVec::zeros(n);
    pack_bits(symbols.data(), n, bit, bits.mutable_words());
    levels_[j] = RsVec(bits, std::span(arena_).subspan(j * lines_per_level, lines_per_level));
    if (j + 1 < kLevels) {
      const std::uint64_t z = zeros_[j];
      ones_part.resize(n - z + 1);
      partition_by_bit(symbols.data(), n, bit, next.data(), ones_part.data());
      std::copy_n(ones_part.data(), n - z, next.data() + z);
      symbols.resize(n + 1);
      symbols.swap(next);
    }
  }
  lines_ = arena_;
  build_paths(counts);
}

WaveletMatrix::WaveletMatrix(std::span<const RsLine> lines, std::shared_ptr<const void> keep,
                             const std::array<RsVec::Summary, kLevels>& levels,
                             const std::array<std::uint64_t, 256>& counts)
    : kept_(std::move(keep)), lines_(lines) {
  const std::uint64_t per_level = RsVec::line_count(levels[0].len);
  for (unsigned j = 0; j < kLevels; ++j) {
    levels_[j] = RsVec::over(levels[j], lines.subspan(j * per_level, per_level));
    zeros_[j] = levels[j].zeros;
  }
  set_symbol_starts(counts);
  build_paths(counts);
}

void WaveletMatrix::set_symbol_starts(const std::array<std::uint64_t, 256>& counts) {
  std::array<std::uint8_t, 256> by_reversed{};
  for (unsigned c = 0; c < 256; ++c)
    by_reversed[reverse_bits(static_cast<std::uint8_t>(c))] = static_cast<std::uint8_t>(c);
  std::uint64_t start = 0;
  for (const std::uint8_t c : by_reversed) {
    symbol_start_[c] = start;
    start += counts[c];
  }
}

namespace {

// Calls visit(j, node, start, size, ones) for every node of every level j, where `node` is
// (1 << j) | the symbols' higher j bits, [start, start + size) its range on level j and `ones`
// the number of its symbols whose level-j bit is set, all as the symbol counts imply.
template <class Visit>
void for_each_node(const std::array<std::uint64_t, 256>& counts, Visit&& visit) {
  for (unsigned j = 0; j < WaveletMatrix::kLevels; ++j) {
    // Level j is ordered by the bit-reversed j-bit prefix, so each node is one range of it.
    const unsigned nodes = 1U << j;
    std::vector<std::uint64_t> node_size(nodes, 0);
    std::vector<std::uint64_t> node_ones(nodes, 0);
    for (unsigned c = 0; c < 256; ++c) {
      const unsigned prefix = j == 0 ? 0 : c >> (8 - j);
      node_size[prefix] += counts[c];
      node_ones[prefix] += ((c >> (7 - j)) & 1U) != 0 ? counts[c] : 0;
    }
    std::uint64_t start = 0;
    for (unsigned r = 0; r < nodes; ++r) {
      unsigned prefix = 0;  // the node whose reversed prefix is r
      for (unsigned b = 0; b < j; ++b) prefix |= ((r >> b) & 1U) << (j - 1 - b);
      visit(j, nodes | prefix, start, node_size[prefix], node_ones[prefix]);
      start += node_size[prefix];
    }
  }
}

}  // namespace

bool WaveletMatrix::follows_counts(const std::array<std::uint64_t, 256>& counts) const noexcept {
  bool holds = true;
  for_each_node(counts, [&](unsigned j, unsigned, std::uint64_t start, std::uint64_t size,
                            std::uint64_t ones) {
    const RsVec& level = levels_[j];
    holds = holds && start + size <= level.len() &&
            level.rank1(start + size) - level.rank1(start) == ones;
  });
  return holds;
}

void WaveletMatrix::build_paths(const std::array<std::uint64_t, 256>& counts) {
  node_kind_.fill(kBranching);
  node_shift_.fill(0);
  for_each_node(counts, [&](unsigned j, unsigned node, std::uint64_t start, std::uint64_t size,
                            std::uint64_t ones) {
    if (size == 0 || (ones != 0 && ones != size)) return;
    // Every bit of the node is the same: rank1 is constant (bit 0) or grows with the position
    // (bit 1) across the node, so the step to the next level is a fixed shift.
    const std::uint64_t ones_before = levels_[j].rank1(start);
    if (ones == size) {
      node_kind_[node] = kAllOnes;
      node_shift_[node] = zeros_[j] + ones_before - start;
    } else {
      node_kind_[node] = kAllZeros;
      node_shift_[node] = std::uint64_t{0} - ones_before;
    }
  });

  path_index_.fill(kNoPath);
  paths_.clear();
  for (unsigned c = 0; c < 256; ++c) {
    if (counts[c] == 0) continue;
    path_index_[c] = static_cast<std::uint16_t>(paths_.size());
    Path& p = paths_.emplace_back();
    for (unsigned j = 0; j < kLevels; ++j) {
      const unsigned node = (1U << j) | (j == 0 ? 0 : c >> (8 - j));
      if (node_kind_[node] == kBranching) {
        p.level[p.steps++] = static_cast<std::uint8_t>(j);
      } else {
        (p.steps == 0 ? p.entry : p.after[p.steps - 1]) += node_shift_[node];
      }
    }
  }
}

std::uint64_t WaveletMatrix::heap_size() const noexcept {
  std::uint64_t total = 0;
  for (const RsVec& level : levels_) total += level.heap_size();
  return total;
}

}  // namespace quarnel::core::fm_index
