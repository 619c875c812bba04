#pragma once
// Arrays and transforms derived from a byte text's suffix array.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quarnel::core::suffix_array {

// ISA[SA[r]] = r; entries of `sa` at or beyond its length are skipped.
[[nodiscard]] std::vector<std::uint64_t> inverse_suffix_array(std::span<const std::uint64_t> sa);

// ISA[SA[r]] = r into `isa`, as long as `sa`, which must be a permutation of its ranks: `isa`'s
// prior contents stay wherever it is not. For results that callers allocate.
void inverse_of_permutation_into(std::span<const std::uint32_t> sa, std::span<std::uint64_t> isa);
void inverse_of_permutation_into(std::span<const std::uint64_t> sa, std::span<std::uint64_t> isa);

struct Bwt {
  std::string last_column;    // L, a permutation of the text's bytes; no sentinel stored
  std::uint64_t primary = 0;  // rank of the whole text among its suffixes
};

// Requires a non-empty text (an empty one has no primary index: UsageError).
[[nodiscard]] Bwt bwt(std::span<const std::uint8_t> text, std::span<const std::uint64_t> sa);

// The same transform straight from the text: libdivsufsort's BWT for texts it can take (no 64-bit
// suffix array is materialised), otherwise through the suffix array.
[[nodiscard]] Bwt bwt_of_text(std::span<const std::uint8_t> text);

// Walks the BWT back into the text. Any input with primary < size yields size bytes; a primary
// at or beyond the size of non-empty data is a UsageError raised before anything is read.
[[nodiscard]] std::string inverse_bwt(std::span<const std::uint8_t> last_column,
                                      std::uint64_t primary);

// 8 bytes per entry, little-endian, no header.
[[nodiscard]] std::string sa_to_bytes(std::span<const std::uint64_t> sa);
// Decodes whole 8-byte groups; 1 to 7 trailing bytes are ignored.
[[nodiscard]] std::vector<std::uint64_t> sa_from_bytes(std::span<const std::uint8_t> data);
// The same into `out`, of data.size() / 8 entries (InternalError otherwise).
void sa_from_bytes_into(std::span<const std::uint8_t> data, std::span<std::uint64_t> out);

}  // namespace quarnel::core::suffix_array
