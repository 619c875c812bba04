#pragma once
// 64-bit checksum of saved indexes and of the texts they belong to. Four independent lanes of a
// multiply-rotate round keep the multiplier busy (about 10 GB/s), so checking a file costs little
// next to reading it. Every step is a bijection of the lane state, so a change confined to one
// 8-byte word always changes its lane; other damage goes unnoticed with probability about 2^-64.

#include <cstdint>
#include <span>

namespace quarnel::core::persist {

[[nodiscard]] std::uint64_t checksum64(std::span<const std::uint8_t> bytes) noexcept;

// Running form: equal to checksum64 of the concatenation of the parts fed, whatever their split.
class Checksum {
 public:
  void update(std::span<const std::uint8_t> bytes) noexcept;
  [[nodiscard]] std::uint64_t digest() const noexcept;

 private:
  void round(const std::uint8_t* block) noexcept;
  std::uint64_t lanes_[4] = {0x243F6A8885A308D3ULL, 0x13198A2E03707344ULL, 0xA4093822299F31D0ULL,
                             0x082EFA98EC4E6C89ULL};
  std::uint8_t pending_[32] = {};
  std::uint64_t pending_len_ = 0;
  std::uint64_t total_ = 0;
};

}  // namespace quarnel::core::persist
