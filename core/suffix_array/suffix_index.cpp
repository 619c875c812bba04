#include "suffix_array/suffix_index.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>

#include "errors.hpp"
#include "large_array.hpp"
#include "parallel.hpp"
#include "persist/checksum.hpp"
#include "persist/mapped_file.hpp"
#include "radix_sort.hpp"
#include "suffix_array/construction.hpp"
#include "suffix_array/lcp.hpp"
#include "suffix_array/sais_impl.hpp"

namespace quarnel::core::suffix_array {
namespace {

// Calls body(symbol pointer) with the text's symbols in their own type.
template <class Body>
decltype(auto) with_symbols(const SymbolText& text, Body&& body) {
  switch (text.width) {
    case 1:
      return body(static_cast<const std::uint8_t*>(text.data));
    case 2:
      return body(static_cast<const std::uint16_t*>(text.data));
    case 4:
      return body(static_cast<const std::uint32_t*>(text.data));
    default:
      throw InternalError("symbol width must be 1, 2 or 4");
  }
}

template <class Body>
decltype(auto) with_entries(const IndexArray& a, Body&& body) {
  if (a.width == 4) return body(static_cast<const std::uint32_t*>(a.data));
  if (a.width == 8) return body(static_cast<const std::uint64_t*>(a.data));
  throw InternalError("entry width must be 4 or 8");
}

template <class T>
IndexArray owned_array(std::vector<T> values) {
  auto owner = std::make_shared<std::vector<T>>(std::move(values));
  return {owner->data(), owner->size(), sizeof(T), owner};
}

[[noreturn]] void raise_bad_token(const char* name, std::uint64_t index, long double value) {
  const std::string prefix = *name != '\0' ? std::string(name) + ": " : std::string();
  throw UsageError(prefix + "token ids must be between 0 and 4294967295, found " +
                   std::to_string(static_cast<long long>(value)) + " at index " +
                   std::to_string(index));
}

template <class In>
std::vector<std::uint32_t> narrow_to_u32(const In* ids, std::uint64_t n, const char* name) {
  std::vector<std::uint32_t> out = large_array<std::uint32_t>(n);
  for (std::uint64_t i = 0; i < n; ++i) {
    const In v = ids[i];
    if constexpr (std::is_signed_v<In>) {
      if (v < 0) raise_bad_token(name, i, static_cast<long double>(v));
    }
    if (static_cast<std::uint64_t>(v) > std::numeric_limits<std::uint32_t>::max()) {
      raise_bad_token(name, i, static_cast<long double>(v));
    }
    out[i] = static_cast<std::uint32_t>(v);
  }
  return out;
}

// SA-IS over 32-bit ids: dense when the largest id is not far above the length, else the ids
// are first replaced by their rank among the distinct ids (which keeps the order).
template <class Idx>
void sort_u32_symbols(const std::uint32_t* t, Idx n, Idx* sa) {
  const std::uint32_t max_id = n == 0 ? 0 : *std::max_element(t, t + n);
  if (std::uint64_t{max_id} < std::uint64_t{n} + 65536) {
    sais::sort<std::uint32_t, Idx>(t, sa, n, static_cast<Idx>(std::uint64_t{max_id} + 1));
    return;
  }
  std::vector<std::uint32_t> distinct(t, t + n);
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::vector<std::uint32_t> ranked = large_array<std::uint32_t>(n);
  for (Idx i = 0; i < n; ++i) {
    ranked[i] = static_cast<std::uint32_t>(
        std::lower_bound(distinct.begin(), distinct.end(), t[i]) - distinct.begin());
  }
  sais::sort<std::uint32_t, Idx>(ranked.data(), sa, n, static_cast<Idx>(distinct.size()));
}

template <class Idx>
IndexArray sort_tokens(const SymbolText& text) {
  std::vector<Idx> sa = large_array<Idx>(text.size);
  const Idx n = static_cast<Idx>(text.size);
  if (text.width == 2) {
    sais::sort<std::uint16_t, Idx>(static_cast<const std::uint16_t*>(text.data), sa.data(), n,
                                   65536);
  } else {
    sort_u32_symbols<Idx>(static_cast<const std::uint32_t*>(text.data), n, sa.data());
  }
  return owned_array(std::move(sa));
}

// ---------------------------------------------------------------------------------------------
// Batch search
// ---------------------------------------------------------------------------------------------
//
// The interval of a pattern p is [lb(p), lb(p+)), where lb(q) counts the suffixes smaller than q
// and p+ is the smallest string above every string that starts with p. lb is monotone in q, so
// with the queries sorted, the lower bound of the middle query splits the rank range of the
// others: a batch of k queries costs about log2(n / k) probes each instead of log2(n), and the
// probes of neighbouring queries fall on the same entries. Queries run level by level of that
// division, and within a level up to kLanes binary searches advance one probe each per round
// (first every lane's entry is requested, then the text it points at, then all compare), so that
// their cache misses overlap.

// Flattened queries: query k is symbols [offsets[k], offsets[k + 1]).
template <class P>
struct Queries {
  std::vector<P> symbols;
  std::vector<std::uint64_t> offsets{0};
  [[nodiscard]] std::size_t size() const noexcept { return offsets.size() - 1; }
  [[nodiscard]] std::span<const P> at(std::size_t k) const noexcept {
    return {symbols.data() + offsets[k], offsets[k + 1] - offsets[k]};
  }
};

// One binary search for a lower bound in [lo, hi); its first `skip` symbols are known to match.
struct Probe {
  std::uint32_t query = 0;
  std::uint64_t lo = 0, hi = 0, mid = 0, skip = 0;
};

template <class Sym, class P, class Idx>
class LowerBounds {
 public:
  LowerBounds(const Sym* text, std::uint64_t n, const Idx* sa, const PrefixBuckets& buckets,
              const Queries<P>& queries, std::uint64_t* out)
      : t_(text), n_(n), sa_(sa), buckets_(buckets), q_(queries), out_(out) {}

