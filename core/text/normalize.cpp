#include "text/normalize.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/errors.hpp"
#include "base/swar.hpp"
#include "text/utf.hpp"
#include "text/white_space.hpp"

namespace quarnel::core::normalize {

namespace {

// Lower-cases the ASCII capitals of eight bytes at once. The range test runs on the low seven
// bits of each byte; bytes with bit 7 set are no capitals.
inline std::uint64_t lowercase_word(std::uint64_t w) {
  const std::uint64_t capitals = swar::in_range(w & (0x7F * swar::kLowBits), 'A', 'Z') & ~w;
  return w | (capitals >> 2);
}

inline void lowercase_words(char* p, std::size_t words) {
  for (std::size_t k = 0; k < words; ++k) {
    std::uint64_t w;
    std::memcpy(&w, p + 8 * k, 8);
    w = lowercase_word(w);
    std::memcpy(p + 8 * k, &w, 8);
  }
}

constexpr std::array<bool, 256> make_whitespace_table() {
  std::array<bool, 256> t{};
  for (unsigned c = 0; c < t.size(); ++c) {
    t[c] = white_space::is_collapsible_byte(static_cast<unsigned char>(c));
  }
  return t;
}
constexpr std::array<bool, 256> kCollapsible = make_whitespace_table();

inline bool is_collapsible(char c) {
  return kCollapsible[static_cast<unsigned char>(c)];
}

std::size_t end_of_whitespace_run(std::string_view text, std::size_t i) {
  while (i < text.size() && is_collapsible(text[i])) ++i;
  return i;
}

// Step: a whitespace run at the start of the text is removed without leaving a space.
std::size_t remove_leading_run(std::string_view text, std::vector<RemovedRange>& ranges) {
  const std::size_t k = end_of_whitespace_run(text, 0);
  if (k > 0) ranges.push_back({0, k});
  return k;
}

struct InnerScan {
  std::size_t out_len = 0;
  std::size_t last_space = 0;
};

// Step: each later run keeps one space at its first byte; the rest of the run is one range.
InnerScan collapse_inner_runs(std::string_view text, std::size_t from, char* out,
                              std::vector<RemovedRange>& ranges) {
  InnerScan scan;
  bool in_run = false;
  std::size_t i = from;
  const std::size_t n = text.size();
  while (i < n) {
    const char b = text[i];
    const bool ws = is_collapsible(b);
    if (ws && in_run) [[unlikely]] {
      const std::size_t j = end_of_whitespace_run(text, i);
      ranges.push_back({i, j});
      i = j;
      continue;
    }
    // Written without branches on the byte's class: word edges in prose defeat prediction.
    out[scan.out_len++] = ws ? ' ' : b;
    scan.last_space = ws ? i : scan.last_space;
    in_run = ws;
    ++i;
  }
  return scan;
}

// Step: a space left at the very end is dropped too. Its range comes after its run's tail range.
void drop_trailing_space(std::string& out, std::size_t last_space,
                         std::vector<RemovedRange>& ranges) {
  if (!out.empty() && out.back() == ' ') {
    out.pop_back();
    ranges.push_back({last_space, last_space + 1});
  }
}

}  // namespace

void ascii_lowercase_in_place(std::span<char> bytes) {
  char* p = bytes.data();
  std::size_t n = bytes.size();
  // Blocks of 64 bytes give the compiler eight independent words to interleave or vectorise.
  const std::size_t blocks = n / 64;
  lowercase_words(p, blocks * 8);
  p += blocks * 64;
  n -= blocks * 64;
  lowercase_words(p, n / 8);
  p += (n / 8) * 8;
  n %= 8;
  for (std::size_t k = 0; k < n; ++k) {
    const auto b = static_cast<unsigned char>(p[k]);
    if (b >= 'A' && b <= 'Z') p[k] = static_cast<char>(b | 0x20);
  }
}

NormalizedText collapse_whitespace(std::string_view text) {
  NormalizedText result;
  result.text.resize(text.size());  // the output never grows, so one reservation suffices
  const std::size_t start = remove_leading_run(text, result.removed_ranges);
  const InnerScan scan =
      collapse_inner_runs(text, start, result.text.data(), result.removed_ranges);
  result.text.resize(scan.out_len);
  drop_trailing_space(result.text, scan.last_space, result.removed_ranges);
  if (!utf::is_valid_utf8(result.text)) {
    throw InternalError("collapse_whitespace produced invalid UTF-8");
  }
  result.deltas = build_cumulative_deltas(result.removed_ranges);
  result.lowercased = false;
  return result;
}

NormalizedText normalize_text(std::string_view text, bool case_insensitive,
                              bool collapse_whitespace) {
  if (!case_insensitive) {
    if (collapse_whitespace) return normalize::collapse_whitespace(text);
    return NormalizedText{std::string(text), {}, {}, false};
  }
  if (!collapse_whitespace) {
    std::string lowered(text);
    ascii_lowercase_in_place(lowered);
    return NormalizedText{std::move(lowered), {}, {}, true};
  }
  // Lower-casing touches only 'A'..'Z', never a whitespace byte, so it commutes with collapsing;
  // lowering the collapsed copy in place saves a second text-sized buffer and pass.
  NormalizedText result = normalize::collapse_whitespace(text);
  ascii_lowercase_in_place(result.text);
  result.lowercased = true;
  return result;
}

std::vector<RemovedRange> sanitize_ranges(std::span<const RemovedRange> ranges) {
  std::vector<RemovedRange> sorted;
  sorted.reserve(ranges.size());
  for (const RemovedRange& r : ranges) sorted.push_back({r.start, std::max(r.start, r.end)});
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const RemovedRange& a, const RemovedRange& b) { return a.start < b.start; });

  std::vector<RemovedRange> out;
  out.reserve(sorted.size());
  for (const RemovedRange& r : sorted) {
    if (!out.empty() && r.start < out.back().end) {
      out.back().end = std::max(out.back().end, r.end);
    } else {
      out.push_back(r);
    }
  }
  return out;
}

std::vector<CumulativeDelta> build_cumulative_deltas(std::span<const RemovedRange> ranges) {
  std::vector<CumulativeDelta> deltas;
  if (ranges.empty()) return deltas;
  const std::vector<RemovedRange> canonical = sanitize_ranges(ranges);
  deltas.reserve(canonical.size());
  std::uint64_t cum = 0;
  for (const RemovedRange& r : canonical) {
    const std::uint64_t len = r.end - r.start;
    deltas.push_back({r.start - cum, cum + len});
    cum += len;
  }
  return deltas;
}

std::uint64_t map_to_source(std::span<const CumulativeDelta> deltas, std::uint64_t offset) {
  // Entries sharing a position all count as lying before an offset at that position.
  const auto after =
      std::upper_bound(deltas.begin(), deltas.end(), offset,
                       [](std::uint64_t x, const CumulativeDelta& d) { return x < d.position; });
  if (after == deltas.begin()) return offset;
  return offset + std::prev(after)->cumulative;
}

}  // namespace quarnel::core::normalize
