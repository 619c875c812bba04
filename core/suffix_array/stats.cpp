#include "suffix_array/stats.hpp"

#include <vector>

#include "suffix_array/construction.hpp"
#include "suffix_array/lcp.hpp"
#include "text/utf.hpp"

namespace quarnel::core::suffix_array {

std::uint64_t distinct_substring_count(std::string_view utf8_text) {
  const std::vector<std::uint16_t> units = utf::utf8_to_utf16(utf8_text);
  const std::uint64_t n = units.size();
  const SuffixArray sa = build_sa_sais_u16(units);
  const std::vector<std::uint64_t> lcp = lcp_kasai<std::uint16_t>(units, sa);
  std::uint64_t shared = 0;
  for (const std::uint64_t v : lcp) shared += v;
  // n(n+1)/2 without overflowing the intermediate product first.
  const std::uint64_t total = (n % 2 == 0) ? (n / 2) * (n + 1) : n * ((n + 1) / 2);
  return total - shared;
}

std::string longest_common_substring(std::string_view utf8_a, std::string_view utf8_b) {
  const std::vector<std::uint16_t> a = utf::utf8_to_utf16(utf8_a);
  const std::vector<std::uint16_t> b = utf::utf8_to_utf16(utf8_b);
  if (a.empty() || b.empty()) return {};
  // Units shifted up by 2 around a unique separator 1; the end of the string is the sentinel.
  std::vector<std::uint32_t> joined;
  joined.reserve(a.size() + b.size() + 1);
  for (const auto u : a) joined.push_back(std::uint32_t{u} + 2);
  joined.push_back(1);
  for (const auto u : b) joined.push_back(std::uint32_t{u} + 2);
  const std::uint64_t sep = a.size();
  const SuffixArray sa = build_sa_sais_u32(joined, 65538);
  const std::vector<std::uint64_t> lcp = lcp_kasai<std::uint32_t>(joined, sa);
  std::uint64_t best = 0, pos = 0;
  for (std::size_t r = 0; r + 1 < sa.size(); ++r) {
    const std::uint64_t x = sa[r], y = sa[r + 1];
    const bool crosses = (x < sep && y > sep) || (x > sep && y < sep);
    if (crosses && lcp[r + 1] > best) {
      best = lcp[r + 1];
      pos = y;
    }
  }
  if (best == 0) return {};
  std::vector<std::uint16_t> units(best);
  for (std::uint64_t k = 0; k < best; ++k)
    units[k] = static_cast<std::uint16_t>(joined[pos + k] - 2);
  return utf::utf16_to_utf8_lossy(units.data(), units.size());
}

}  // namespace quarnel::core::suffix_array
