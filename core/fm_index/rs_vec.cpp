#include "fm_index/rs_vec.hpp"

#include <algorithm>

#include "base/errors.hpp"

namespace quarnel::core::fm_index {

RsVec::RsVec(const BitVec& bits) : owned_(line_count(bits.len())) {
  build(bits, owned_);
}

RsVec::RsVec(const BitVec& bits, std::span<RsLine> storage) {
  build(bits, storage);
}

RsLine RsVec::count_line(std::span<const RsLine> blocks, std::uint64_t& ones) noexcept {
  std::array<std::uint16_t, 32> fields{};
  fields[0] = static_cast<std::uint16_t>(ones);
  fields[1] = static_cast<std::uint16_t>(ones >> 16);
  fields[2] = static_cast<std::uint16_t>(ones >> 32);
  std::uint64_t relative = 0;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    for (const std::uint64_t w : blocks[b].words) relative += std::popcount(w);
    fields[4 + b] = static_cast<std::uint16_t>(relative);
  }
  RsLine line;
  for (std::uint64_t k = 0; k < 8; ++k) {
    std::uint64_t packed = 0;
    for (std::uint64_t f = 0; f < 4; ++f) {
      packed |= static_cast<std::uint64_t>(fields[4 * k + f]) << (16 * f);
    }
    line.words[k] = packed;
  }
  ones += relative;
  return line;
}

bool RsVec::group_is_valid(std::span<const RsLine> storage, std::uint64_t len, std::uint64_t group,
                           std::uint64_t& ones) noexcept {
  const auto [first, last] = group_blocks(len, group);
  const std::span<const RsLine> blocks = storage.subspan(first, last - first);
  // Only the last block of the vector holds bits past len (a whole block of them when len is a
  // multiple of the block size).
  if (last == block_count(len)) {
    const std::uint64_t valid = len - (last - 1) * kBlockBits;
    const RsLine& tail = blocks.back();
    for (std::uint64_t k = 0; k < 8; ++k) {
      const std::uint64_t from = 64 * k;
      const std::uint64_t keep = valid <= from        ? 0
                                 : valid >= from + 64 ? ~std::uint64_t{0}
                                                      : (std::uint64_t{1} << (valid - from)) - 1;
      if ((tail.words[k] & ~keep) != 0) return false;
    }
  }
  const RsLine expected = count_line(blocks, ones);
  return expected.words == storage[block_count(len) + group].words;
}

bool RsVec::summary_fits(const Summary& s, std::uint64_t ones,
                         std::span<const RsLine> storage) noexcept {
  if (ones > s.len || s.zeros != s.len - ones) return false;
  const std::uint64_t fewer = std::min(s.zeros, ones);
  if (s.near_constant != (fewer <= 1) || s.majority != (ones >= s.zeros && ones > 0)) return false;
  if (!s.near_constant || fewer == 0) return s.exception == ~std::uint64_t{0};
  // One bit differs from the majority: it must be the one named.
  if (s.exception >= s.len) return false;
  const bool bit =
      (storage[s.exception >> 9].words[(s.exception >> 6) & 7] >> (s.exception & 63)) & 1U;
  return bit != s.majority;
}

void RsVec::build(const BitVec& bits, std::span<RsLine> storage) {
  len_ = bits.len();
  if (len_ >= (std::uint64_t{1} << 48)) throw InternalError("RsVec: bit vector too long");
  const std::uint64_t block_total = block_count(len_);
  const std::uint64_t line_total = count_line_count(len_);
  if (storage.size() < block_total + line_total) throw InternalError("RsVec: storage too small");
  RsLine* blocks = storage.data();
  RsLine* counts = blocks + block_total;

  const auto words = bits.words();
  const std::uint64_t used_words = (len_ + 63) / 64;
  const std::uint64_t tail_mask =
      (len_ & 63) == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << (len_ & 63)) - 1;
  for (std::uint64_t b = 0; b < block_total; ++b) {
    for (std::uint64_t k = 0; k < 8; ++k) {
      const std::uint64_t i = 8 * b + k;
      std::uint64_t w = i < used_words ? words[i] : 0;
      if (i + 1 == used_words) w &= tail_mask;
      blocks[b].words[k] = w;
    }
  }

  std::uint64_t ones = 0;
  for (std::uint64_t g = 0; g < line_total; ++g) {
    const auto [first, last] = group_blocks(len_, g);
    counts[g] = count_line(std::span<const RsLine>(blocks + first, last - first), ones);
  }
  zeros_ = len_ - ones;
  blocks_ = blocks;
  counts_ = counts;

  near_constant_ = std::min(zeros_, ones) <= 1;
  majority_ = ones >= zeros_ && ones > 0;
  exception_ = ~std::uint64_t{0};
  if (near_constant_ && std::min(zeros_, ones) == 1) {
    for (std::uint64_t i = 0; i < used_words; ++i) {
      std::uint64_t differing = majority_ ? ~words[i] : words[i];
      if (i + 1 == used_words) differing &= tail_mask;
      if (differing != 0) {
        exception_ = 64 * i + static_cast<std::uint64_t>(std::countr_zero(differing));
        break;
      }
    }
  }
}

}  // namespace quarnel::core::fm_index
