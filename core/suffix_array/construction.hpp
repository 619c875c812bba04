#pragma once
// Suffix array construction: our own SA-IS, or libdivsufsort for byte texts it can take when
// asked for.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace quarnel::core::suffix_array {

using SuffixArray = std::vector<std::uint64_t>;

// `LibSais` keeps the name and value callers select it by ("libsais"), but no library stands
// behind it: it is our own SA-IS, as `Sais` is.
enum class SuffixArrayBackend : std::uint8_t { Sais = 0, DivSufSort = 1, LibSais = 2, Auto = 3 };

// Longest text libdivsufsort's 32-bit interface sorts; longer texts go to SA-IS.
inline constexpr std::uint64_t kDivSufSortMaxLength = 2'147'483'646;

// Positions and lengths below this fit the 32-bit working arrays.
[[nodiscard]] constexpr bool fits_32_bit_entries(std::uint64_t n) {
  return n < 0xFFFF'FFFFu;
}

// Parses "sais", "divsufsort", "libsais" or "auto" exactly; anything else throws UsageError with
// the message the Python surface reports.
[[nodiscard]] SuffixArrayBackend parse_backend(std::string_view name);

[[nodiscard]] SuffixArray build_suffix_array_bytes_with_backend(std::span<const std::uint8_t> text,
                                                                SuffixArrayBackend backend);

// The same array written into `out`, whose size must be the text's (InternalError otherwise),
// with no result-sized buffer beside it: texts below 4 GiB sort in 32-bit entries into the upper
// half of `out` and are widened in place. With two threads, the second one faults in the pages
// of `out` and plans the induction passes of our SA-IS.
void build_suffix_array_into(std::span<const std::uint8_t> text, SuffixArrayBackend backend,
                             std::span<std::uint64_t> out, unsigned threads = 1);

// From this length on, a sort left to us takes a second thread where the process may use one;
// below it the second thread gains nothing (see DESIGN.md).
inline constexpr std::size_t kMinTwoThreadLength = std::size_t{1} << 24;

// The threads to sort a text of n bytes on when the caller does not say.
[[nodiscard]] unsigned default_sort_threads(std::size_t n);

// Requires 2 <= text.size() <= kDivSufSortMaxLength.
[[nodiscard]] SuffixArray build_sa_divsufsort(std::span<const std::uint8_t> text);

// libdivsufsort's suffix array of `text` into sa[0, text.size()), with the same requirement.
// Its own allocation failing is memory running out like any other: std::bad_alloc.
void sort_with_libdivsufsort(std::span<const std::uint8_t> text, std::int32_t* sa);

// Throws what a failed libdivsufsort call stands for: std::bad_alloc for its allocation
// failure (-2), InternalError(`what`) otherwise.
[[noreturn]] void throw_libdivsufsort_failure(int status, const char* what);

// The suffix array in 32-bit entries, for callers that only read it (any text below 4 GiB).
[[nodiscard]] std::vector<std::uint32_t> build_sa32(std::span<const std::uint8_t> text);

// The same array as build_suffix_array_bytes_with_backend, in 32-bit entries; requires a text
// below 4 GiB. Callers that widen while copying save the 64-bit intermediate.
// `threads` (1 or 2) is what our SA-IS may use; libdivsufsort sorts on one.
[[nodiscard]] std::vector<std::uint32_t> build_sa32_with_backend(std::span<const std::uint8_t> text,
                                                                 SuffixArrayBackend backend,
                                                                 unsigned threads = 1);

// The same array written into `out`, whose size must be the text's (InternalError otherwise).
void build_sa32_into(std::span<const std::uint8_t> text, SuffixArrayBackend backend,
                     std::span<std::uint32_t> out, unsigned threads = 1);

// SA-IS over a symbol string that ends in a unique smallest sentinel; every symbol is below
// `alphabet_size`. The result includes the sentinel's position (always first).
[[nodiscard]] SuffixArray sais_inner(std::span<const std::uint64_t> symbols,
                                     std::uint64_t alphabet_size);

// SA-IS of a byte text without sentinel (the end of the text sorts before every byte), on up
// to `threads` threads (texts of a few megabytes and more use the second to plan the induction
// passes). Sorts on one thread unless asked.
[[nodiscard]] SuffixArray build_sa_sais(std::span<const std::uint8_t> text, unsigned threads = 1);

// SA-IS of a 16-bit code-unit sequence, code units compared as unsigned numbers.
[[nodiscard]] SuffixArray build_sa_sais_u16(std::span<const std::uint16_t> units);

// SA-IS of a 32-bit symbol sequence (symbols below alphabet_size), implicit smallest end.
[[nodiscard]] SuffixArray build_sa_sais_u32(std::span<const std::uint32_t> symbols,
                                            std::uint64_t alphabet_size);

namespace detail {

// Where our SA-IS changes strategy. Marked 32-bit entries hold positions below 2^31 - 1; longer
// texts sort in 64-bit entries. With two threads, the induction passes of every level at least
// min_parallel_length long split their scans into blocks of parallel_block entries. Tests lower
// the limits to reach every path on small texts.
struct SaisLimits {
  std::uint64_t max_narrow_length = (std::uint64_t{1} << 31) - 1;
  unsigned threads = 1;
  std::uint64_t min_parallel_length = std::uint64_t{1} << 21;
  std::size_t parallel_block = std::size_t{1} << 15;
  bool wait_for_plans = false;  // see sais::Threads
};

[[nodiscard]] SuffixArray build_sa_sais_with(std::span<const std::uint8_t> text,
                                             const SaisLimits& limits);

}  // namespace detail

}  // namespace quarnel::core::suffix_array
