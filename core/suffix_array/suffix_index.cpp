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
    detail::sais_sort<std::uint32_t, Idx>(t, sa, n, static_cast<Idx>(std::uint64_t{max_id} + 1));
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
  detail::sais_sort<std::uint32_t, Idx>(ranked.data(), sa, n, static_cast<Idx>(distinct.size()));
}

template <class Idx>
IndexArray sort_tokens(const SymbolText& text) {
  std::vector<Idx> sa = large_array<Idx>(text.size);
  const Idx n = static_cast<Idx>(text.size);
  if (text.width == 2) {
    detail::sais_sort<std::uint16_t, Idx>(static_cast<const std::uint16_t*>(text.data), sa.data(),
                                          n, 65536);
  } else {
    sort_u32_symbols<Idx>(static_cast<const std::uint32_t*>(text.data), n, sa.data());
  }
  return owned_array(std::move(sa));
}

// ---------------------------------------------------------------------------------------------
// Batch search
// ---------------------------------------------------------------------------------------------

// Binary searches for up to kLanes patterns advance one comparison each per round: first every
// lane's probed entry is requested, then the text it points at, then all compare. The misses of
// different lanes overlap instead of following one another.
template <class Sym, class P, class Idx>
class BatchSearch {
 public:
  BatchSearch(const Sym* text, std::uint64_t n, const Idx* sa, const PrefixBuckets& buckets,
              const P* symbols, const std::uint64_t* offsets, SaInterval* out)
      : t_(text),
        n_(n),
        sa_(sa),
        buckets_(buckets),
        symbols_(symbols),
        offsets_(offsets),
        out_(out) {}

  void run(std::uint64_t begin, std::uint64_t end) {
    std::array<Lane, kLanes> lanes;
    std::size_t active = 0;
    std::uint64_t next = begin;
    const auto refill = [&] {
      while (active < kLanes && next < end) {
        if (start(lanes[active], next++)) ++active;
      }
    };
    refill();
    while (active > 0) {
      for (std::size_t w = 0; w < active; ++w) {
        Lane& l = lanes[w];
        l.mid = l.lo + (l.hi - l.lo) / 2;
        __builtin_prefetch(sa_ + l.mid);
      }
      for (std::size_t w = 0; w < active; ++w) {
        __builtin_prefetch(t_ + sa_[lanes[w].mid] + lanes[w].skip);
      }
      for (std::size_t w = active; w-- > 0;) {
        if (step(lanes[w])) lanes[w] = lanes[--active];
      }
      refill();
    }
  }

 private:
  static constexpr std::size_t kLanes = 16;

  struct Lane {
    std::uint64_t k = 0;  // pattern index
    const P* p = nullptr;
    std::uint64_t m = 0;
    std::uint64_t skip = 0;  // leading symbols every suffix in [lo, hi) shares with the pattern
    std::uint64_t lo = 0, hi = 0, mid = 0;
    std::uint64_t first = 0;  // the lower bound, once found
    std::uint64_t above = 0;  // smallest rank seen whose key is greater than the pattern
    bool upper = false;
  };

  // Compares the key of the suffix at `pos` (its first m symbols, or all of a shorter suffix)
  // with the pattern, from symbol `skip` on.
  [[nodiscard]] int compare(std::uint64_t pos, const Lane& l) const noexcept {
    const std::uint64_t len = std::min(n_ - pos, l.m);
    if constexpr (std::is_same_v<Sym, std::uint8_t> && std::is_same_v<P, std::uint8_t>) {
      const int c = std::memcmp(t_ + pos + l.skip, l.p + l.skip, len - l.skip);
      if (c != 0) return c;
    } else {
      for (std::uint64_t d = l.skip; d < len; ++d) {
        const std::uint64_t a = t_[pos + d];
        const std::uint64_t b = l.p[d];
        if (a != b) return a < b ? -1 : 1;
      }
    }
    return len < l.m ? -1 : 0;
  }

  // Sets a lane up for pattern k, or answers the pattern at once and returns false.
  bool start(Lane& l, std::uint64_t k) {
    const std::uint64_t m = offsets_[k + 1] - offsets_[k];
    const P* p = symbols_ + offsets_[k];
    if (n_ == 0 || m == 0 || m > n_) {
      out_[k] = {0, 0};
      return false;
    }
    std::uint64_t lo = 0, hi = n_, skip = 0;
    if constexpr (std::is_same_v<Sym, std::uint8_t>) {
      if (!buckets_.empty()) {
        if (m == 1) {
          out_[k] = {buckets_.first1[p[0]], buckets_.first1[p[0] + 1]};
          return false;
        }
        const unsigned key = (unsigned{p[0]} << 8) | p[1];
        lo = buckets_.first2[key];
        hi = lo + buckets_.count2[key];
        skip = 2;
        if (lo == hi) {
          out_[k] = {lo, lo};
          return false;
        }
      }
    }
    l = Lane{k, p, m, skip, lo, hi, 0, 0, hi, false};
    return true;
  }

  // One comparison; true once the lane's pattern is answered.
  bool step(Lane& l) {
    const int c = compare(sa_[l.mid], l);
    if (!l.upper) {
      if (c < 0) {
        l.lo = l.mid + 1;
      } else {
        if (c > 0) l.above = std::min(l.above, l.mid);
        l.hi = l.mid;
      }
      if (l.lo < l.hi) return false;
      l.first = l.lo;
      if (l.first >= l.above) {
        out_[l.k] = {l.first, l.first};
        return true;
      }
      l.upper = true;
      l.hi = l.above;
      return false;
    }
    if (c > 0) {
      l.hi = l.mid;
    } else {
      l.lo = l.mid + 1;
    }
    if (l.lo < l.hi) return false;
    out_[l.k] = {l.first, l.lo};
    return true;
  }

  const Sym* t_;
  std::uint64_t n_;
  const Idx* sa_;
  const PrefixBuckets& buckets_;
  const P* symbols_;
  const std::uint64_t* offsets_;
  SaInterval* out_;
};

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
  const std::uint64_t count = patterns.size();
  with_symbols(text, [&](const auto* t) {
    using Sym = std::remove_cv_t<std::remove_pointer_t<decltype(t)>>;
    with_entries(sa, [&](const auto* entries) {
      using Idx = std::remove_cv_t<std::remove_pointer_t<decltype(entries)>>;
      const auto run = [&](const auto* symbols) {
        using P = std::remove_cv_t<std::remove_pointer_t<decltype(symbols)>>;
        BatchSearch<Sym, P, Idx> search(t, text.size, entries, buckets, symbols,
                                        patterns.offsets.data(), out.data());
        parallel::halves(split_batch(count), count, count / 2,
                         [&](std::size_t begin, std::size_t end) { search.run(begin, end); });
      };
      if constexpr (std::is_same_v<Sym, std::uint8_t>) {
        run(patterns.bytes.data());
      } else {
        run(patterns.tokens.data());
      }
    });
  });
}

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
        std::sort(dst, dst + (ranges[k].hi - ranges[k].lo));
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
