#pragma once
// A suffix array kept with its text and queried many times: over bytes or over integer tokens
// (16- or 32-bit symbols), with batch searches whose binary searches advance side by side so
// that their cache misses overlap. Entries are 32-bit below 2^31 symbols and 64-bit above.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "suffix_array/search.hpp"

namespace quarnel::core::suffix_array {

// Borrowed symbols of an indexed text: `width` bytes each (1, 2 or 4), native byte order.
struct SymbolText {
  const void* data = nullptr;
  std::uint64_t size = 0;
  unsigned width = 1;

  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(data), size * width};
  }
};

// An array of 32- or 64-bit unsigned entries, owned or inside a mapped file (`storage` keeps the
// memory alive either way).
struct IndexArray {
  const void* data = nullptr;
  std::uint64_t size = 0;
  unsigned width = 4;
  std::shared_ptr<const void> storage;

  template <class Idx>
  [[nodiscard]] std::span<const Idx> as() const noexcept {
    return {static_cast<const Idx*>(data), size};
  }
  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(data), size * width};
  }
  [[nodiscard]] std::uint64_t at(std::uint64_t i) const noexcept {
    return width == 4 ? static_cast<const std::uint32_t*>(data)[i]
                      : static_cast<const std::uint64_t*>(data)[i];
  }
};

[[nodiscard]] constexpr unsigned entry_width_for(std::uint64_t n) noexcept {
  return n < (std::uint64_t{1} << 31) ? 4 : 8;
}

// Token ids in their canonical stored form: 16-bit ids stay 16-bit, wider ones become 32-bit.
struct TokenCopy {
  std::vector<std::uint16_t> u16;
  std::vector<std::uint32_t> u32;
  [[nodiscard]] SymbolText text() const noexcept {
    return u16.empty() && !u32.empty() ? SymbolText{u32.data(), u32.size(), 4}
                                       : SymbolText{u16.data(), u16.size(), 2};
  }
};

// Element types a token array may have.
enum class TokenType { U16, U32, I32, I64, U64 };

// Copies token ids into their canonical form; ids outside 0 .. 2^32 - 1 raise UsageError whose
// message starts with `name` and a colon (unless `name` is empty).
[[nodiscard]] TokenCopy copy_tokens(const void* data, std::uint64_t count, TokenType type,
                                    const char* name);
// Whether every id of a 32-bit array is non-negative (an int32 array may then be used as it is);
// otherwise the same error as copy_tokens.
void check_int32_tokens(std::span<const std::int32_t> ids, const char* name);

// Sorts the suffixes of the text (symbols compared as unsigned numbers, a proper prefix first).
[[nodiscard]] IndexArray sort_suffixes(const SymbolText& text);

// Ranks of every two-byte prefix of a byte text, so a search starts inside its prefix's range.
struct PrefixBuckets {
  std::array<std::uint64_t, 257> first1{};  // rank of the first suffix starting with byte c
  std::vector<std::uint64_t> first2;        // per two-byte key: first rank, then
  std::vector<std::uint64_t> count2;        // the number of suffixes with that prefix
  [[nodiscard]] bool empty() const noexcept { return first2.empty(); }
};

// Empty for texts that are not bytes.
[[nodiscard]] PrefixBuckets bucket_prefixes(const SymbolText& text);

// The first 16 bytes of every kStride-th suffix in rank order, as two big-endian integers each
// (a suffix shorter than 16 bytes padded with zero bytes), so that a batch search narrows a
// pattern's ranks on one contiguous array, one cache miss per step and no text access, down to
// kStride ranks or to the suffixes sharing its first 16 bytes. 16 bytes per kStride text bytes:
// as many bytes as the text. Padding keeps the rank order (a proper prefix sorts first, and zero
// is the least byte), but a short suffix's key can equal a longer pattern's; those suffixes are
// listed apart.
struct SampledKeys {
  static constexpr std::uint64_t kStride = 16;
  static constexpr unsigned kBytes = 16;
  std::vector<std::uint64_t> words;  // sample j (rank j * kStride): words 2j (high) and 2j + 1
  std::vector<std::pair<std::uint64_t, unsigned>> short_samples;  // (j, length) below 16 bytes
  [[nodiscard]] bool empty() const noexcept { return words.empty(); }
};

// Empty for texts that are not bytes. Two threads for large texts.
[[nodiscard]] SampledKeys sample_keys(const SymbolText& text, const IndexArray& sa);

// Patterns of one batch, flattened: pattern k is symbols [offsets[k], offsets[k + 1]). Byte texts
// take byte patterns, token texts 64-bit ones.
struct PatternBatch {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint64_t> tokens;
  std::vector<std::uint64_t> offsets{0};
  [[nodiscard]] std::uint64_t size() const noexcept { return offsets.size() - 1; }
};

// The rank interval of every pattern, as sa_search_range gives it for one (empty and too long
// patterns give (0, 0)). `keys` may be empty (then every step reads the array and the text).
// Two threads for large batches.
void search_many(const SymbolText& text, const IndexArray& sa, const PrefixBuckets& buckets,
                 const SampledKeys& keys, const PatternBatch& patterns, std::span<SaInterval> out);

// Occurrences of every pattern as one flat array of ascending positions per pattern, pattern k
// owning positions [offsets[k], offsets[k + 1]).
struct Occurrences {
  std::vector<std::uint64_t> positions;
  std::vector<std::uint64_t> offsets;
};

[[nodiscard]] Occurrences locate_many(const IndexArray& sa, std::span<const SaInterval> ranges);

// The LCP array in the entries' width.
[[nodiscard]] IndexArray lcp_of(const SymbolText& text, const IndexArray& sa);

// BWT symbols (in the text's width, raw bytes) and the primary index; the text must not be empty.
struct SymbolBwt {
  std::vector<std::uint8_t> symbols;
  std::uint64_t primary = 0;
};
[[nodiscard]] SymbolBwt bwt_of(const SymbolText& text, const IndexArray& sa);

}  // namespace quarnel::core::suffix_array
