#pragma once
// Wavelet matrix over bytes: eight rank bit vectors, level j holding bit 7 - j of every symbol.
// Level 0 is in sequence order; each later level is the previous one stably partitioned by the
// previous level's bit, zeros first. After all eight levels the symbols stand in order of their
// bit-reversed value, so following symbol c from position i through every level ends at
// symbol_start(c) + rank_c(i).

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "fm_index/rs_vec.hpp"

namespace quarnel::core::fm_index {

// Position on the next level of position i, whose level bit is `bit` (0 or 1) and which has `ones`
// one bits before it: behind all `zeros` zero bits when the bit is set, else among them. Chosen by
// a mask, since for data-dependent bits a branch would mispredict half the time.
[[nodiscard]] inline std::uint64_t next_level_position(std::uint64_t i, std::uint64_t ones,
                                                       std::uint64_t zeros,
                                                       std::uint64_t bit) noexcept {
  const std::uint64_t take_one = std::uint64_t{0} - bit;
  return ((zeros + ones) & take_one) | ((i - ones) & ~take_one);
}

class WaveletMatrix {
 public:
  static constexpr unsigned kLevels = 8;

  // The empty sequence.
  WaveletMatrix();
  // Consumes the buffer as working space.
  explicit WaveletMatrix(std::vector<std::uint8_t> symbols);
  // The matrix of a sequence with the given symbol counts whose eight levels, of
  // RsVec::line_count(len) lines each, lie one after another in `lines`; `keep` holds that memory.
  WaveletMatrix(std::span<const RsLine> lines, std::shared_ptr<const void> keep,
                const std::array<RsVec::Summary, kLevels>& levels,
                const std::array<std::uint64_t, 256>& counts);

  // The levels point into arena_, whose buffer a move carries along unchanged.
  WaveletMatrix(WaveletMatrix&&) noexcept = default;
  WaveletMatrix& operator=(WaveletMatrix&&) noexcept = default;
  WaveletMatrix(const WaveletMatrix&) = delete;
  WaveletMatrix& operator=(const WaveletMatrix&) = delete;
  ~WaveletMatrix() = default;

  [[nodiscard]] std::uint64_t len() const noexcept { return levels_[0].len(); }
  [[nodiscard]] const std::array<RsVec, kLevels>& levels() const noexcept { return levels_; }
  [[nodiscard]] std::uint64_t zeros(unsigned level) const noexcept { return zeros_[level]; }
  // Where the symbols equal to c begin after the last level.
  [[nodiscard]] std::uint64_t symbol_start(std::uint8_t c) const noexcept {
    return symbol_start_[c];
  }

  // The descent of a symbol that occurs, reduced to its branching levels: the levels where the
  // symbol's node (the range of symbols sharing its higher bits) holds both bit values. At every
  // other level all positions of the node move by one constant, so no rank is needed there.
  struct Path {
    std::uint64_t entry = 0;                     // added before the first branching level
    std::array<std::uint64_t, kLevels> after{};  // added after each branching level
    std::array<std::uint8_t, kLevels> level{};   // the branching levels, top down
    std::uint8_t steps = 0;
  };

  // nullptr when c does not occur.
  [[nodiscard]] const Path* path(std::uint8_t c) const noexcept {
    const std::uint16_t k = path_index_[c];
    return k == kNoPath ? nullptr : &paths_[k];
  }

  // The position reached from i, 0 <= i <= len(), by following symbol c through all levels.
  [[nodiscard]] std::uint64_t descend(std::uint8_t c, std::uint64_t i) const noexcept {
    const Path* p = path(c);
    if (p == nullptr) return symbol_start_[c];  // no occurrence: every position ends at its start
    i += p->entry;
    for (unsigned k = 0; k < p->steps; ++k) {
      const unsigned j = p->level[k];
      const std::uint64_t ones = levels_[j].rank1(i);
      i = next_level_position(i, ones, zeros_[j], (c >> (7 - j)) & 1U);
      i += p->after[k];
    }
    return i;
  }

  // One level of the descent of the symbol at a position: `node` starts at 1 and ends at
  // 256 + symbol, `i` starts at the position and ends where access_descend puts it. At a node
  // whose bits are all equal the bit and the step are known without reading the level; the read
  // is then pointed at position 0, whose lines stay cached, instead of branching, since which
  // nodes a walk meets is as unpredictable as the symbols.
  void access_step(unsigned j, unsigned& node, std::uint64_t& i) const noexcept {
    const std::uint8_t kind = node_kind_[node];
    const bool branching = kind == kBranching;
    const auto [read_bit, ones] = levels_[j].get_rank1(branching ? i : 0);
    const unsigned bit = branching ? static_cast<unsigned>(read_bit) : kind - 1U;
    const std::uint64_t shifted = i + node_shift_[node];
    i = branching ? next_level_position(i, ones, zeros_[j], bit) : shifted;
    node = 2 * node + bit;
  }

  // Starts loading what access_step(j, node, i) will read.
  void prefetch_step(unsigned j, unsigned node, std::uint64_t i) const noexcept {
    if (node_kind_[node] == kBranching) levels_[j].prefetch(i);
  }

  // Symbol at i < len() and the position it descends to.
  [[nodiscard]] std::pair<std::uint8_t, std::uint64_t> access_descend(
      std::uint64_t i) const noexcept {
    unsigned node = 1;
    for (unsigned j = 0; j < kLevels; ++j) access_step(j, node, i);
    return {static_cast<std::uint8_t>(node - 256), i};
  }

  [[nodiscard]] std::uint8_t access(std::uint64_t i) const noexcept {
    return access_descend(i).first;
  }

  // Occurrences of c among the first i symbols, 0 <= i <= len().
  [[nodiscard]] std::uint64_t rank(std::uint8_t c, std::uint64_t i) const noexcept {
    return descend(c, i) - symbol_start_[c];
  }

  [[nodiscard]] std::uint64_t heap_size() const noexcept;

  // Whether the levels agree with the symbol counts they were given: on every level, each node
  // (the symbols sharing their higher bits) holds as many one bits as its symbols imply. With
  // ranks that are right for each level's bits, this keeps every descent from a position in
  // [0, len()] inside its symbol's range, so that no walk leaves the arrays. 255 pairs of ranks.
  [[nodiscard]] bool follows_counts(const std::array<std::uint64_t, 256>& counts) const noexcept;

  // The lines of all eight levels, in level order.
  [[nodiscard]] std::span<const RsLine> lines() const noexcept { return lines_; }

 private:
  void set_symbol_starts(const std::array<std::uint64_t, 256>& counts);
  void build_paths(const std::array<std::uint64_t, 256>& counts);

  RsLineBuffer arena_;
  std::shared_ptr<const void> kept_;  // the memory of loaded levels, when not arena_
  std::span<const RsLine> lines_;
  std::array<RsVec, kLevels> levels_;
  std::array<std::uint64_t, kLevels> zeros_{};
  std::array<std::uint64_t, 256> symbol_start_{};
  static constexpr std::uint16_t kNoPath = 0xFFFF;
  // Nodes: (1 << level) | prefix of the symbols' higher bits; one of these kinds each.
  static constexpr std::uint8_t kBranching = 0;
  static constexpr std::uint8_t kAllZeros = 1;
  static constexpr std::uint8_t kAllOnes = 2;
  std::array<std::uint8_t, 256> node_kind_{};
  std::array<std::uint64_t, 256> node_shift_{};
  std::array<std::uint16_t, 256> path_index_{};
  std::vector<Path> paths_;  // one per occurring symbol
};

}  // namespace quarnel::core::fm_index
