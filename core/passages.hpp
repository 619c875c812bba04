#pragma once
// placeholder: replaced by the passages branch
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>
namespace quarnel::core::passages {
struct PassageParams {
  std::uint64_t min_words = 8;
  std::uint64_t min_chars = 0;
};
struct Passages {
  std::vector<std::uint64_t> words;
  std::vector<std::uint64_t> first{0};
  std::vector<std::uint32_t> document;
  std::vector<std::uint64_t> start;
  std::vector<std::uint64_t> end;
};
[[nodiscard]] Passages find_passages(std::span<const std::string_view> documents,
                                     const PassageParams& params);
}
