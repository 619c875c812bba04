#include "suffix_array/transforms.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <utility>

#include "errors.hpp"

namespace quarnel::core::suffix_array {
namespace {

std::uint64_t to_little_endian(std::uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(v);
  return v;
}

}  // namespace

std::vector<std::uint64_t> inverse_suffix_array(std::span<const std::uint64_t> sa) {
  const std::size_t n = sa.size();
  std::vector<std::uint64_t> isa(n, 0);
  for (std::size_t r = 0; r < n; ++r) {
    if (sa[r] < n) isa[sa[r]] = r;
  }
  return isa;
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

std::string inverse_bwt(std::span<const std::uint8_t> last_column, std::uint64_t primary) {
  const std::size_t n = last_column.size();
  if (n == 0) return {};
  if (primary >= n) {
    throw UsageError("primary_index " + std::to_string(primary) +
                     " is out of range for BWT data of length " + std::to_string(n));
  }
  std::array<std::uint64_t, 256> base{};
  std::vector<std::uint32_t> occ32;
  std::vector<std::uint64_t> occ64;
  // occ[i]: earlier ranks holding the same byte; 32 bits suffice below 4 GiB.
  const bool narrow = n <= 0xFFFF'FFFFu;
  if (narrow) occ32.resize(n); else occ64.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t seen = base[last_column[i]]++;
    if (narrow) occ32[i] = static_cast<std::uint32_t>(seen); else occ64[i] = seen;
  }
  std::uint64_t sum = 0;
  for (auto& b : base) sum += std::exchange(b, sum);
  const std::uint8_t c_p = last_column[primary];
  std::string out(n, '\0');
  std::uint64_t j = primary;
  for (std::size_t k = n; k > 0; --k) {
    const std::uint8_t c = last_column[j];
    out[k - 1] = static_cast<char>(c);
    const std::uint64_t occ = narrow ? occ32[j] : occ64[j];
    // The byte at the primary rank stands in for a sentinel row, so equal bytes below it count
    // one higher.
    if (j == primary) {
      j = base[c];
    } else if (j < primary && c == c_p) {
      j = base[c] + occ + 1;
    } else {
      j = base[c] + occ;
    }
  }
  return out;
}

std::string sa_to_bytes(std::span<const std::uint64_t> sa) {
  std::string out(sa.size() * 8, '\0');
  for (std::size_t r = 0; r < sa.size(); ++r) {
    const std::uint64_t le = to_little_endian(sa[r]);
    std::memcpy(out.data() + 8 * r, &le, 8);
  }
  return out;
}

std::vector<std::uint64_t> sa_from_bytes(std::span<const std::uint8_t> data) {
  std::vector<std::uint64_t> out(data.size() / 8);
  for (std::size_t r = 0; r < out.size(); ++r) {
    std::uint64_t le;
    std::memcpy(&le, data.data() + 8 * r, 8);
    out[r] = to_little_endian(le);
  }
  return out;
}

}  // namespace quarnel::core::suffix_array
