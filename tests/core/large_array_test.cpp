#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "large_array.hpp"

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
