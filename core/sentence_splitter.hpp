#pragma once
// Rule-based sentence boundary detection for English prose (and the terminators of a few other
// scripts): byte offsets of every line feed and of every inner sentence end.

#include <cstdint>
#include <string_view>
#include <vector>

namespace quarnel::core::sentence_splitter {

// Ascending, duplicate-free byte offsets into `text`.
[[nodiscard]] std::vector<std::uint64_t> sentence_boundary_offsets(std::string_view text);
[[nodiscard]] bool is_common_word(std::string_view word);
[[nodiscard]] bool is_title_abbreviation(std::string_view text);

}  // namespace quarnel::core::sentence_splitter
