#include "fm_index/rs_vec.hpp"

#include <algorithm>

#include "errors.hpp"

namespace quarnel::core::fm_index {

RsVec::RsVec() : RsVec(BitVec{}) {}

RsVec::RsVec(const BitVec& bits) : len_(bits.len()) {
  if (len_ >= (std::uint64_t{1} << 48)) throw InternalError("RsVec: bit vector too long");
  // One block more than the full blocks, so that rank(len) and every position below it have a
  // block to read even when len is a multiple of the block size.
  const std::uint64_t block_count = len_ / kBlockBits + 1;
  blocks_.resize(block_count);
  const auto words = bits.words();
  const std::uint64_t used_words = (len_ + 63) / 64;
  for (std::uint64_t i = 0; i < used_words; ++i) {
    std::uint64_t w = words[i];
    if (i + 1 == used_words && (len_ & 63) != 0) w &= (std::uint64_t{1} << (len_ & 63)) - 1;
    blocks_[i / 8].words[i % 8] = w;
  }

  counts_.resize((block_count + kBlocksPerGroup - 1) / kBlocksPerGroup);
  std::uint64_t ones = 0;
  for (std::uint64_t g = 0; g < counts_.size(); ++g) {
    CountLine& line = counts_[g];
    line.v.fill(0);
    line.v[0] = static_cast<std::uint16_t>(ones);
    line.v[1] = static_cast<std::uint16_t>(ones >> 16);
    line.v[2] = static_cast<std::uint16_t>(ones >> 32);
    const std::uint64_t first = g * kBlocksPerGroup;
    const std::uint64_t last = std::min(first + kBlocksPerGroup, block_count);
    std::uint64_t relative = 0;
    for (std::uint64_t b = first; b < last; ++b) {
      for (const std::uint64_t w : blocks_[b].words) relative += std::popcount(w);
      line.v[4 + (b - first)] = static_cast<std::uint16_t>(relative);
    }
    ones += relative;
  }
  zeros_ = len_ - ones;

  if (std::min(zeros_, ones) <= 1) {
    near_constant_ = true;
    majority_ = ones >= zeros_ && ones > 0;
    for (std::uint64_t i = 0; i < used_words && std::min(zeros_, ones) == 1; ++i) {
      std::uint64_t differing = majority_ ? ~words[i] : words[i];
      if (i + 1 == used_words && (len_ & 63) != 0) differing &= (std::uint64_t{1} << (len_ & 63)) - 1;
      if (differing != 0) {
        exception_ = 64 * i + static_cast<std::uint64_t>(std::countr_zero(differing));
        break;
      }
    }
  }
}

}  // namespace quarnel::core::fm_index
