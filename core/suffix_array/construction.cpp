#include "suffix_array/construction.hpp"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/large_array.hpp"
#include "base/parallel.hpp"
#include "suffix_array/sais_impl.hpp"

namespace quarnel::core::suffix_array {
namespace {

static_assert(sizeof(saidx_t) == sizeof(std::uint32_t));

// The 32-bit entries parked in the upper half of `out` (bytes [4n, 8n)), where a sort writes
// them before widen_upper_half spreads them over the whole array.
std::span<std::uint32_t> upper_half(std::span<std::uint64_t> out) {
  return {reinterpret_cast<std::uint32_t*>(out.data()) + out.size(), out.size()};
}

// Widens in place, front to back, a block at a time: the writes of entries [i, i + b) cover
// bytes [8i, 8(i + b)), which hold 32-bit entries below 2(i + b) - n <= i + b only, read by then.
void widen_upper_half(std::span<std::uint64_t> out) {
  constexpr std::size_t kBlock = 2048;
  const std::size_t n = out.size();
  const auto* narrow = reinterpret_cast<const unsigned char*>(upper_half(out).data());
  std::uint32_t block[kBlock];
  for (std::size_t i = 0; i < n; i += kBlock) {
    const std::size_t len = std::min(kBlock, n - i);
    std::memcpy(block, narrow + 4 * i, 4 * len);
    for (std::size_t k = 0; k < len; ++k) out[i + k] = block[k];
  }
}

// Sorts in 32-bit entries into the upper half of the 64-bit result, then widens them in place.
template <class Fill32>
SuffixArray sort_in_32_bits_then_widen(std::size_t n, Fill32&& fill) {
  SuffixArray sa = large_array<std::uint64_t>(n);
  fill(upper_half(sa).data());
  widen_upper_half(sa);
  return sa;
}

// Faults in the pages of [begin, end), in slices (an interruption is seen between them), from
// the last one down where `downward`; stops where the kernel cannot.
void populate_bytes(unsigned char* begin, unsigned char* end, bool downward) {
  constexpr std::size_t kSlice = std::size_t{32} << 20;
  for (std::size_t done = 0, size = end - begin; done < size; done += kSlice) {
    const std::size_t len = std::min(kSlice, size - done);
    if (!populate_for_writing(downward ? end - done - len : begin + done, len)) return;
    interrupt::checkpoint();
  }
}

// Fresh memory is faulted in as it is first written, which takes about a tenth of a sort into a
// caller's new array; a second lane takes that on. The half that the 32-bit sort
// uses is faulted in while the sort runs; the other half only as the entries are widened into it
// (from its far end, meeting the widening): earlier, it would be resident beside the sort's own
// working memory.
void sort_into_upper_half_then_widen(std::span<const std::uint8_t> text, SuffixArrayBackend backend,
                                     std::span<std::uint64_t> out, unsigned threads,
                                     parallel::Lanes lanes) {
  auto* const bytes = reinterpret_cast<unsigned char*>(out.data());
  const std::size_t half = out.size_bytes() / 2;
  {
    parallel::SideTask populating(lanes,
                                  [&] { populate_bytes(bytes + half, bytes + 2 * half, false); });
    build_sa32_into(text, backend, upper_half(out), threads);
  }
  parallel::SideTask populating(lanes, [&] { populate_bytes(bytes, bytes + half, true); });
  widen_upper_half(out);
}

bool sorts_in_32_bits(std::size_t n, std::uint64_t alphabet, const detail::SaisLimits& limits) {
  return n <= limits.max_narrow_length && alphabet < std::uint64_t{1} << 32;
}

sais::Threads threads_of(const detail::SaisLimits& limits) {
  return {limits.threads, limits.min_parallel_length, limits.parallel_block, limits.wait_for_plans};
}

detail::SaisLimits on_threads(unsigned threads) {
  detail::SaisLimits limits;
  limits.threads = threads;
  return limits;
}

template <class Sym>
SuffixArray sais_any_width(const Sym* text, std::size_t n, std::uint64_t alphabet,
                           const detail::SaisLimits& limits = {}) {
  if (sorts_in_32_bits(n, alphabet, limits)) {
    return sort_in_32_bits_then_widen(n, [&](std::uint32_t* sa) {
      sais::sort<Sym, std::uint32_t>(text, sa, static_cast<std::uint32_t>(n),
                                     static_cast<std::uint32_t>(alphabet), threads_of(limits));
    });
  }
  SuffixArray sa = large_array<std::uint64_t>(n);
  sais::sort<Sym, std::uint64_t>(text, sa.data(), n, alphabet, threads_of(limits));
  return sa;
}

// The 32-bit array of a text too long for marked 32-bit entries: sorted in 64 bits, then copied
// narrow.
void sais_narrowed(std::span<const std::uint8_t> text, std::span<std::uint32_t> out,
                   unsigned threads) {
  const std::size_t n = text.size();
  std::vector<std::uint64_t> wide = large_array<std::uint64_t>(n);
  sais::sort<std::uint8_t, std::uint64_t>(text.data(), wide.data(), n, 256,
                                          threads_of(on_threads(threads)));
  std::copy(wide.begin(), wide.end(), out.begin());
}

void require_32_bit_entries(std::size_t n) {
  if (!fits_32_bit_entries(n)) throw UsageError("text too long for 32-bit suffix array entries");
}

void require_output_size(std::size_t text_size, std::size_t output_size) {
  if (text_size != output_size) {
    throw InternalError("suffix array output size differs from the text size");
  }
}

// Auto sorts with our SA-IS, which is faster than libdivsufsort on every kind of text the
// benchmarks try (see DESIGN.md).
// DivSufSort takes libdivsufsort for every text its 32-bit interface sorts.
bool uses_divsufsort(SuffixArrayBackend backend, std::span<const std::uint8_t> text) {
  return backend == SuffixArrayBackend::DivSufSort && text.size() <= kDivSufSortMaxLength;
}

}  // namespace

unsigned default_sort_threads(std::size_t n) {
  return n >= kMinTwoThreadLength && parallel::threads_allowed() ? 2 : 1;
}

SuffixArrayBackend parse_backend(std::string_view name) {
  if (name == "sais") return SuffixArrayBackend::Sais;
  if (name == "divsufsort") return SuffixArrayBackend::DivSufSort;
  if (name == "libsais") return SuffixArrayBackend::LibSais;
  if (name == "auto") return SuffixArrayBackend::Auto;
  throw UsageError("Unknown backend: " + std::string(name) +
                   ". Use 'auto', 'sais', 'divsufsort', or 'libsais'.");
}

void throw_libdivsufsort_failure(int status, const char* what) {
  if (status == -2) throw std::bad_alloc();
  throw InternalError(what);
}

void sort_with_libdivsufsort(std::span<const std::uint8_t> text, std::int32_t* sa) {
  static_assert(sizeof(saidx_t) == sizeof(std::int32_t));
  const saidx_t status =
      divsufsort(text.data(), reinterpret_cast<saidx_t*>(sa), static_cast<saidx_t>(text.size()));
  if (status != 0) throw_libdivsufsort_failure(status, "divsufsort failed");
  interrupt::checkpoint();  // one call, not interruptible inside: texts of 10 MB take a second
}

SuffixArray build_sa_divsufsort(std::span<const std::uint8_t> text) {
  return sort_in_32_bits_then_widen(text.size(), [&](std::uint32_t* sa) {
    sort_with_libdivsufsort(text, reinterpret_cast<std::int32_t*>(sa));
  });
}

void build_sa32_into(std::span<const std::uint8_t> text, SuffixArrayBackend backend,
                     std::span<std::uint32_t> out, unsigned threads) {
  const std::size_t n = text.size();
  require_32_bit_entries(n);
  require_output_size(n, out.size());
  if (n <= 1) {
    std::fill(out.begin(), out.end(), 0u);
  } else if (uses_divsufsort(backend, text)) {
    sort_with_libdivsufsort(text, reinterpret_cast<std::int32_t*>(out.data()));
  } else if (sorts_in_32_bits(n, 256, {})) {
    sais::sort<std::uint8_t, std::uint32_t>(text.data(), out.data(), static_cast<std::uint32_t>(n),
                                            256, threads_of(on_threads(threads)));
  } else {
    sais_narrowed(text, out, threads);
  }
}

void build_suffix_array_into(std::span<const std::uint8_t> text, SuffixArrayBackend backend,
                             std::span<std::uint64_t> out, unsigned threads) {
  const std::size_t n = text.size();
  require_output_size(n, out.size());
  const auto lanes = threads > 1 ? parallel::Lanes::for_size(n) : parallel::Lanes::one();
  if (uses_divsufsort(backend, text) || sorts_in_32_bits(n, 256, {})) {
    return sort_into_upper_half_then_widen(text, backend, out, threads, lanes);
  }
  auto* const bytes = reinterpret_cast<unsigned char*>(out.data());
  parallel::SideTask populating(lanes,
                                [&] { populate_bytes(bytes, bytes + out.size_bytes(), false); });
  sais::sort<std::uint8_t, std::uint64_t>(text.data(), out.data(), n, 256,
                                          threads_of(on_threads(threads)));
}

std::vector<std::uint32_t> build_sa32_with_backend(std::span<const std::uint8_t> text,
                                                   SuffixArrayBackend backend, unsigned threads) {
  require_32_bit_entries(text.size());
  std::vector<std::uint32_t> sa = large_array<std::uint32_t>(text.size());
  build_sa32_into(text, backend, sa, threads);
  return sa;
}

std::vector<std::uint32_t> build_sa32(std::span<const std::uint8_t> text) {
  return build_sa32_with_backend(text, SuffixArrayBackend::Auto);
}

SuffixArray build_sa_sais(std::span<const std::uint8_t> text, unsigned threads) {
  return sais_any_width(text.data(), text.size(), 256, on_threads(threads));
}

SuffixArray detail::build_sa_sais_with(std::span<const std::uint8_t> text,
                                       const SaisLimits& limits) {
  return sais_any_width(text.data(), text.size(), 256, limits);
}

SuffixArray build_sa_sais_u16(std::span<const std::uint16_t> units) {
  return sais_any_width(units.data(), units.size(), 65536);
}

SuffixArray build_sa_sais_u32(std::span<const std::uint32_t> symbols, std::uint64_t alphabet_size) {
  return sais_any_width(symbols.data(), symbols.size(), alphabet_size);
}

SuffixArray build_suffix_array_bytes_with_backend(std::span<const std::uint8_t> text,
                                                  SuffixArrayBackend backend) {
  SuffixArray sa = large_array<std::uint64_t>(text.size());
  build_suffix_array_into(text, backend, sa);
  return sa;
}

SuffixArray sais_inner(std::span<const std::uint64_t> symbols, std::uint64_t alphabet_size) {
  const std::size_t n = symbols.size();
  if (n == 0) return {};
  if (n == 1) return {0};
  if (n == 2) return symbols[0] < symbols[1] ? SuffixArray{0, 1} : SuffixArray{1, 0};
  // The sentinel is the unique smallest suffix: sort the rest with an implicit end, put it first.
  SuffixArray body = sais_any_width(symbols.data(), n - 1, alphabet_size);
  SuffixArray sa;
  sa.reserve(n);
  sa.push_back(n - 1);
  sa.insert(sa.end(), body.begin(), body.end());
  return sa;
}

}  // namespace quarnel::core::suffix_array
