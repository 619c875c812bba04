// Token texts: copies of the caller's ids narrowed to 32 bits (checked), their suffix arrays by
// SA-IS, and the suffix array of any symbol text.

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>

#include "base/errors.hpp"
#include "base/large_array.hpp"
#include "suffix_array/construction.hpp"
#include "suffix_array/sais_impl.hpp"
#include "suffix_array/suffix_index.hpp"
#include "suffix_array/symbol_views.hpp"

namespace quarnel::core::suffix_array {
namespace {

using detail::owned_array;

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

}  // namespace quarnel::core::suffix_array
