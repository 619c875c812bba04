// Many patterns searched at once on a suffix array: the two-byte buckets and sampled keys that
// bracket each bound, and the batch search itself.

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <type_traits>

#include "base/errors.hpp"
#include "base/large_array.hpp"
#include "base/parallel.hpp"
#include "base/prefetch.hpp"
#include "suffix_array/suffix_index.hpp"
#include "suffix_array/symbol_views.hpp"

namespace quarnel::core::suffix_array {
namespace {

using detail::kMinSplitPatterns;
using detail::with_entries;
using detail::with_symbols;

// ---------------------------------------------------------------------------------------------
// Batch search
// ---------------------------------------------------------------------------------------------
//
// The interval of a pattern p is [lb(p), ub(p)): lb counts the suffixes whose first |p| symbols
// are below p (a suffix that p properly starts with counts as below), ub those whose first |p|
// symbols are at most p. Both are monotone in p, and the patterns are searched in ascending order.
//
// With sampled keys, one merge of the patterns with the keys (each search galloping on from
// where the previous pattern's lower bound was found, so the keys are read nearly in order)
// brackets every bound between two neighbouring samples: kStride ranks, or for a pattern longer
// than a key, the ranks of the suffixes that share its key.
//
// Without them, the lower bound of the middle pattern splits the rank range of the others: a
// batch of k patterns costs about log2(n / k) probes each instead of log2(n), and the probes of
// neighbours fall on the same entries. Each upper bound then lies between the pattern's own lower
// bound and the lower bound of the next pattern in order that does not start with it.
//
// The array and the text finish each bound with a binary search. Up to kLanes searches advance
// one step each per round (first every lane's entry is requested, then the text it points at,
// then all compare), so that their cache misses overlap.

// Patterns of a batch: pattern k is symbols [offsets[k], offsets[k + 1]).
template <class P>
struct Queries {
  const P* symbols;
  const std::uint64_t* offsets;
  const P* end;  // of the memory that holds them
  [[nodiscard]] std::span<const P> at(std::size_t k) const noexcept {
    return {symbols + offsets[k], offsets[k + 1] - offsets[k]};
  }
};

// A sampled key or a query's first bytes: sixteen bytes, compared as a big-endian number.
struct Key16 {
  std::uint64_t high = 0, low = 0;
  friend bool operator==(const Key16&, const Key16&) = default;
  // Spelled out: the defaulted three-way comparison costs several times as many instructions.
  friend bool operator<(const Key16& a, const Key16& b) noexcept {
    return a.high != b.high ? a.high < b.high : a.low < b.low;
  }
  friend bool operator<=(const Key16& a, const Key16& b) noexcept { return !(b < a); }
  [[nodiscard]] Key16 operator&(const Key16& m) const noexcept {
    return {high & m.high, low & m.low};
  }
  // The leading bytes this key shares with `other`, at most `limit`.
  [[nodiscard]] unsigned shared(const Key16& other, unsigned limit) const noexcept {
    const std::uint64_t h = high ^ other.high, l = low ^ other.low;
    if (h != 0) return static_cast<unsigned>(__builtin_clzll(h)) / 8;
    if (l != 0) return 8 + static_cast<unsigned>(__builtin_clzll(l)) / 8;
    return limit;
  }
};

// The 16 bytes at `p` as a key.
Key16 key_of(const std::uint8_t* p) noexcept {
  std::uint64_t high, low;
  std::memcpy(&high, p, 8);
  std::memcpy(&low, p + 8, 8);
  if constexpr (std::endian::native == std::endian::little) {
    high = __builtin_bswap64(high);
    low = __builtin_bswap64(low);
  }
  return {high, low};
}

// A key with its first `bytes` bytes set.
Key16 leading_mask(unsigned bytes) noexcept {
  const auto ones = [](unsigned n) {
    return n >= 8 ? ~std::uint64_t{0} : ~(~std::uint64_t{0} >> (8 * n));
  };
  return {ones(bytes), ones(bytes > 8 ? bytes - 8 : 0)};
}

// The first 16 bytes of a pattern as a key, zero bytes past its end. The memory up to `end` may
// be read, so that most patterns are loaded whole and masked.
Key16 leading_key(std::span<const std::uint8_t> s, const std::uint8_t* end) noexcept {
  const auto m16 = static_cast<unsigned>(std::min<std::size_t>(s.size(), SampledKeys::kBytes));
  if (end - s.data() >= SampledKeys::kBytes) return key_of(s.data()) & leading_mask(m16);
  std::array<std::uint8_t, SampledKeys::kBytes> head{};
  std::copy_n(s.begin(), m16, head.begin());
  return key_of(head.data());
}

// A query's first bytes as a sampled key: only the first m16 count (`mask`).
struct QueryKey {
  Key16 key, mask;
  unsigned m16;
  bool exact;      // the query has at most 16 bytes, so a key decides a sample's side
  bool zero_last;  // and ends with a zero byte, so a short suffix's padding may match it
};

// One binary search in [lo, hi) for the first rank whose suffix is not below the query (for an
// upper bound: not at most the query); its first `skip` symbols are known to match. A query of
// at most 16 bytes may instead be compared as a key (`whole`).
struct Probe {
  std::uint32_t query = 0;
  std::uint32_t slot = 0;  // the query's place in ascending order, where its bounds are written
  bool upper = false;
  std::uint64_t lo = 0, hi = 0, mid = 0, skip = 0;
  bool whole = false;
  Key16 key{}, mask{};
};

template <class Sym, class P, class Idx>
class Bounds {
 public:
  Bounds(const Sym* text, std::uint64_t n, const Idx* sa, const PrefixBuckets& buckets,
         const SampledKeys& keys, Queries<P> queries, std::uint64_t* lower, std::uint64_t* upper)
      : t_(text),
        n_(n),
        sa_(sa),
        buckets_(buckets),
        keys_(keys),
        q_(queries),
        lower_(lower),
        upper_(upper) {}

