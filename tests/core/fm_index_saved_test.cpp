#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fm_index.hpp"
#include "persist/mapped_file.hpp"

namespace fm = quarnel::core::fm_index;

namespace {

std::vector<std::uint8_t> random_text(std::mt19937_64& rng, std::size_t n,
                                      std::string_view alphabet) {
  std::vector<std::uint8_t> t(n);
  for (auto& c : t) c = static_cast<std::uint8_t>(alphabet[rng() % alphabet.size()]);
  return t;
}

// Flattened patterns: substrings, random strings, empty and null-byte ones.
struct Batch {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint64_t> offsets{0};
  void add(std::span<const std::uint8_t> p) {
    bytes.insert(bytes.end(), p.begin(), p.end());
    offsets.push_back(bytes.size());
  }
  [[nodiscard]] std::span<const std::uint8_t> at(std::size_t k) const {
    return std::span(bytes).subspan(offsets[k], offsets[k + 1] - offsets[k]);
  }
};

Batch patterns_of(std::mt19937_64& rng, const std::vector<std::uint8_t>& text) {
  Batch b;
  b.add({});
  const std::uint8_t null_then_a[] = {0, 'a'};
  b.add(null_then_a);
  for (int k = 0; k < 3000; ++k) {
    const std::size_t m = 1 + rng() % 8;
    if (k % 2 == 0 && text.size() >= m) {
      const std::size_t at = rng() % (text.size() - m + 1);
      b.add(std::span(text).subspan(at, m));
    } else {
      const auto p = random_text(rng, m, "abcA");
      b.add(p);
    }
  }
  return b;
}

class FMIndexBatchTest : public ::testing::TestWithParam<std::tuple<std::size_t, bool>> {};

TEST_P(FMIndexBatchTest, BatchCountsAndSavedFormsAnswerAsOneAtATime) {
  const auto [n, case_insensitive] = GetParam();
  std::mt19937_64 rng(n * 2 + case_insensitive);
  const auto text = random_text(rng, n, "abcAB ");
  const fm::FMIndex index = fm::build_fm_index(text, 2, case_insensitive, false);
  const Batch batch = patterns_of(rng, text);
  const std::size_t count = batch.offsets.size() - 1;

  std::vector<std::uint64_t> counts(count);
  fm::count_many(index, batch.bytes, batch.offsets, counts);
  const fm::SavedForm form = fm::saved_form(index);
  std::vector<std::uint8_t> saved;
  for (const auto part : form.parts) saved.insert(saved.end(), part.begin(), part.end());
  const fm::FMIndex restored = fm::fm_index_from_bytes(saved);
  EXPECT_EQ(fm::heap_size(restored), fm::heap_size(index));
  const auto located = fm::locate_many(restored, batch.bytes, batch.offsets);
  for (std::size_t k = 0; k < count; ++k) {
    ASSERT_EQ(counts[k], fm::count(index, batch.at(k))) << k;
    const auto expected = fm::locate(index, batch.at(k));
    ASSERT_EQ(std::vector<std::uint64_t>(located.positions.begin() + located.offsets[k],
                                         located.positions.begin() + located.offsets[k + 1]),
              expected)
        << k;
  }
  // A saved form one byte short, or with any header byte changed, is refused.
  const std::uint8_t last = saved.back();
  saved.pop_back();
  EXPECT_THROW((void)fm::fm_index_from_bytes(saved), quarnel::core::persist::FormatError);
  saved.push_back(last);
  for (std::size_t byte = 0; byte < 2368; byte += 29) {
    saved[byte] ^= 0x10;
    EXPECT_THROW((void)fm::fm_index_from_bytes(saved), quarnel::core::persist::FormatError) << byte;
    saved[byte] ^= 0x10;
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, FMIndexBatchTest,
                         ::testing::Combine(::testing::Values(0, 1, 7, 600, 20000),
                                            ::testing::Bool()));

}  // namespace
