#pragma once
// Wavelet matrix over bytes: eight rank bit vectors, level j holding bit 7 - j of every symbol.
// Level 0 is in sequence order; each later level is the previous one stably partitioned by the
// previous level's bit, zeros first. After all eight levels the symbols stand in order of their
// bit-reversed value, so following symbol c from position i through every level ends at
// symbol_start(c) + rank_c(i).

#include <array>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "fm_index/rs_vec.hpp"

namespace quarnel::core::fm_index {

class WaveletMatrix {
 public:
  static constexpr unsigned kLevels = 8;

  // The empty sequence.
  WaveletMatrix();
  // Consumes the buffer as working space.
  explicit WaveletMatrix(std::vector<std::uint8_t> symbols);

  [[nodiscard]] std::uint64_t len() const noexcept { return levels_[0].len(); }
  [[nodiscard]] const std::array<RsVec, kLevels>& levels() const noexcept { return levels_; }
  [[nodiscard]] std::uint64_t zeros(unsigned level) const noexcept { return zeros_[level]; }
  // Where the symbols equal to c begin after the last level.
  [[nodiscard]] std::uint64_t symbol_start(std::uint8_t c) const noexcept {
    return symbol_start_[c];
  }

  // The position reached from i, 0 <= i <= len(), by following symbol c through all levels.
  [[nodiscard]] std::uint64_t descend(std::uint8_t c, std::uint64_t i) const noexcept {
    for (unsigned j = 0; j < kLevels; ++j) {
      const std::uint64_t ones = levels_[j].rank1(i);
      i = ((c >> (7 - j)) & 1U) != 0 ? zeros_[j] + ones : i - ones;
    }
    return i;
  }

  // Symbol at i < len() and the position it descends to; one block read per level.
  [[nodiscard]] std::pair<std::uint8_t, std::uint64_t> access_descend(
      std::uint64_t i) const noexcept {
    unsigned c = 0;
    for (unsigned j = 0; j < kLevels; ++j) {
      const auto [bit, ones] = levels_[j].get_rank1(i);
      c = (c << 1) | static_cast<unsigned>(bit);
      i = bit ? zeros_[j] + ones : i - ones;
    }
    return {static_cast<std::uint8_t>(c), i};
  }

  [[nodiscard]] std::uint8_t access(std::uint64_t i) const noexcept {
    return access_descend(i).first;
  }

  // Occurrences of c among the first i symbols, 0 <= i <= len().
  [[nodiscard]] std::uint64_t rank(std::uint8_t c, std::uint64_t i) const noexcept {
    return descend(c, i) - symbol_start_[c];
  }

  [[nodiscard]] std::uint64_t heap_size() const noexcept;

 private:
  std::array<RsVec, kLevels> levels_;
  std::array<std::uint64_t, kLevels> zeros_{};
  std::array<std::uint64_t, 256> symbol_start_{};
};

}  // namespace quarnel::core::fm_index
