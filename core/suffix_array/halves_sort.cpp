#include "suffix_array/halves_sort.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <limits>
#include <unordered_map>

#include "base/large_array.hpp"
#include "base/prefetch.hpp"
#include "base/swar.hpp"
#include "suffix_array/lcp.hpp"

namespace quarnel::core::suffix_array::detail {
namespace {

using Entry = std::uint32_t;

// Compares suffixes of the whole text. Pairs that agree for long come from a passage that occurs
// twice: the stretch walked for one pair at distance d, with its end, is kept, and answers every
// later pair at that distance that starts inside it. A passage in both halves is then walked a
// few times instead of once per suffix. Walking stops for good past the budget.
class SuffixOrder {
 public:
  SuffixOrder(std::span<const std::uint8_t> text, std::uint64_t budget)
      : text_(text), budget_(budget) {}

  // The common prefix length of the suffixes at p != q, known to be at least `from`.
  [[nodiscard]] std::size_t common_prefix(std::size_t p, std::size_t q, std::size_t from = 0) {
    const std::size_t lo = std::min(p, q);
    const std::size_t hi = std::max(p, q);
    const std::size_t limit = text_.size() - hi;
    const std::size_t quick = std::min(limit, from + kShort);
    const std::size_t k = equal_bytes(lo, hi, from, quick);
    if (k < quick || quick == limit) return k;
    return long_common_prefix(lo, hi, k, limit);
  }

  // Whether the suffix at a sorts before the one at b, given their common prefix k.
  [[nodiscard]] bool less_given(std::size_t a, std::size_t b, std::size_t k) const {
    const std::size_t hi = std::max(a, b);
    if (k == text_.size() - hi) return a == hi;  // the later suffix is a prefix of the other
    return text_[a + k] < text_[b + k];
  }

  [[nodiscard]] bool less(std::size_t a, std::size_t b) {
    return less_given(a, b, common_prefix(a, b));
  }

  [[nodiscard]] bool exhausted() const { return walked_ > budget_; }

 private:
  static constexpr std::size_t kShort = 64;
  static constexpr std::size_t kStretchesPerDistance = 32;
  struct Stretch {
    std::size_t begin, end;  // the text at x equals the text at x + d for x in [begin, end)
  };

  // The common prefix of the suffixes at lo < hi, known to be at least k, up to `limit`.
  [[gnu::noinline]] std::size_t long_common_prefix(std::size_t lo, std::size_t hi, std::size_t k,
                                                   std::size_t limit) {
    std::vector<Stretch>& stretches = stretches_[hi - lo];
    for (const Stretch& s : stretches) {
      if (s.begin <= lo && lo < s.end) return s.end - lo;
    }
    if (exhausted()) return k;  // the merge will be discarded; any answer ends it soon
    const std::size_t end = equal_bytes(lo, hi, k, limit);
    walked_ += end - k;
    if (stretches.size() < kStretchesPerDistance) stretches.push_back({lo, lo + end});
    return end;
  }

  // The first k in [from, to) where the suffixes at a and b differ, or `to`.
  [[nodiscard]] std::size_t equal_bytes(std::size_t a, std::size_t b, std::size_t from,
                                        std::size_t to) const {
    const std::uint8_t* t = text_.data();
    std::size_t k = from;
    for (; k + 8 <= to; k += 8) {
      const std::uint64_t x = swar::load8(t + a + k);
      const std::uint64_t y = swar::load8(t + b + k);
      if (x != y) {
        const std::uint64_t diff = x ^ y;
        const int zero_bits = std::endian::native == std::endian::little ? std::countr_zero(diff)
                                                                         : std::countl_zero(diff);
        return k + static_cast<std::size_t>(zero_bits) / 8;
      }
    }
    while (k < to && t[a + k] == t[b + k]) ++k;
    return k;
  }