  // Bounds are written by the pattern's place in `order` (`lower[i]` for order[i]), so that two
  // threads taking its halves write apart.

  // Lower bounds of the patterns order[begin .. end), which are ascending and distinct.
  void lower(std::span<const std::uint32_t> order, std::size_t begin, std::size_t end) {
    struct Segment {
      std::size_t a, b;      // patterns order[a .. b)
      std::uint64_t lo, hi;  // their lower bounds lie in [lo, hi]
    };
    if (begin >= end) return;
    std::vector<Segment> level{{begin, end, 0, n_}}, next;
    std::vector<Probe> probes;
    while (!level.empty()) {
      probes.clear();
      for (const Segment& s : level) {
        const std::size_t m = (s.a + s.b) / 2;
        probes.push_back(start(order[m], m, s.lo, s.hi, false));
      }
      search(probes);
      next.clear();
      for (const Segment& s : level) {
        const std::size_t m = (s.a + s.b) / 2;
        const std::uint64_t bound = lower_[m];
        if (s.a < m) next.push_back({s.a, m, s.lo, bound});
        if (m + 1 < s.b) next.push_back({m + 1, s.b, bound, s.hi});
      }
      level.swap(next);
    }
  }

  // Upper bounds of the same patterns, once their lower bounds are known.
  void upper(std::span<const std::uint32_t> order, std::size_t begin, std::size_t end) {
    constexpr std::size_t kLookahead = 16;  // patterns sharing a prefix are rarely many
    std::vector<Probe> probes;
    probes.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) {
      const auto p = q_.at(order[i]);
      std::uint64_t hi = n_;
      for (std::size_t j = i + 1; j < std::min(end, i + 1 + kLookahead); ++j) {
        const auto q = q_.at(order[j]);
        if (q.size() < p.size() || !std::equal(p.begin(), p.end(), q.begin())) {
          hi = lower_[j];
          break;
        }
      }
      probes.push_back(start(order[i], i, lower_[i], hi, true));
    }
    search(probes);
  }

