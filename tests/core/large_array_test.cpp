#include "base/large_array.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

using quarnel::core::parallel::Lanes;

namespace core = quarnel::core;

// Faulting pages in must leave what was written there: the second thread populates an array
// the first may be writing already. Untouched pages between written ones are populated too.
TEST(LargeArray, PopulatingKeepsWhatWasWritten) {
  constexpr std::size_t kWords = std::size_t{3} << 20;  // 24 MiB: whole huge pages and parts
  constexpr std::size_t kPageWords = 4096 / sizeof(std::uint64_t);
  const std::unique_ptr<std::uint64_t[]> words(new std::uint64_t[kWords]);
  core::advise_huge_pages(words.get(), kWords * sizeof(std::uint64_t));
  const auto pattern = [](std::size_t i) { return i * 0x9e3779b97f4a7c15ULL + 1; };
  for (std::size_t i = 0; i < kWords; i += 3 * kPageWords) words[i] = pattern(i);
  for (const std::size_t offset : {std::size_t{0}, std::size_t{5}}) {
    const bool populated = core::populate_for_writing(
        words.get() + offset, (kWords - offset) * sizeof(std::uint64_t) - 3);
    if (!populated) GTEST_SKIP() << "the kernel cannot populate pages";
    for (std::size_t i = 0; i < kWords; i += 3 * kPageWords) ASSERT_EQ(words[i], pattern(i));
  }
}

// Faulted in on one thread or two, an array holds n value-initialised entries, at sizes below a
// huge page, across several and with parts of one.
TEST(LargeArray, FaultedInArraysAreZeroedAtAnySize) {
  for (const std::size_t n :
       {std::size_t{0}, std::size_t{1}, std::size_t{4099}, (std::size_t{5} << 20) + 3}) {
    for (const Lanes lanes : {Lanes::one(), Lanes::two()}) {
      const auto v = core::large_array_faulted_in<std::uint32_t>(n, lanes);
      ASSERT_EQ(v.size(), n);
      for (std::size_t i = 0; i < n; i += 1021) {
        ASSERT_EQ(v[i], 0u) << n << " " << i;
      }
      if (n > 0) {
        EXPECT_EQ(v.back(), 0u);
      }
    }
  }
}