  std::span<const std::uint8_t> text_;
  std::uint64_t budget_;
  std::uint64_t walked_ = 0;
  std::unordered_map<std::size_t, std::vector<Stretch>> stretches_;
};

// A split near `target` whose `tail` bytes before it occur nowhere else before it; 0 if none of
// the points tried qualifies (text made of one passage repeated).
std::size_t find_split(std::span<const std::uint8_t> text, std::size_t target, std::size_t tail) {
  constexpr std::size_t kStep = 4099;  // odd, so that periodic text is probed at other phases
  constexpr int kTries = 16;
  for (int i = 0; i < kTries; ++i) {
    const std::size_t offset = kStep * static_cast<std::size_t>((i + 1) / 2);
    if (i % 2 == 1 && offset > target) continue;
    const std::size_t m = i % 2 == 1 ? target - offset : target + offset;
    if (m < 2 * tail || m >= text.size()) continue;
    const auto* before = text.data();
    const auto* needle = text.data() + m - tail;
    // Occurrences that end before m: the needle itself ends at m.
    const auto* hit = std::search(before, before + m - 1,
                                  std::boyer_moore_horspool_searcher(needle, needle + tail));
    if (hit == before + m - 1) return m;
  }
  return 0;
}

// One half's arrays: entry k of `lcp` is the common prefix of suffixes k - 1 and k.
struct Half {
  std::vector<Entry> sa;
  std::vector<Entry> lcp;
};

Half sort_half(std::span<const std::uint8_t> text) {
  Half half{build_sa32(text), {}};
  half.lcp = lcp_kasai<std::uint8_t, Entry, Entry>(text, half.sa, parallel::Lanes::one());
  return half;
}

// Moves the first half's suffixes that start within `tail` bytes of the split out to `aside`.
// The LCP entry of a kept suffix becomes the least entry since the previous kept one.
std::vector<Entry> set_aside_near_split(Half& first, std::size_t split, std::size_t tail) {
  std::vector<Entry> aside;
  std::size_t kept = 0;
  Entry least = 0;
  for (std::size_t r = 0; r < first.sa.size(); ++r) {
    least = std::min(least, first.lcp[r]);
    const Entry p = first.sa[r];
    if (p + tail > split) {
      aside.push_back(p);
      continue;
    }
    first.sa[kept] = p;
    first.lcp[kept] = kept == 0 ? 0 : least;
    least = std::numeric_limits<Entry>::max();
    ++kept;
  }
  first.sa.resize(kept);
  first.lcp.resize(kept);
  return aside;
}

struct Run {
  std::span<const Entry> sa;
  std::span<const Entry> lcp;
  [[nodiscard]] Run from(std::size_t k) const { return {sa.subspan(k), lcp.subspan(k)}; }
  [[nodiscard]] Run first(std::size_t k) const { return {sa.first(k), lcp.first(k)}; }
};

// One thread's share of the merge: two runs, and the set-aside suffixes with their output slots.
struct MergeShare {
  Run first, second;
  std::span<const Entry> aside;
  std::span<const std::size_t> slots;
  std::size_t out_begin;
};

// Merges by the common prefix each head shares with the last suffix written: the head sharing
// more sorts first, and only heads sharing the same length are compared, from that length on.
// The LCP entry of the share's first suffix is left to the caller.
void merge_share(std::span<const std::uint8_t> text, const MergeShare& share, SuffixOrder& order,
                 SuffixAndLcp32& out) {
  constexpr std::size_t kAhead = 16;
  const auto& [a, b, aside, slots, out_begin] = share;
  std::size_t i = 0, j = 0, s = 0, o = out_begin;
  std::size_t shared_a = 0, shared_b = 0;  // with the last suffix written
  const auto write = [&](Entry p, std::size_t shared) {
    out.sa[o] = p;
    out.lcp[o] = static_cast<Entry>(shared);
    ++o;
  };
  // Heads are compared on the text at their shared length, mostly within its first bytes.
  const auto take_a = [&](std::size_t shared) {
    write(a.sa[i], shared);
    if (i + kAhead < a.sa.size()) prefetch_read(text.data() + a.sa[i + kAhead]);
    shared_a = ++i < a.sa.size() ? a.lcp[i] : 0;
  };
  const auto take_b = [&](std::size_t shared) {
    write(b.sa[j], shared);
    if (j + kAhead < b.sa.size()) prefetch_read(text.data() + b.sa[j + kAhead]);
    shared_b = ++j < b.sa.size() ? b.lcp[j] : 0;
  };
  const auto place_aside = [&] {
    while (s < slots.size() && slots[s] == o) {
      const Entry z = aside[s++];
      write(z, o > out_begin ? order.common_prefix(out.sa[o - 1], z) : 0);
      shared_a = i < a.sa.size() ? order.common_prefix(z, a.sa[i]) : 0;
      shared_b = j < b.sa.size() ? order.common_prefix(z, b.sa[j]) : 0;
    }
  };
  while (i < a.sa.size() && j < b.sa.size()) {
    place_aside();
    if (shared_a > shared_b) {
      take_a(shared_a);
    } else if (shared_b > shared_a) {
      take_b(shared_b);
    } else {
      const std::size_t shared = shared_a;
      const std::size_t between = order.common_prefix(a.sa[i], b.sa[j], shared);
      if (order.less_given(a.sa[i], b.sa[j], between)) {
        take_a(shared);
        shared_b = between;
      } else {
        take_b(shared);
        shared_a = between;
      }
    }
  }
  while (i < a.sa.size()) {
    place_aside();
    take_a(shared_a);
  }
  while (j < b.sa.size()) {
    place_aside();
    take_b(shared_b);
  }
  place_aside();
}

}  // namespace

std::optional<SuffixAndLcp32> sort_halves(std::span<const std::uint8_t> text,
                                          const HalvesSortParams& params, parallel::Lanes lanes,
                                          const std::function<void()>& beside) {
  const std::size_t n = text.size();
  if (!fits_32_bit_entries(n) || n > kDivSufSortMaxLength) return std::nullopt;
  const std::size_t m = find_split(text, n / 32 * params.first_share, params.tail);
  if (m == 0) return std::nullopt;

  // The first half is the smaller: this thread also runs `beside` and makes the output arrays.
  parallel::SideTask sort_second(lanes, [&] {
    Half half = sort_half(text.subspan(m));
    for (Entry& p : half.sa) p += static_cast<Entry>(m);
    return half;
  });
  Half first = sort_half(text.first(m));
  beside();
  SuffixAndLcp32 out{large_array<Entry>(n), large_array<Entry>(n)};
  std::vector<Entry> aside = set_aside_near_split(first, m, params.tail);
  const Half second = sort_second.get();

  const Run a{first.sa, first.lcp};
  const Run b{second.sa, second.lcp};
  SuffixOrder order(text, params.walk_budget / 2);
  const auto less = [&](Entry x, Entry y) { return order.less(x, y); };
  std::sort(aside.begin(), aside.end(), less);
  std::vector<std::size_t> slots(aside.size());
  for (std::size_t k = 0; k < aside.size(); ++k) {
    const auto below = [&](Entry q) { return order.less(q, aside[k]); };
    slots[k] = k +
               static_cast<std::size_t>(std::partition_point(a.sa.begin(), a.sa.end(), below) -
                                        a.sa.begin()) +
               static_cast<std::size_t>(std::partition_point(b.sa.begin(), b.sa.end(), below) -
                                        b.sa.begin());
  }

  // The merge splits where `half` suffixes of the two runs come before the rest.
  const std::size_t half = (a.sa.size() + b.sa.size()) / 2;
  std::size_t lo = half > b.sa.size() ? half - b.sa.size() : 0;
  std::size_t hi = std::min(half, a.sa.size());
  while (lo < hi) {
    const std::size_t i = lo + (hi - lo) / 2;
    if (order.less(a.sa[i], b.sa[half - i - 1])) {
      lo = i + 1;
    } else {
      hi = i;
    }
  }
  std::size_t s_mid = 0;
  while (s_mid < slots.size() && slots[s_mid] - s_mid < half) ++s_mid;
  const MergeShare low{a.first(lo), b.first(half - lo), std::span(aside).first(s_mid),
                       std::span(slots).first(s_mid), 0};
  const MergeShare high{a.from(lo), b.from(half - lo), std::span(aside).subspan(s_mid),
                        std::span(slots).subspan(s_mid), half + s_mid};
  SuffixOrder high_order(text, params.walk_budget / 2);
  {
    parallel::SideTask upper(lanes, [&] { merge_share(text, high, high_order, out); });
    merge_share(text, low, order, out);
    upper.get();
  }
  if (high.out_begin > 0 && high.out_begin < n) {
    out.lcp[high.out_begin] =
        static_cast<Entry>(order.common_prefix(out.sa[high.out_begin - 1], out.sa[high.out_begin]));
  }
  if (order.exhausted() || high_order.exhausted()) return std::nullopt;
  return out;
}

}  // namespace quarnel::core::suffix_array::detail