  // Both bounds of the same patterns from the sampled keys: one merge of the ascending patterns
  // with the keys gives each bound a range of kStride ranks (for a pattern longer than a key,
  // the ranks of the suffixes sharing its key), which the array and the text then narrow.
  void keyed(std::span<const std::uint32_t> order, std::size_t begin, std::size_t end) {
    constexpr std::size_t kChunk = 1024;  // patterns whose probes are searched together
    std::vector<Probe> probes;
    probes.reserve(2 * kChunk);
    std::uint64_t from = 0;
    for (std::size_t c = begin; c < end; c += kChunk) {
      probes.clear();
      for (std::size_t i = c; i < std::min(end, c + kChunk); ++i) {
        from = bracket(order[i], i, from, probes);
      }
      search(probes);
    }
  }

 private:
  static constexpr std::size_t kLanes = 16;
  static constexpr std::uint64_t kStride = SampledKeys::kStride;

  // The search range of one query within [lo, hi], narrowed to its two-byte prefix's ranks.
  Probe start(std::uint32_t k, std::size_t slot, std::uint64_t lo, std::uint64_t hi,
              bool upper) const noexcept {
    Probe p{k, static_cast<std::uint32_t>(slot), upper, lo, hi, 0, 0};
    if constexpr (std::is_same_v<Sym, std::uint8_t>) {
      const auto query = q_.at(k);
      if (!buckets_.empty()) {
        std::uint64_t first = 0, last = 0;
        if (query.size() >= 2) {
          const unsigned key = (unsigned{query[0]} << 8) | query[1];
          first = buckets_.first2[key];
          last = first + buckets_.count2[key];
          p.skip = 2;
        } else {  // one symbol: the bound is the start or the end of its bucket
          first = last = buckets_.first1[query[0] + (upper ? 1 : 0)];
        }
        p.lo = std::max(lo, first);
        p.hi = std::max(p.lo, std::min(hi, last));
      }
    }
    return p;
  }

  // Key of the suffix at `pos` (its first m symbols, or all of a shorter one) against the query,
  // from symbol `skip` on: negative when smaller.
  [[nodiscard]] int compare(std::uint64_t pos, std::span<const P> query,
                            std::uint64_t skip) const noexcept {
    const std::uint64_t m = query.size();
    const std::uint64_t len = std::min(n_ - pos, m);
    skip = std::min(skip, len);  // a suffix between padded keys may be shorter than they match
    if constexpr (std::is_same_v<Sym, std::uint8_t> && std::is_same_v<P, std::uint8_t>) {
      const int c = std::memcmp(t_ + pos + skip, query.data() + skip, len - skip);
      if (c != 0) return c;
    } else {
      for (std::uint64_t d = skip; d < len; ++d) {
        const std::uint64_t a = t_[pos + d];
        const std::uint64_t b = query[d];
        if (a != b) return a < b ? -1 : 1;
      }
    }
    return len < m ? -1 : 0;
  }

  // compare() for a query of at most 16 bytes, on its key.
  [[nodiscard]] int compare_key(std::uint64_t pos, const Probe& p) const noexcept {
    if constexpr (std::is_same_v<Sym, std::uint8_t>) {
      if (n_ - pos >= SampledKeys::kBytes) {
        const Key16 key = key_of(t_ + pos) & p.mask;
        return key == p.key ? 0 : (key < p.key ? -1 : 1);
      }
    }
    return compare(pos, q_.at(p.query), 0);
  }

  QueryKey query_key(std::uint32_t k) const noexcept {
    constexpr unsigned kBytes = SampledKeys::kBytes;
    const auto query = q_.at(k);
    const auto m16 = static_cast<unsigned>(std::min<std::uint64_t>(query.size(), kBytes));
    return {leading_key(query, q_.end), leading_mask(m16), m16, query.size() <= kBytes,
            query.size() <= kBytes && query.back() == 0};
  }

  [[nodiscard]] Key16 sample(std::uint64_t j, const QueryKey& q) const noexcept {
    return Key16{keys_.words[2 * j], keys_.words[2 * j + 1]} & q.mask;
  }

  [[nodiscard]] bool shorter_than(std::uint64_t j, unsigned m) const noexcept {
    for (const auto& [sample, length] : keys_.short_samples) {
      if (sample == j) return length < m;
    }
    return false;
  }

