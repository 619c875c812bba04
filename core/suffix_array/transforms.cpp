#include "suffix_array/transforms.hpp"

#include <divsufsort.h>

#include <array>
#include <bit>
#include <cstring>
#include <utility>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "suffix_array/construction.hpp"

namespace quarnel::core::suffix_array {
namespace {

std::uint64_t to_little_endian(std::uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(v);
  return v;
}

template <class Idx>
void scatter_ranks(std::span<const Idx> sa, std::span<std::uint64_t> isa) {
  const std::size_t n = sa.size();
  if (isa.size() != n) throw InternalError("inverse suffix array size differs from the array's");
  for (std::size_t r = 0; r < n; ++r) {
    if (sa[r] < n) isa[sa[r]] = r;
  }
}

}  // namespace

std::vector<std::uint64_t> inverse_suffix_array(std::span<const std::uint64_t> sa) {
  std::vector<std::uint64_t> isa(sa.size(), 0);
  scatter_ranks(sa, std::span(isa));
  return isa;
}

void inverse_of_permutation_into(std::span<const std::uint32_t> sa, std::span<std::uint64_t> isa) {
  scatter_ranks(sa, isa);
}

void inverse_of_permutation_into(std::span<const std::uint64_t> sa, std::span<std::uint64_t> isa) {
  scatter_ranks(sa, isa);
}

Bwt bwt(std::span<const std::uint8_t> text, std::span<const std::uint64_t> sa) {
  const std::size_t n = text.size();
  if (n == 0) throw UsageError("bwt requires non-empty data: an empty text has no primary index");
  Bwt out;
  out.last_column.resize(n);
  bool found = false;
  for (std::size_t r = 0; r < n; ++r) {
    const std::uint64_t p = sa[r];
    if (p == 0) {
      out.last_column[r] = static_cast<char>(text[n - 1]);
      if (!found) out.primary = r;
      found = true;
    } else {
      out.last_column[r] = static_cast<char>(text[p - 1]);
    }
  }
  return out;
}

Bwt bwt_of_text(std::span<const std::uint8_t> text) {
  const std::size_t n = text.size();
  if (n < 2 || n > kDivSufSortMaxLength) {
    if (n == 0) return bwt(text, {});
    return bwt(text, build_suffix_array_bytes_with_backend(text, SuffixArrayBackend::Auto));
  }
  Bwt out;
  out.last_column.resize(n);
  auto* u = reinterpret_cast<std::uint8_t*>(out.last_column.data());
  // Our own work array, so that running out of memory surfaces as std::bad_alloc.
  std::vector<saidx_t> work(n);
  const saidx_t pidx = divbwt(text.data(), u, work.data(), static_cast<saidx_t>(n));
  if (pidx < 1) throw_libdivsufsort_failure(pidx, "divbwt failed");
  // divbwt puts the byte before the sentinel row first and omits the sentinel; our transform has
  // no sentinel row, so that byte moves to the rank of the whole text, pidx - 1.
  const std::uint8_t first = u[0];
  std::memmove(u, u + 1, static_cast<std::size_t>(pidx) - 1);
  u[pidx - 1] = first;
  out.primary = static_cast<std::uint64_t>(pidx) - 1;
  return out;
}

namespace {

// One packed entry per rank: the next rank of the backward walk above the byte at this rank, so
// the walk touches one random location per step.
template <class Entry>
std::string walk_backwards(std::span<const std::uint8_t> last_column, std::uint64_t primary) {
  const std::size_t n = last_column.size();
  std::array<std::uint64_t, 256> base{};
  for (const std::uint8_t c : last_column) ++base[c];
  std::uint64_t sum = 0;
  for (auto& b : base) sum += std::exchange(b, sum);
  const std::uint8_t c_p = last_column[primary];
  std::vector<Entry> next(n);
  std::array<std::uint64_t, 256> seen{};
  for (std::size_t i = 0; i < n; ++i) {
    interrupt::checkpoint_every(i);
    const std::uint8_t c = last_column[i];
    const std::uint64_t occ = seen[c]++;
    // The byte at the primary rank stands in for a sentinel row, so equal bytes below it count
    // one higher.
    std::uint64_t target;
    if (i == primary) {
      target = base[c];
    } else if (i < primary && c == c_p) {
      target = base[c] + occ + 1;
    } else {
      target = base[c] + occ;
    }
    next[i] = static_cast<Entry>((target << 8) | c);
  }
  std::string out(n, '\0');
  std::uint64_t j = primary;
  for (std::size_t k = n; k > 0; --k) {
    interrupt::checkpoint_every(k);
    const Entry e = next[j];
    out[k - 1] = static_cast<char>(e & 0xFF);
    j = e >> 8;
  }
  return out;
}

}  // namespace

std::string inverse_bwt(std::span<const std::uint8_t> last_column, std::uint64_t primary) {
  const std::size_t n = last_column.size();
  if (n == 0) return {};
  if (primary >= n) {
    throw UsageError("primary_index " + std::to_string(primary) +
                     " is out of range for BWT data of length " + std::to_string(n));
  }
  if (n <= (std::size_t{1} << 24)) return walk_backwards<std::uint32_t>(last_column, primary);
  return walk_backwards<std::uint64_t>(last_column, primary);
}

std::string sa_to_bytes(std::span<const std::uint64_t> sa) {
  std::string out(sa.size() * 8, '\0');
  for (std::size_t r = 0; r < sa.size(); ++r) {
    const std::uint64_t le = to_little_endian(sa[r]);
    std::memcpy(out.data() + 8 * r, &le, 8);
  }
  return out;
}

void sa_from_bytes_into(std::span<const std::uint8_t> data, std::span<std::uint64_t> out) {
  if (out.size() != data.size() / 8) {
    throw InternalError("decoded array size differs from the data's");
  }
  for (std::size_t r = 0; r < out.size(); ++r) {
    std::uint64_t le;
    std::memcpy(&le, data.data() + 8 * r, 8);
    out[r] = to_little_endian(le);
  }
}

std::vector<std::uint64_t> sa_from_bytes(std::span<const std::uint8_t> data) {
  std::vector<std::uint64_t> out(data.size() / 8);
  sa_from_bytes_into(data, out);
  return out;
}

}  // namespace quarnel::core::suffix_array
