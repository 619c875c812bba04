#include "persist/checksum.hpp"

#include <bit>
#include <cstring>

namespace quarnel::core::persist {
namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;

std::uint64_t load_le(const std::uint8_t* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

std::uint64_t mix_lane(std::uint64_t lane, std::uint64_t word) noexcept {
  return std::rotl(lane + word * kPrime2, 31) * kPrime1;
}

std::uint64_t avalanche(std::uint64_t h) noexcept {
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime1;
  return h ^ (h >> 32);
}

}  // namespace

void Checksum::round(const std::uint8_t* block) noexcept {
  for (int k = 0; k < 4; ++k) lanes_[k] = mix_lane(lanes_[k], load_le(block + 8 * k));
}

void Checksum::update(std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.empty()) return;  // an empty span may carry a null pointer, which memcpy must not get
  const std::uint8_t* p = bytes.data();
  std::size_t left = bytes.size();
  total_ += left;
  if (pending_len_ > 0) {
    const std::size_t take = std::min<std::size_t>(left, 32 - pending_len_);
    std::memcpy(pending_ + pending_len_, p, take);
    pending_len_ += take;
    p += take;
    left -= take;
    if (pending_len_ < 32) return;
    round(pending_);
    pending_len_ = 0;
  }
  for (; left >= 32; p += 32, left -= 32) round(p);
  std::memcpy(pending_, p, left);
  pending_len_ = left;
}

std::uint64_t Checksum::digest() const noexcept {
  std::uint64_t h = std::rotl(lanes_[0], 1) + std::rotl(lanes_[1], 7) + std::rotl(lanes_[2], 12) +
                    std::rotl(lanes_[3], 18);
  for (int k = 0; k < 4; ++k) h = (h ^ mix_lane(0, lanes_[k])) * kPrime1 + kPrime2;
  // The tail: whole words, then single bytes, each folded in with its position.
  std::uint64_t i = 0;
  for (; i + 8 <= pending_len_; i += 8)
    h = std::rotl(h ^ mix_lane(0, load_le(pending_ + i)), 27) * kPrime1 + kPrime2;
  for (; i < pending_len_; ++i) h = std::rotl(h ^ (pending_[i] * kPrime2), 11) * kPrime1;
  return avalanche(h ^ total_);
}

std::uint64_t checksum64(std::span<const std::uint8_t> bytes) noexcept {
  Checksum c;
  c.update(bytes);
  return c.digest();
}

}  // namespace quarnel::core::persist
