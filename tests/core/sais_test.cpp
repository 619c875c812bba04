#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "suffix_array/construction.hpp"
#include "test_support.hpp"

namespace sa = quarnel::core::suffix_array;

namespace {

// Symbols shifted up by one with a trailing 0 sentinel, as every caller of sais_inner builds them.
std::vector<std::uint64_t> with_sentinel(const std::vector<std::uint64_t>& body) {
  std::vector<std::uint64_t> t;
  t.reserve(body.size() + 1);
  for (auto c : body) t.push_back(c + 1);
  t.push_back(0);
  return t;
}

std::uint64_t alphabet_of(const std::vector<std::uint64_t>& t) {
  return t.empty() ? 1 : *std::max_element(t.begin(), t.end()) + 1;
}

void expect_sais_matches_brute_force(const std::vector<std::uint64_t>& body) {
  const auto t = with_sentinel(body);
  EXPECT_EQ(sa::sais_inner(t, alphabet_of(t)), quarnel::test::sorted_suffixes(t));
}

std::vector<std::uint64_t> repeat(const std::vector<std::uint64_t>& block, std::size_t times) {
  std::vector<std::uint64_t> out;
  for (std::size_t i = 0; i < times; ++i) out.insert(out.end(), block.begin(), block.end());
  return out;
}

std::vector<std::uint64_t> fibonacci_word(std::size_t min_len) {
  std::vector<std::uint64_t> a{0}, b{0, 1};
  while (b.size() < min_len) {
    auto next = b;
    next.insert(next.end(), a.begin(), a.end());
    a = std::move(b);
    b = std::move(next);
  }
  return b;
}

}  // namespace

TEST(SaisInner, DocumentedExamples) {
  EXPECT_EQ(sa::sais_inner(std::vector<std::uint64_t>{3, 3, 3, 0}, 4),
            (std::vector<std::uint64_t>{3, 2, 1, 0}));
  EXPECT_EQ(sa::sais_inner(std::vector<std::uint64_t>{2, 1, 0}, 3),
            (std::vector<std::uint64_t>{2, 1, 0}));
  EXPECT_TRUE(sa::sais_inner(std::vector<std::uint64_t>{}, 1).empty());
  EXPECT_EQ(sa::sais_inner(std::vector<std::uint64_t>{0}, 1), (std::vector<std::uint64_t>{0}));
  EXPECT_EQ(sa::sais_inner(std::vector<std::uint64_t>{5, 0}, 6),
            (std::vector<std::uint64_t>{1, 0}));
}

TEST(SaisInner, RandomAlphabetsAgainstBruteForce) {
  std::mt19937_64 rng(12345);
  for (std::uint64_t sigma : {2, 3, 4, 7, 26, 100, 256, 300}) {
    for (int trial = 0; trial < 150; ++trial) {
      const std::size_t n = rng() % 200;
      std::vector<std::uint64_t> body(n);
      for (auto& c : body) c = rng() % sigma;
      SCOPED_TRACE("sigma=" + std::to_string(sigma) + " n=" + std::to_string(n));
      expect_sais_matches_brute_force(body);
    }
  }
}

TEST(SaisInner, InputsForcingDeepRecursion) {
  expect_sais_matches_brute_force(std::vector<std::uint64_t>(3000, 7));  // a^n
  expect_sais_matches_brute_force(repeat({0, 1}, 1500));                 // (ab)^n
  expect_sais_matches_brute_force(repeat({2, 0, 1}, 1000));
  expect_sais_matches_brute_force(fibonacci_word(4000));
  expect_sais_matches_brute_force(repeat({3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9}, 300));
  std::mt19937_64 rng(7);
  std::vector<std::uint64_t> block(257);
  for (auto& c : block) c = rng() % 4;
  expect_sais_matches_brute_force(repeat(block, 20));
}

TEST(ByteBackends, AgreeWithBruteForceOnRandomBytes) {
  std::mt19937_64 rng(99);
  for (int trial = 0; trial < 2000; ++trial) {
    const std::size_t n = rng() % 64;
    const unsigned sigma = 1 + rng() % 4;
    std::vector<std::uint8_t> text(n);
    // Small alphabets at both ends of the byte range so 0x00 and 0xFF take part.
    for (auto& c : text) c = (rng() & 1) ? rng() % sigma : 255 - rng() % sigma;
    const auto expected = quarnel::test::sorted_suffixes(text);
    for (auto backend : {sa::SuffixArrayBackend::Sais, sa::SuffixArrayBackend::DivSufSort,
                         sa::SuffixArrayBackend::LibSais, sa::SuffixArrayBackend::Auto}) {
      ASSERT_EQ(sa::build_suffix_array_bytes_with_backend(text, backend), expected);
    }
  }
}

TEST(ByteBackends, WideCodeUnitsAgreeWithBruteForce) {
  std::mt19937_64 rng(5);
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<std::uint16_t> units(rng() % 100);
    for (auto& u : units) u = (rng() & 1) ? rng() % 3 : 0xFFFF - rng() % 3;
    ASSERT_EQ(sa::build_sa_sais_u16(units), quarnel::test::sorted_suffixes(units));
  }
}

TEST(ParseBackend, ExactNamesOnly) {
  EXPECT_EQ(sa::parse_backend("auto"), sa::SuffixArrayBackend::Auto);
  EXPECT_EQ(sa::parse_backend("libsais"), sa::SuffixArrayBackend::LibSais);
  try {
    (void)sa::parse_backend(std::string("sa\0is", 5));
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what(), 5 + 17), std::string("Unknown backend: sa\0is", 22));
  }
}