  // Whether sample j is below the query's lower bound. Equal first bytes leave a longer query
  // undecided, and it is then taken as not below; for a shorter one they mean the sample starts
  // with it, unless the sample is shorter and the rest is padding.
  [[nodiscard]] bool below_lower(std::uint64_t j, const QueryKey& q) const noexcept {
    const Key16 key = sample(j, q);
    if (key != q.key) return key < q.key;
    return q.zero_last && shorter_than(j, q.m16);
  }

  // The first sample in [from, sample count) for which `below` is false (it holds before).
  template <class Below>
  [[nodiscard]] std::uint64_t gallop(std::uint64_t from, Below below) const noexcept {
    const std::uint64_t count = keys_.words.size() / 2;
    std::uint64_t lo = from, hi = from, step = 1;
    while (hi < count && below(hi)) {
      lo = hi + 1;
      hi = lo + step;
      step *= 2;
    }
    hi = std::min(hi, count);
    while (lo < hi) {
      const std::uint64_t mid = lo + (hi - lo) / 2;
      if (below(mid)) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo;
  }

  // A probe between samples: sample `first` - 1 is below its answer, sample `last` is not.
  Probe between(std::uint32_t k, std::uint32_t slot, bool upper, std::uint64_t first,
                std::uint64_t last, const QueryKey& q) const noexcept {
    const std::uint64_t count = keys_.words.size() / 2;
    Probe p{k, slot, upper, 0, std::min(n_, last * kStride), 0, 0, q.exact, q.key, q.mask};
    if (first > 0) p.lo = (first - 1) * kStride + 1;
    if (first > 0 && last < count && !q.exact) {  // a whole query's key is compared in full
      p.skip =
          std::min(sample(first - 1, q).shared(q.key, q.m16), sample(last, q).shared(q.key, q.m16));
    }
    return p;
  }

  // Appends the probes of pattern k's two bounds, found from sample `from` on; returns where
  // the next pattern's search starts.
  std::uint64_t bracket(std::uint32_t k, std::size_t i, std::uint64_t from,
                        std::vector<Probe>& probes) const {
    const auto slot = static_cast<std::uint32_t>(i);
    const QueryKey q = query_key(k);
    const std::uint64_t first = gallop(from, [&](std::uint64_t j) { return below_lower(j, q); });
    // The upper bound's gallop and the next pattern's start here and step 1, 2, 4, ... samples
    // on: their cache lines are requested at once rather than one miss after another.
    const std::uint64_t count = keys_.words.size() / 2;
    for (std::uint64_t step = 4; step <= 128 && first + step < count; step *= 2) {
      prefetch_read(keys_.words.data() + 2 * (first + step));
    }
    // Samples at most the query: below its upper bound, and, for a longer query, undecided.
    const std::uint64_t last =
        gallop(first, [&](std::uint64_t j) { return sample(j, q) <= q.key; });
    if (q.exact) {
      probes.push_back(between(k, slot, false, first, first, q));
      probes.push_back(between(k, slot, true, last, last, q));
    } else {
      probes.push_back(between(k, slot, false, first, last, q));
      probes.push_back(between(k, slot, true, first, last, q));
    }
    return first;
  }

  void search(std::span<Probe> probes) {
    std::array<Probe*, kLanes> lanes;
    std::size_t active = 0;
    std::size_t next = 0;
    const auto finish_or_keep = [&](Probe& p) {
      if (p.lo < p.hi) return true;
      (p.upper ? upper_ : lower_)[p.slot] = p.lo;
      return false;
    };
    while (true) {
      while (active < kLanes && next < probes.size()) {
        Probe& p = probes[next++];
        if (finish_or_keep(p)) lanes[active++] = &p;
      }
      if (active == 0) return;
      for (std::size_t w = 0; w < active; ++w) {
        Probe& p = *lanes[w];
        p.mid = p.lo + (p.hi - p.lo) / 2;
        __builtin_prefetch(sa_ + p.mid);
      }
      for (std::size_t w = 0; w < active; ++w) {
        __builtin_prefetch(t_ + sa_[lanes[w]->mid] + lanes[w]->skip);
      }
      for (std::size_t w = active; w-- > 0;) {
        Probe& p = *lanes[w];
        const int c =
            p.whole ? compare_key(sa_[p.mid], p) : compare(sa_[p.mid], q_.at(p.query), p.skip);
        if (p.upper ? c <= 0 : c < 0) {
          p.lo = p.mid + 1;
        } else {
          p.hi = p.mid;
        }
        if (!finish_or_keep(p)) lanes[w] = lanes[--active];
      }
    }
  }

  const Sym* t_;
  std::uint64_t n_;
  const Idx* sa_;
  const PrefixBuckets& buckets_;
  const SampledKeys& keys_;
  Queries<P> q_;
  std::uint64_t* lower_;
  std::uint64_t* upper_;
};

// The patterns a batch searches, ascending (a proper prefix first) and distinct, and every
// repeated pattern with the first copy whose answer it takes.
struct SearchOrder {
  std::vector<std::uint32_t> order;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> repeats;
};

// Patterns that can match (not empty, not longer than the text), sorted on an integer key of
// their first symbols (8 bytes, or one token), on the batch's lanes, and compared in full
// only where the keys tie (repeats, and longer patterns sharing their first 8 bytes).
template <class P>
SearchOrder ascending_order(Queries<P> q, std::size_t count, std::uint64_t n,
                            parallel::Lanes lanes) {
  if (count > std::numeric_limits<std::uint32_t>::max()) {
    throw UsageError("a batch holds at most 4294967295 patterns");
  }
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed;
  keyed.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    const auto s = q.at(k);
    if (s.empty() || s.size() > n) continue;
    std::uint64_t key = s[0];
    if constexpr (sizeof(P) == 1) key = leading_key(s, q.end).high;
    keyed.emplace_back(key, static_cast<std::uint32_t>(k));
  }
  parallel::sort(lanes, keyed, [](const auto& x, const auto& y) { return x.first < y.first; });
  const auto less = [&](const auto& x, const auto& y) {
    const auto a = q.at(x.second);
    const auto b = q.at(y.second);
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
  };
  const auto same = [&](const auto& x, const auto& y) {
    const auto a = q.at(x.second);
    const auto b = q.at(y.second);
    return x.first == y.first && std::equal(a.begin(), a.end(), b.begin(), b.end());
  };
  SearchOrder out;
  out.order.reserve(keyed.size());
  for (auto tie = keyed.begin(); tie != keyed.end();) {
    auto end = tie + 1;
    while (end != keyed.end() && end->first == tie->first) ++end;
    if (end - tie > 1) std::sort(tie, end, less);
    for (auto e = tie; e != end; ++e) {
      if (e != tie && same(*e, e[-1])) {
        out.repeats.emplace_back(e->second, out.order.back());
      } else {
        out.order.push_back(e->second);
      }
    }
    tie = end;
  }
  return out;
}

parallel::Lanes batch_lanes(std::uint64_t patterns) {
  return parallel::Lanes::two_if(2 * patterns >= kMinSplitPatterns && parallel::threads_allowed());
}

}  // namespace

