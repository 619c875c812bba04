#include "corpus.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

using quarnel::core::corpus::CompactColumn;

// Against a plain column of 64-bit values: values on both sides of 2^32 - 1, rows set in any
// order and set again, narrow over wide and wide over narrow.
TEST(CompactColumn, HoldsEveryValueOfAPlainColumn) {
  constexpr std::uint64_t kEdge = 0xFFFFFFFFu;
  const std::uint64_t samples[] = {0, 1, kEdge - 1, kEdge, kEdge + 1, 1ull << 40, ~0ull, 12345};
  std::mt19937_64 rng(7);
  for (const std::size_t rows : {0, 1, 2, 17, 1000}) {
    CompactColumn column;
    column.resize(rows);
    std::vector<std::uint64_t> plain(rows, 0);
    for (std::size_t step = 0; step < 4 * rows; ++step) {
      const std::size_t row = rng() % rows;
      const std::uint64_t value = samples[rng() % std::size(samples)];
      column.set(row, value);
      plain[row] = value;
    }
    ASSERT_EQ(column.size(), rows);
    for (std::size_t row = 0; row < rows; ++row) EXPECT_EQ(column[row], plain[row]) << row;
    std::vector<std::uint64_t> copied(rows, 99);
    column.copy_to(copied);
    EXPECT_EQ(copied, plain);
  }
}

}  // namespace
