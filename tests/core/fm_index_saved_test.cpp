#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "fm_index/fm_index.hpp"
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

// Occurrences of p in t, overlapping ones included.
std::uint64_t brute_count(const std::vector<std::uint8_t>& t, std::span<const std::uint8_t> p) {
  if (p.empty()) return t.size();
  std::uint64_t c = 0;
  for (std::size_t i = 0; i + p.size() <= t.size(); ++i) {
    c += std::equal(p.begin(), p.end(), t.begin() + static_cast<std::ptrdiff_t>(i)) ? 1 : 0;
  }
  return c;
}

// The suffix trie of a batch, whatever its size limit (1 sends every pattern to search alone,
// small ones make it restart within the batch) and whatever the order of the patterns (shared
// suffixes or none, duplicates next to each other or apart), counts as a scan of the text.
class TrieBatchTest : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(TrieBatchTest, CountsMatchAScanOfTheText) {
  const auto [n, trie_nodes] = GetParam();
  std::mt19937_64 rng(n + 31 * trie_nodes);
  const auto text = random_text(rng, n, "abcd");
  const fm::FMIndex index = fm::build_fm_index(text, 2, false, false);
  Batch batch = patterns_of(rng, text);
  const std::vector<std::uint8_t> longer(text.size() + 1, 'a');
  batch.add(longer);
  batch.add(text);
  for (std::size_t k = 0; k < 50; ++k) batch.add(batch.at(2 + k));  // duplicates
  const std::size_t count = batch.offsets.size() - 1;
  std::vector<std::uint32_t> as_given(count);
  std::iota(as_given.begin(), as_given.end(), 0U);
  std::vector<std::uint32_t> backwards = as_given;
  std::sort(backwards.begin(), backwards.end(), [&](std::uint32_t x, std::uint32_t y) {
    const auto a = batch.at(x);
    const auto b = batch.at(y);
    return std::lexicographical_compare(a.rbegin(), a.rend(), b.rbegin(), b.rend());
  });
  for (const auto& order : {as_given, backwards}) {
    std::vector<std::uint64_t> counts(count, ~std::uint64_t{0});
    index.index.count_batch(batch.bytes, batch.offsets, order, 0, count, counts.data(), trie_nodes);
    for (std::size_t k = 0; k < count; ++k) {
      // Patterns with the sentinel byte 0 are left to search(), which reads the text cyclically.
      const auto p = batch.at(k);
      const bool plain = std::find(p.begin(), p.end(), 0) == p.end();
      ASSERT_EQ(counts[k], plain ? brute_count(text, p) : index.index.search(p).size()) << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Limits, TrieBatchTest,
                         ::testing::Combine(::testing::Values(1, 9, 3000),
                                            ::testing::Values(1, 2, 5, 40,
                                                              fm::FMIndexBackend::kTrieNodes)));

}  // namespace