PrefixBuckets bucket_prefixes(const SymbolText& text) {
  PrefixBuckets b;
  const std::uint64_t n = text.size;
  if (text.width != 1 || n == 0) return b;
  const auto* t = static_cast<const std::uint8_t*>(text.data);
  b.count2.assign(65536, 0);
  b.first2.assign(65536, 0);
  for (std::uint64_t i = 0; i + 1 < n; ++i) ++b.count2[(unsigned{t[i]} << 8) | t[i + 1]];
  // The one-byte suffix at the end sorts before every suffix that starts with its byte.
  const unsigned last = t[n - 1];
  std::uint64_t rank = 0;
  for (unsigned c = 0; c < 256; ++c) {
    b.first1[c] = rank;
    if (c == last) ++rank;
    for (unsigned d = 0; d < 256; ++d) {
      const unsigned key = (c << 8) | d;
      b.first2[key] = rank;
      rank += b.count2[key];
    }
  }
  b.first1[256] = rank;
  return b;
}

SampledKeys sample_keys(const SymbolText& text, const IndexArray& sa) {
  SampledKeys out;
  const std::uint64_t n = text.size;
  if (text.width != 1 || n == 0) return out;
  constexpr std::uint64_t k = SampledKeys::kStride;
  constexpr unsigned kBytes = SampledKeys::kBytes;
  const std::uint64_t count = (n + k - 1) / k;
  out.words = large_array<std::uint64_t>(2 * count);
  const auto* t = static_cast<const std::uint8_t*>(text.data);
  const auto store = [&](std::uint64_t j, std::uint64_t pos) {
    const Key16 key = leading_key({t + pos, std::min<std::uint64_t>(n - pos, kBytes)}, t + n);
    out.words[2 * j] = key.high;
    out.words[2 * j + 1] = key.low;
  };
  with_entries(sa, [&](const auto* entries) {
    const auto fill = [&](std::size_t begin, std::size_t end) {
      constexpr std::size_t kAhead = 16;  // text reads requested this many samples ahead
      for (std::size_t j = begin; j < end; ++j) {
        if (j + kAhead < end) prefetch_read(t + entries[(j + kAhead) * k]);
        store(j, entries[j * k]);
      }
    };
    parallel::over_parts(parallel::Lanes::for_size(count), count, count / 2,
                         [&](parallel::Part part) { fill(part.begin, part.end); });
  });
  // Only the last 15 suffixes are short, and a short suffix's key ends in a padding zero byte.
  for (std::uint64_t j = 0; j < count; ++j) {
    if ((out.words[2 * j + 1] & 0xFF) != 0) continue;
    const std::uint64_t pos = sa.at(j * k);
    if (n - pos < kBytes) out.short_samples.emplace_back(j, static_cast<unsigned>(n - pos));
  }
  return out;
}

