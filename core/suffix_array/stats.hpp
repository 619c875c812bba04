#pragma once
// Substring statistics over the UTF-16 code units of a text.

#include <cstdint>
#include <string>
#include <string_view>

namespace quarnel::core::suffix_array {

// Number of distinct non-empty code-unit substrings: n(n+1)/2 minus the LCP sum (wrapping u64).
[[nodiscard]] std::uint64_t distinct_substring_count(std::string_view utf8_text);

// The smallest (in code-unit order) of the longest common code-unit substrings, decoded with
// U+FFFD for surrogates left unpaired; empty when the texts share nothing.
[[nodiscard]] std::string longest_common_substring(std::string_view utf8_a,
                                                   std::string_view utf8_b);

}  // namespace quarnel::core::suffix_array