  // Lower bounds of the queries order[begin .. end), which are in ascending order.
  void run(std::span<const std::uint32_t> order, std::size_t begin, std::size_t end) {
    struct Segment {
      std::size_t a, b;      // queries order[a .. b)
      std::uint64_t lo, hi;  // their lower bounds lie in [lo, hi]
    };
    if (begin >= end) return;
    std::vector<Segment> level{{begin, end, 0, n_}}, next;
    std::vector<Probe> probes;
    while (!level.empty()) {
      probes.clear();
      for (const Segment& s : level) probes.push_back(start(order[(s.a + s.b) / 2], s.lo, s.hi));
      search(probes);
      next.clear();
      for (const Segment& s : level) {
        const std::size_t m = (s.a + s.b) / 2;
        const std::uint64_t bound = out_[order[m]];
        if (s.a < m) next.push_back({s.a, m, s.lo, bound});
        if (m + 1 < s.b) next.push_back({m + 1, s.b, bound, s.hi});
      }
      level.swap(next);
    }
  }

 private:
  static constexpr std::size_t kLanes = 16;

  // The search range of one query within [lo, hi], narrowed to its two-byte prefix's ranks.
  Probe start(std::uint32_t k, std::uint64_t lo, std::uint64_t hi) const noexcept {
    Probe p{k, lo, hi, 0, 0};
    if constexpr (std::is_same_v<Sym, std::uint8_t>) {
      const auto query = q_.at(k);
      if (!buckets_.empty() && !query.empty()) {
        std::uint64_t first = buckets_.first1[query[0]];
        std::uint64_t last = buckets_.first1[query[0] + 1];
        if (query.size() >= 2) {
          const unsigned key = (unsigned{query[0]} << 8) | query[1];
          first = buckets_.first2[key];
          last = first + buckets_.count2[key];
          p.skip = 2;
        } else {
          last = first;  // one symbol: every suffix of the bucket is at least the query
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

  void search(std::vector<Probe>& probes) {
    std::array<Probe*, kLanes> lanes;
    std::size_t active = 0;
    std::size_t next = 0;
    const auto finish_or_keep = [&](Probe& p) {
      if (p.lo < p.hi) return true;
      out_[p.query] = p.lo;
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
        if (compare(sa_[p.mid], q_.at(p.query), p.skip) < 0) {
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
  const Queries<P>& q_;
  std::uint64_t* out_;
};

// Lexicographic order (a proper prefix first) of the queries, sorted on an integer key of their
// first symbols and compared in full only where the keys tie; on two threads when `split`.
template <class P>
std::vector<std::uint32_t> ascending_order(const Queries<P>& q, bool split) {
  const std::size_t count = q.size();
  if (count > std::numeric_limits<std::uint32_t>::max()) {
    throw UsageError("a batch holds at most 4294967295 patterns");
  }
  constexpr unsigned kKeySymbols = sizeof(P) == 1 ? 8 : 1;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed(count);
  for (std::size_t k = 0; k < count; ++k) {
    const auto s = q.at(k);
    std::uint64_t key = 0;
    for (unsigned d = 0; d < kKeySymbols; ++d) {
      const std::uint64_t sym = d < s.size() ? static_cast<std::uint64_t>(s[d]) : 0;
      key = kKeySymbols == 1 ? sym : (key << 8) | sym;
    }
    keyed[k] = {key, static_cast<std::uint32_t>(k)};
  }
  parallel::sort(split, keyed, [&](const auto& x, const auto& y) {
    if (x.first != y.first) return x.first < y.first;
    const auto a = q.at(x.second);
    const auto b = q.at(y.second);
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
  });
  std::vector<std::uint32_t> order(count);
  for (std::size_t k = 0; k < count; ++k) order[k] = keyed[k].second;
  return order;
}

// The queries a batch needs: every pattern that can match, then the successor p+ of each (for
// bytes: trailing 0xFF bytes dropped and the last byte raised by one; tokens are below 2^32, so
// the last one is raised). `pattern_of[j]` is the pattern of query j. A successor that does not
// exist (all 0xFF) is left out: its lower bound is the end of the array.
template <class P>
struct QueryPlan {
  Queries<P> queries;
  std::vector<std::uint64_t> pattern_of;
  std::vector<std::uint8_t> is_successor;
};

template <class P>
QueryPlan<P> plan_queries(const std::vector<P>& symbols, const std::vector<std::uint64_t>& offsets,
                          std::uint64_t n) {
  QueryPlan<P> plan;
  const std::size_t count = offsets.size() - 1;
  plan.queries.symbols.reserve(2 * symbols.size());
  plan.queries.offsets.reserve(2 * count + 1);
  plan.pattern_of.reserve(2 * count);
  plan.is_successor.reserve(2 * count);
  const auto add = [&](std::size_t k, std::span<const P> s, bool successor) {
    plan.queries.symbols.insert(plan.queries.symbols.end(), s.begin(), s.end());
    plan.queries.offsets.push_back(plan.queries.symbols.size());
    plan.pattern_of.push_back(k);
    plan.is_successor.push_back(successor ? 1 : 0);
  };
  std::vector<P> successor;
  for (std::size_t k = 0; k < count; ++k) {
    const std::span<const P> p(symbols.data() + offsets[k], offsets[k + 1] - offsets[k]);
    if (p.empty() || p.size() > n) continue;
    add(k, p, false);
    successor.assign(p.begin(), p.end());
    if constexpr (sizeof(P) == 1) {
      while (!successor.empty() && successor.back() == 0xFF) successor.pop_back();
      if (successor.empty()) continue;
    }
    ++successor.back();
    add(k, successor, true);
  }
  return plan;
}

// Batches this large are split over two threads: below, a thread start costs more than it saves.
constexpr std::uint64_t kMinSplitPatterns = 4096;

bool split_batch(std::uint64_t count) {
  return count >= kMinSplitPatterns && parallel::threads_allowed();
}

// ---------------------------------------------------------------------------------------------
// Saved form
// ---------------------------------------------------------------------------------------------

constexpr std::size_t kHeaderSize = 64;
constexpr std::array<std::uint8_t, 8> kMagic = {'Q', 'R', 'N', 'L', 'S', 'U', 'F', 'A'};
constexpr std::uint32_t kVersion = 1;

using persist::FormatError;

[[noreturn]] void refuse(const std::string& path, const std::string& problem) {
  throw FormatError("cannot load suffix array from " + path + ": " + problem);
}

struct SavedHeader {
  std::uint32_t entry_width, symbol_width;
  std::uint64_t length, text_checksum, entries_checksum;
};

SavedHeader read_header(const std::string& path, std::span<const std::uint8_t> file) {
  if (file.size() < kHeaderSize) {
    refuse(path, "file truncated (" + std::to_string(file.size()) +
                     " bytes, shorter than the 64-byte header)");
  }
  if (!std::equal(kMagic.begin(), kMagic.end(), file.begin())) {
    refuse(path, "not a quarnel suffix array file (wrong magic bytes)");
  }
  if (persist::checksum64(file.first(56)) != persist::get_u64(file, 56)) {
    refuse(path, "corrupt header (header checksum mismatch)");
  }
  const std::uint32_t version = persist::get_u32(file, 8);
  if (version != kVersion) refuse(path, "unsupported format version " + std::to_string(version));
  SavedHeader h{persist::get_u32(file, 12), persist::get_u32(file, 16), persist::get_u64(file, 24),
                persist::get_u64(file, 32), persist::get_u64(file, 40)};
  if (h.entry_width != entry_width_for(h.length)) {
    refuse(path, "corrupt header (entry width " + std::to_string(h.entry_width) +
                     " does not fit a text of " + std::to_string(h.length) + " symbols)");
  }
  if (h.symbol_width != 1 && h.symbol_width != 2 && h.symbol_width != 4) {
    refuse(path, "corrupt header (symbol width " + std::to_string(h.symbol_width) + ")");
  }
  return h;
}

void check_against_text(const std::string& path, const SavedHeader& h, const SymbolText& text) {
  if (h.symbol_width != text.width) {
    refuse(path, "data has " + std::to_string(text.width) +
                     "-byte symbols but the file was built from " + std::to_string(h.symbol_width) +
                     "-byte symbols");
  }
  if (h.length != text.size) {
    refuse(path, "data has " + std::to_string(text.size) + " symbols but the file was built from " +
                     std::to_string(h.length));
  }
  if (persist::checksum64(text.bytes()) != h.text_checksum) {
    refuse(path, "data differs from the text the file was built from (text checksum mismatch)");
  }
}

template <class Idx>
bool entries_in_range(const Idx* e, std::uint64_t n) {
  Idx largest = 0;
  for (std::uint64_t i = 0; i < n; ++i) largest = std::max(largest, e[i]);
  return n == 0 || largest < n;
}

}  // namespace

TokenCopy copy_tokens(const void* data, std::uint64_t count, TokenType type, const char* name) {
  TokenCopy copy;
  switch (type) {
    case TokenType::U16: {
      const auto* ids = static_cast<const std::uint16_t*>(data);
      copy.u16.assign(ids, ids + count);
      break;
    }
    case TokenType::U32: {
      const auto* ids = static_cast<const std::uint32_t*>(data);
      copy.u32.assign(ids, ids + count);
      break;
    }
    case TokenType::I32:
      copy.u32 = narrow_to_u32(static_cast<const std::int32_t*>(data), count, name);
      break;
    case TokenType::I64:
      copy.u32 = narrow_to_u32(static_cast<const std::int64_t*>(data), count, name);
      break;
    case TokenType::U64:
      copy.u32 = narrow_to_u32(static_cast<const std::uint64_t*>(data), count, name);
      break;
  }
  return copy;
}

void check_int32_tokens(std::span<const std::int32_t> ids, const char* name) {
  for (std::uint64_t i = 0; i < ids.size(); ++i) {
    if (ids[i] < 0) raise_bad_token(name, i, ids[i]);
  }
}

IndexArray sort_suffixes(const SymbolText& text) {
  const std::uint64_t n = text.size;
  if (text.width == 1) {
    const std::span<const std::uint8_t> bytes = text.bytes();
    if (entry_width_for(n) == 4) return owned_array(build_sa32(bytes));
    return owned_array(build_suffix_array_bytes_with_backend(bytes, SuffixArrayBackend::Auto));
  }
  if (entry_width_for(n) == 4) return sort_tokens<std::uint32_t>(text);
  return sort_tokens<std::uint64_t>(text);
}

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

void search_many(const SymbolText& text, const IndexArray& sa, const PrefixBuckets& buckets,
                 const PatternBatch& patterns, std::span<SaInterval> out) {
  std::fill(out.begin(), out.end(), SaInterval{0, 0});  // empty and too long patterns
  with_symbols(text, [&](const auto* t) {
    using Sym = std::remove_cv_t<std::remove_pointer_t<decltype(t)>>;
    with_entries(sa, [&](const auto* entries) {
      using Idx = std::remove_cv_t<std::remove_pointer_t<decltype(entries)>>;
      const auto run = [&](const auto& symbols) {
        using P = typename std::remove_cvref_t<decltype(symbols)>::value_type;
        const QueryPlan<P> plan = plan_queries(symbols, patterns.offsets, text.size);
        const std::size_t count = plan.queries.size();
        const std::vector<std::uint32_t> order = ascending_order(plan.queries, split_batch(count));
        std::vector<std::uint64_t> bounds(count);
        LowerBounds<Sym, P, Idx> lower(t, text.size, entries, buckets, plan.queries, bounds.data());
        // Each thread takes half of the ascending queries.
        parallel::halves(split_batch(count), count, count / 2,
                         [&](std::size_t begin, std::size_t end) { lower.run(order, begin, end); });
        // A pattern's query comes right before its successor's; a pattern without one (all
        // 0xFF) runs to the last rank. An absent pattern has lb(p) = lb(p+): an empty interval
        // at its insertion rank.
        for (std::size_t j = 0; j < count; ++j) {
          SaInterval& r = out[plan.pattern_of[j]];
          if (plan.is_successor[j] != 0) {
            r.hi = bounds[j];
            continue;
          }
          const bool has_successor = j + 1 < count && plan.is_successor[j + 1] != 0;
          r = {bounds[j], has_successor ? bounds[j] : text.size};
        }
      };
      if constexpr (std::is_same_v<Sym, std::uint8_t>) {
        run(patterns.bytes);
      } else {
        run(patterns.tokens);
      }
    });
  });
}

namespace {

// Ascending positions of one pattern: a radix sort for the many occurrences of repetitive text,
// where a comparison sort would cost more than the rest of the locate. Digits of 11 bits (16 KiB
// of counters) sort the positions of texts up to 4 MiB in two passes.
void sort_positions(std::uint64_t* positions, std::uint64_t n) {
  constexpr std::uint64_t kRadixFrom = 1024;
  constexpr unsigned kDigit = 11;
  if (n < kRadixFrom) {
    std::sort(positions, positions + n);
    return;
  }
  const auto key = [](std::uint64_t p) { return p; };
  const unsigned passes = radix_passes<kDigit>(positions, n, key);
  std::vector<std::uint64_t> buffer(n);
  const std::uint64_t* sorted = radix_sort_into<kDigit>(positions, buffer.data(), n, passes, key);
  if (sorted != positions) std::copy(sorted, sorted + n, positions);
}

}  // namespace

Occurrences locate_many(const IndexArray& sa, std::span<const SaInterval> ranges) {
  Occurrences occ;
  occ.offsets.resize(ranges.size() + 1, 0);
  for (std::size_t k = 0; k < ranges.size(); ++k) {
    occ.offsets[k + 1] = occ.offsets[k] + (ranges[k].hi - ranges[k].lo);
  }
  occ.positions = large_array<std::uint64_t>(occ.offsets.back());
  const std::size_t count = ranges.size();
  with_entries(sa, [&](const auto* entries) {
    const auto fill = [&](std::size_t begin, std::size_t end) {
      for (std::size_t k = begin; k < end; ++k) {
        std::uint64_t* dst = occ.positions.data() + occ.offsets[k];
        std::copy(entries + ranges[k].lo, entries + ranges[k].hi, dst);
        sort_positions(dst, ranges[k].hi - ranges[k].lo);
      }
    };
    // Splits by patterns, at the pattern where half the positions are reached.
    const std::uint64_t total = occ.offsets.back();
    const std::size_t mid = static_cast<std::size_t>(
        std::upper_bound(occ.offsets.begin(), occ.offsets.end() - 1, total / 2) -
        occ.offsets.begin());
    const bool split = (count >= kMinSplitPatterns || parallel::worth_splitting(total)) &&
                       parallel::threads_allowed();
    parallel::halves(split, count, std::min(mid, count), fill);
  });
  return occ;
}

IndexArray lcp_of(const SymbolText& text, const IndexArray& sa) {
  return with_symbols(text, [&](const auto* t) {
    using Sym = std::remove_cv_t<std::remove_pointer_t<decltype(t)>>;
    const std::span<const Sym> symbols(t, text.size);
    return with_entries(sa, [&](const auto* entries) {
      using Idx = std::remove_cv_t<std::remove_pointer_t<decltype(entries)>>;
      return owned_array(lcp_kasai<Sym, Idx, Idx>(symbols, std::span<const Idx>(entries, sa.size)));
    });
  });
}

SymbolBwt bwt_of(const SymbolText& text, const IndexArray& sa) {
  if (text.size == 0) throw UsageError("the BWT of an empty text is undefined (no primary index)");
  SymbolBwt out;
  out.symbols.resize(text.size * text.width);
  with_symbols(text, [&](const auto* t) {
    using Sym = std::remove_cv_t<std::remove_pointer_t<decltype(t)>>;
    auto* last = reinterpret_cast<Sym*>(out.symbols.data());
    const std::uint64_t n = text.size;
    for (std::uint64_t r = 0; r < n; ++r) {
      const std::uint64_t p = sa.at(r);
      if (p == 0) out.primary = r;
      last[r] = p == 0 ? t[n - 1] : t[p - 1];
    }
  });
  return out;
}

void save_suffix_array(const std::string& path, const SymbolText& text, const IndexArray& sa) {
  persist::require_little_endian_host();
  persist::HeaderWriter h(kHeaderSize);
  h.put_bytes(0, kMagic);
  h.put_u32(8, kVersion);
  h.put_u32(12, sa.width);
  h.put_u32(16, text.width);
  h.put_u64(24, text.size);
  h.put_u64(32, persist::checksum64(text.bytes()));
  h.put_u64(40, persist::checksum64(sa.bytes()));
  h.put_u64(56, persist::checksum64(h.bytes().first(56)));
  persist::write_file(path, {h.bytes(), sa.bytes()});
}

IndexArray load_suffix_array(const std::string& path, const SymbolText& text) {
  persist::require_little_endian_host();
  auto file = std::make_shared<persist::MappedFile>(path);
  const std::span<const std::uint8_t> bytes = file->bytes();
  const SavedHeader h = read_header(path, bytes);
  const std::uint64_t expected = kHeaderSize + h.length * h.entry_width;
  if (bytes.size() < expected) {
    refuse(path, "file truncated (" + std::to_string(bytes.size()) + " bytes, the header needs " +
                     std::to_string(expected) + ")");
  }
  if (bytes.size() > expected) {
    refuse(path, "trailing data (" + std::to_string(bytes.size() - expected) +
                     " bytes after the entries)");
  }
  check_against_text(path, h, text);
  IndexArray sa{bytes.data() + kHeaderSize, h.length, h.entry_width, file};
  if (persist::checksum64(sa.bytes()) != h.entries_checksum) {
    refuse(path, "corrupt suffix array entries (checksum mismatch)");
  }
  const bool in_range =
      with_entries(sa, [&](const auto* e) { return entries_in_range(e, h.length); });
  if (!in_range) refuse(path, "corrupt suffix array entries (a position beyond the text)");
  return sa;
}

}  // namespace quarnel::core::suffix_array