void search_many(const SymbolText& text, const IndexArray& sa, const PrefixBuckets& buckets,
                 const SampledKeys& keys, const PatternBatch& patterns, std::span<SaInterval> out) {
  std::fill(out.begin(), out.end(), SaInterval{0, 0});  // empty and too long patterns
  with_symbols(text, [&](const auto* t) {
    using Sym = std::remove_cv_t<std::remove_pointer_t<decltype(t)>>;
    with_entries(sa, [&](const auto* entries) {
      using Idx = std::remove_cv_t<std::remove_pointer_t<decltype(entries)>>;
      const auto run = [&](const auto& symbols) {
        using P = typename std::remove_cvref_t<decltype(symbols)>::value_type;
        const Queries<P> q{symbols.data(), patterns.offsets.data(),
                           symbols.data() + symbols.size()};
        const std::size_t count = patterns.size();
        const SearchOrder sorted = ascending_order(q, count, text.size, batch_lanes(count));
        const std::size_t distinct = sorted.order.size();
        std::vector<std::uint64_t> lower(distinct), upper(distinct);
        Bounds<Sym, P, Idx> bounds(t, text.size, entries, buckets, keys, q, lower.data(),
                                   upper.data());
        // Each thread takes half of the ascending patterns.
        parallel::over_parts(batch_lanes(distinct), distinct, distinct / 2,
                             [&](parallel::Part part) {
                               const std::size_t begin = part.begin;
                               const std::size_t end = part.end;
                               if constexpr (std::is_same_v<Sym, std::uint8_t>) {
                                 if (!keys.empty()) return bounds.keyed(sorted.order, begin, end);
                               }
                               bounds.lower(sorted.order, begin, end);
                               bounds.upper(sorted.order, begin, end);
                             });
        for (std::size_t i = 0; i < distinct; ++i) out[sorted.order[i]] = {lower[i], upper[i]};
        for (const auto& [k, first] : sorted.repeats) out[k] = out[first];
      };
      if constexpr (std::is_same_v<Sym, std::uint8_t>) {
        run(patterns.bytes);
      } else {
        run(patterns.tokens);
      }
    });
  });
}
}  // namespace quarnel::core::suffix_array
