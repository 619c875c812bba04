#include "fm_index/wavelet_matrix.hpp"

#include <algorithm>

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
  for (std::uint64_t w = 0; w < full; ++w) {
    const std::uint8_t* s = symbols + 64 * w;
    std::uint64_t word = 0;
    for (unsigned q = 0; q < 64; ++q) word |= static_cast<std::uint64_t>((s[q] >> bit) & 1U) << q;
    words[w] = word;
  }
  if (n % 64 != 0) {
    std::uint64_t word = 0;
    for (std::uint64_t q = 0; q < n % 64; ++q) {
      word |= static_cast<std::uint64_t>((symbols[64 * full + q] >> bit) & 1U) << q;
    }
    words[full] = word;
  }
}

// Stable partition by bit `bit`: symbols with the bit clear go to out[0 ..), the others to
// out[zeros ..). One store per symbol, its target picked without a branch.
void partition_by_bit(const std::uint8_t* in, std::uint64_t n, unsigned bit, std::uint64_t zeros,
                      std::uint8_t* out) {
  std::uint64_t zero_pos = 0;
  std::uint64_t one_pos = zeros;
  for (std::uint64_t p = 0; p < n; ++p) {
    const std::uint8_t c = in[p];
    const std::uint64_t set = (c >> bit) & 1U;
    out[set != 0 ? one_pos : zero_pos] = c;
    one_pos += set;
    zero_pos += set ^ 1U;
  }
}

}  // namespace

WaveletMatrix::WaveletMatrix() = default;

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
  std::array<std::uint8_t, 256> by_reversed{};
  for (unsigned c = 0; c < 256; ++c) by_reversed[reverse_bits(static_cast<std::uint8_t>(c))] =
      static_cast<std::uint8_t>(c);
  std::uint64_t start = 0;
  for (const std::uint8_t c : by_reversed) {
    symbol_start_[c] = start;
    start += counts[c];
  }

  std::vector<std::uint8_t> next(kLevels > 1 ? n : 0);
  for (unsigned j = 0; j < kLevels; ++j) {
    const unsigned bit = 7 - j;
    BitVec bits = BitVec::zeros(n);
    pack_bits(symbols.data(), n, bit, bits.mutable_words());
    levels_[j] = RsVec(bits);
    if (j + 1 < kLevels) {
      partition_by_bit(symbols.data(), n, bit, zeros_[j], next.data());
      symbols.swap(next);
    }
  }
}

std::uint64_t WaveletMatrix::heap_size() const noexcept {
  std::uint64_t total = 0;
  for (const RsVec& level : levels_) total += level.heap_size();
  return total;
}

}  // namespace quarnel::core::fm_index
