// The FM-index's batch queries: patterns ordered so that backward searches share their first
// steps, in two parts on the batch's lanes.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "base/errors.hpp"
#include "base/parallel.hpp"
#include "fm_index/fm_index.hpp"

namespace quarnel::core::fm_index {

namespace {

// Patterns of a batch this large are split over two threads.
constexpr std::size_t kMinSplitPatterns = 2048;

std::span<const std::uint8_t> pattern_of(std::span<const std::uint8_t> bytes,
                                         std::span<const std::uint64_t> offsets, std::size_t k) {
  return bytes.subspan(offsets[k], offsets[k + 1] - offsets[k]);
}

// Patterns by their last bytes, read backwards: backward searches that run one after another
// then take their first steps through the same rank lines, which stay in the cache.
std::vector<std::uint32_t> backward_search_order(std::span<const std::uint8_t> bytes,
                                                 std::span<const std::uint64_t> offsets,
                                                 parallel::Lanes lanes) {
  const std::size_t count = offsets.size() - 1;
  if (count > std::numeric_limits<std::uint32_t>::max()) {
    throw UsageError("a batch holds at most 4294967295 patterns");
  }
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed(count);
  for (std::size_t k = 0; k < count; ++k) {
    std::uint64_t key = 0;
    for (unsigned d = 0; d < 8; ++d) {  // the last byte most significant
      const std::uint64_t back =
          offsets[k + 1] - offsets[k] > d ? bytes[offsets[k + 1] - 1 - d] : 0;
      key = (key << 8) | back;
    }
    keyed[k] = {key, static_cast<std::uint32_t>(k)};
  }
  // Ties are broken on the bytes before the last eight, so that patterns sharing a longer suffix
  // stand together and share its search.
  parallel::sort(lanes, keyed, [&](const auto& x, const auto& y) {
    if (x.first != y.first) return x.first < y.first;
    const auto a = pattern_of(bytes, offsets, x.second);
    const auto b = pattern_of(bytes, offsets, y.second);
    return std::lexicographical_compare(a.rbegin(), a.rend(), b.rbegin(), b.rend());
  });
  std::vector<std::uint32_t> order(count);
  for (std::size_t k = 0; k < count; ++k) order[k] = keyed[k].second;
  return order;
}

parallel::Lanes lanes_for_patterns(std::size_t count) {
  return parallel::Lanes::two_if(count >= kMinSplitPatterns && parallel::threads_allowed());
}

}  // namespace

void count_many(const FMIndex& fm, std::span<const std::uint8_t> bytes,
                std::span<const std::uint64_t> offsets, std::span<std::uint64_t> out) {
  const std::size_t n = out.size();
  std::vector<std::uint8_t> folded;
  if (fm.case_insensitive) {
    folded = detail::folded_ascii(bytes);
    bytes = folded;
  }
  const parallel::Lanes lanes = lanes_for_patterns(n);
  const std::vector<std::uint32_t> order = backward_search_order(bytes, offsets, lanes);
  parallel::over_parts(lanes, n, n / 2, [&](parallel::Part part) {
    fm.index.count_batch(bytes, offsets, order, part.begin, part.end, out.data());
  });
}

LocatedBatch locate_many(const FMIndex& fm, std::span<const std::uint8_t> bytes,
                         std::span<const std::uint64_t> offsets) {
  const std::size_t n = offsets.size() - 1;
  const auto located = [&](parallel::Part range) {
    LocatedBatch part;
    part.offsets.push_back(0);
    for (std::size_t k = range.begin; k < range.end; ++k) {
      const auto positions = locate(fm, pattern_of(bytes, offsets, k));
      part.positions.insert(part.positions.end(), positions.begin(), positions.end());
      part.offsets.push_back(part.positions.size());
    }
    return part;
  };
  const auto merge = [](LocatedBatch first, LocatedBatch second) {
    const std::uint64_t base = first.positions.size();
    first.positions.insert(first.positions.end(), second.positions.begin(), second.positions.end());
    for (std::size_t k = 1; k < second.offsets.size(); ++k) {
      first.offsets.push_back(base + second.offsets[k]);
    }
    return first;
  };
  return parallel::over_parts(lanes_for_patterns(n), n, n / 2, located, merge);
}

}  // namespace quarnel::core::fm_index
