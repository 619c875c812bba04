#include "suffix_array/construction.hpp"
#include "test_support.hpp"

namespace {

// Symbols shifted up by one with a trailing 0 sentinel, as every caller of sais_inner builds them.
void expect_sais_matches_brute_force(const std::vector<std::uint64_t>& body) {
  std::vector<std::uint64_t> t;
  for (auto c : body) t.push_back(c + 1);
  t.push_back(0);
  EXPECT_EQ(sa::sais_inner(t, *std::max_element(t.begin(), t.end()) + 1),
            quarnel::test::sorted_suffixes(t));
}

}  // namespace

// Random alphabets, and inputs forcing deep recursion.
TEST(SaisInner, AgreesWithBruteForce) {
  std::mt19937_64 rng(12345);
  for (std::uint64_t sigma : {2, 3, 4, 7, 26, 100, 256, 300}) {
    for (int trial = 0; trial < 150; ++trial) {
      const auto body = quarnel::test::random_symbols<std::uint64_t>(rng, rng() % 200, sigma);
      SCOPED_TRACE("sigma=" + std::to_string(sigma) + " n=" + std::to_string(body.size()));
      expect_sais_matches_brute_force(body);
    }
  }
  expect_sais_matches_brute_force(std::vector<std::uint64_t>(3000, 7));  // a^n
  using V = std::vector<std::uint64_t>;
  const auto fibonacci = quarnel::test::fibonacci_bytes(4000);
  for (const V& body :
       {quarnel::test::cycled(V{0, 1}, 3000), quarnel::test::cycled(V{2, 0, 1}, 3000),
        V(fibonacci.begin(), fibonacci.end()),
        quarnel::test::cycled(V{3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9}, 4500),
        quarnel::test::cycled(quarnel::test::random_symbols<std::uint64_t>(rng, 257, 4), 5140)}) {
    expect_sais_matches_brute_force(body);
  }
}

TEST(ByteBackends, AgreeWithBruteForceOnRandomBytes) {
  std::mt19937_64 rng(99);
  for (int trial = 0; trial < 2000; ++trial) {
    const std::size_t n = rng() % 64;
    const unsigned sigma = 1 + rng() % 4;
    Bytes text(n);
    // Small alphabets at both ends of the byte range so 0x00 and 0xFF take part.
    for (auto& c : text) c = (rng() & 1) ? rng() % sigma : 255 - rng() % sigma;
    const auto expected = quarnel::test::sorted_suffixes(text);
    for (auto backend : {sa::SuffixArrayBackend::Sais, sa::SuffixArrayBackend::DivSufSort,
                         sa::SuffixArrayBackend::LibSais, sa::SuffixArrayBackend::Auto}) {
      ASSERT_EQ(sa::build_suffix_array_bytes_with_backend(text, backend), expected);
    }
  }
}

// 16- and 32-bit symbols near the top of their range, random and periodic: periodic texts have
// few distinct LMS substrings at every level, so each level names them by dictionary, and wide
// symbols take the hashed keys beyond two symbols.
TEST(ByteBackends, WideSymbolsAgreeWithBruteForce) {
  std::mt19937_64 rng(5);
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<std::uint16_t> units(rng() % 100);
    for (auto& u : units) u = (rng() & 1) ? rng() % 3 : 0xFFFF - rng() % 3;
    ASSERT_EQ(sa::build_sa_sais_u16(units), quarnel::test::sorted_suffixes(units));
    const std::uint64_t alphabet = 1 + rng() % 5 + (trial % 3 == 0 ? 70000 : 0);
    std::vector<std::uint32_t> symbols(rng() % 120);
    for (auto& c : symbols)
      c = static_cast<std::uint32_t>(alphabet - 1 - rng() % std::min<std::uint64_t>(alphabet, 4));
    ASSERT_EQ(sa::build_sa_sais_u32(symbols, alphabet), quarnel::test::sorted_suffixes(symbols));
  }
  for (std::uint64_t alphabet : {3, 70000}) {
    for (std::size_t period : {5, 64, 333}) {
      const auto block = quarnel::test::random_symbols<std::uint32_t>(rng, period, alphabet);
      for (std::size_t n : {2 * period + 1, std::size_t{3000}}) {
        SCOPED_TRACE("alphabet=" + std::to_string(alphabet) + " period=" + std::to_string(period) +
                     " n=" + std::to_string(n));
        const auto symbols = quarnel::test::cycled(block, n);
        ASSERT_EQ(sa::build_sa_sais_u32(symbols, alphabet),
                  quarnel::test::sorted_suffixes(symbols));
      }
    }
  }
}

namespace {

Bytes random_bytes(std::size_t n, unsigned sigma, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  return quarnel::test::random_symbols(rng, n, sigma);
}

Bytes periodic(std::size_t n, std::size_t period, std::uint64_t seed) {
  return quarnel::test::cycled(random_bytes(period, 3, seed), n);
}

// Words drawn with skewed frequencies, as in prose: long repeats of short phrases.
Bytes word_text(std::size_t n, std::uint64_t seed) {
  static const char* const words[] = {"the ",  "of ",   "and ",        "a ",        "to ",  "in ",
                                      "is ",   "that ", "license ",    "software ", "you ", "may ",
                                      "copy ", "or ",   "distribute ", "program. "};
  std::mt19937_64 rng(seed);
  Bytes out;
  while (out.size() < n) {
    const std::size_t w = std::min<std::size_t>(rng() % 16, rng() % 16);
    for (const char* p = words[w]; *p != 0; ++p) out.push_back(static_cast<std::uint8_t>(*p));
  }
  out.resize(n);
  return out;
}

Bytes every_byte_value(std::size_t n, std::uint64_t seed) {
  Bytes out = random_bytes(n, 256, seed);
  for (std::size_t i = 0; i < std::min<std::size_t>(n, 256); ++i) {
    out[i * (n / 256 == 0 ? 1 : n / 256)] = static_cast<std::uint8_t>(255 - i);
  }
  return out;
}

struct Shape {
  const char* name;
  Bytes (*make)(std::size_t n, std::uint64_t seed);
};

const Shape kShapes[] = {
    {"one byte run", [](std::size_t n, std::uint64_t) { return Bytes(n, 'x'); }},
    {"two runs",
     [](std::size_t n, std::uint64_t) {
       Bytes b(n, 0);
       std::fill(b.begin() + static_cast<std::ptrdiff_t>(n / 2), b.end(), 255);
       return b;
     }},
    {"fibonacci", [](std::size_t n, std::uint64_t) { return quarnel::test::fibonacci_bytes(n); }},
    {"thue-morse",
     [](std::size_t n, std::uint64_t) {
       Bytes out(n);
       for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(std::popcount(i) & 1);
       return out;
     }},
    {"period 7", [](std::size_t n, std::uint64_t s) { return periodic(n, 7, s); }},
    {"period 1000", [](std::size_t n, std::uint64_t s) { return periodic(n, 1000, s); }},
    {"dna",
     [](std::size_t n, std::uint64_t s) {
       Bytes b = random_bytes(n, 4, s);
       for (auto& c : b) c = static_cast<std::uint8_t>("ACGT"[c]);
       return b;
     }},
    {"random", [](std::size_t n, std::uint64_t s) { return random_bytes(n, 256, s); }},
    {"binary", [](std::size_t n, std::uint64_t s) { return random_bytes(n, 2, s); }},
    {"three symbols", [](std::size_t n, std::uint64_t s) { return random_bytes(n, 3, s); }},
    {"random with a copied half",
     [](std::size_t n, std::uint64_t s) {
       Bytes b = random_bytes(n, 256, s);
       std::copy(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n / 2),
                 b.begin() + static_cast<std::ptrdiff_t>(n - n / 2));
       return b;
     }},
    {"random with runs",
     [](std::size_t n, std::uint64_t s) {
       Bytes b = random_bytes(n, 256, s);
       // Runs of one byte make LMS substrings far longer than a key.
       for (std::size_t i = 0; i + 64 < n; i += 997) std::fill_n(b.begin() + i, 40 + i % 24, 'r');
       return b;
     }},
    {"words", word_text},
    // Few distinct LMS substrings up to the last tenth, then many: naming by dictionary gives up
    // late and the induced sort takes over.
    {"repeats, then random",
     [](std::size_t n, std::uint64_t s) {
       Bytes b = periodic(n, 1000, s);
       const Bytes tail = random_bytes(n / 10, 256, s + 1);
       std::copy(tail.begin(), tail.end(), b.end() - static_cast<std::ptrdiff_t>(tail.size()));
       return b;
     }},
    // Repeated LMS substrings longer than a machine word: a run and a descending ramp.
    {"period 300 with runs and ramps",
     [](std::size_t n, std::uint64_t s) {
       Bytes block = periodic(300, 300, s);
       std::fill_n(block.begin() + 20, 30, 'r');
       for (std::size_t i = 0; i < 100; ++i) block[100 + i] = static_cast<std::uint8_t>(250 - i);
       return quarnel::test::cycled(block, n);
     }},
    {"all byte values", every_byte_value},
};

void expect_matches_divsufsort(const Bytes& text, const sa::detail::SaisLimits& limits) {
  const auto expected = sa::build_sa_divsufsort(text);
  ASSERT_EQ(sa::detail::build_sa_sais_with(text, limits), expected);
}

// Two threads for every level at least `min_length` long, handing blocks of `block` entries;
// with `wait`, every block after the first is placed from the other thread's plan.
sa::detail::SaisLimits on_two_threads(std::size_t block, std::uint64_t min_length = 2,
                                      bool wait = false) {
  return {.threads = 2,
          .min_parallel_length = min_length,
          .parallel_block = block,
          .wait_for_plans = wait};
}

}  // namespace

class SaisAgainstDivsufsort : public ::testing::TestWithParam<Shape> {};

// The narrow (32-bit) and wide engines, and every backend into arrays the caller allocates
// holding anything (every entry must be written): the 64-bit output parks 32-bit entries in its
// upper half and widens them in blocks, so lengths straddle a block as well as the engines' own
// thresholds, from the empty text on.
TEST_P(SaisAgainstDivsufsort, InEveryEntryWidthAndIntoCallerArrays) {
  const Shape& shape = GetParam();
  for (std::size_t n : {0,   1,    2,    3,    5,    63,   64,   65,   127,   128,
                        129, 1000, 2047, 2048, 2049, 4095, 4096, 4097, 65537, 300000}) {
    SCOPED_TRACE(std::string(shape.name) + " n=" + std::to_string(n));
    const Bytes text = shape.make(n, n);
    const auto expected = n < 2 ? std::vector<std::uint64_t>(n, 0) : sa::build_sa_divsufsort(text);
    if (n >= 2) {
      ASSERT_EQ(sa::detail::build_sa_sais_with(text, {}), expected);
    }
    if (n >= 2 && n <= 65537) {
      ASSERT_EQ(sa::detail::build_sa_sais_with(text, {.max_narrow_length = 1}), expected);
    }
    for (auto backend : {sa::SuffixArrayBackend::Sais, sa::SuffixArrayBackend::DivSufSort,
                         sa::SuffixArrayBackend::Auto}) {
      SCOPED_TRACE("backend " + std::to_string(static_cast<int>(backend)));
      std::vector<std::uint64_t> wide(n, ~std::uint64_t{0});
      sa::build_suffix_array_into(text, backend, wide);
      ASSERT_EQ(wide, expected);
      std::vector<std::uint32_t> narrow(n, 0xA5A5A5A5u);
      sa::build_sa32_into(text, backend, narrow);
      ASSERT_TRUE(std::equal(narrow.begin(), narrow.end(), expected.begin(), expected.end()));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, SaisAgainstDivsufsort, ::testing::ValuesIn(kShapes));

// Suffixes induced into the block being placed, or into those the other thread plans
// meanwhile, are the cases the two-thread passes must catch: small blocks make them common.
// Without waiting, which blocks are planned in time depends on the machine; waiting, all are.
TEST_P(SaisAgainstDivsufsort, OnTwoThreadsAroundBlockSizes) {
  const Shape& shape = GetParam();
  for (const bool wait : {false, true}) {
    for (std::size_t block : {1, 2, 64, 4096}) {
      for (std::size_t n : {2, 3, 63, 64, 65, 129, 4095, 4097, 70001}) {
        if (wait && block < 64 && n > 4097) continue;  // a handoff per entry or two: slow
        SCOPED_TRACE(std::string(shape.name) + " block=" + std::to_string(block) +
                     " n=" + std::to_string(n) + (wait ? " waiting" : ""));
        expect_matches_divsufsort(shape.make(n, n + block), on_two_threads(block, 2, wait));
      }
    }
  }
  // Around the length from which a level takes the second thread: the top level on one side of
  // it, its reduced problems on the other.
  for (std::size_t n : {4999, 5000, 5001, 20000}) {
    SCOPED_TRACE(std::string(shape.name) + " threshold 5000, n=" + std::to_string(n));
    expect_matches_divsufsort(shape.make(n, n), on_two_threads(64, 5000));
  }
}

// Large enough for the packed-key LMS sort (its LMS positions spread over thousands of
// two-byte buckets) and for its per-bucket groups to tie; and for the second thread to fault in
// the pages of an output fresh from the allocator, never written.
TEST_P(SaisAgainstDivsufsort, LargeTexts) {
  const Shape& shape = GetParam();
  for (std::size_t n : {1'000'000, 1'048'583}) {
    SCOPED_TRACE(std::string(shape.name) + " n=" + std::to_string(n));
    const Bytes text = shape.make(n, n);
    const auto expected = sa::build_sa_divsufsort(text);
    for (const auto& limits : {sa::detail::SaisLimits{}, on_two_threads(std::size_t{1} << 15),
                               on_two_threads(std::size_t{1} << 12, 2, true)}) {
      ASSERT_EQ(sa::detail::build_sa_sais_with(text, limits), expected);
    }
    for (auto backend : {sa::SuffixArrayBackend::Sais, sa::SuffixArrayBackend::DivSufSort}) {
      if (n != 1'048'583) continue;
      const std::unique_ptr<std::uint64_t[]> out(new std::uint64_t[n]);
      sa::build_suffix_array_into(text, backend, {out.get(), n}, 2);
      ASSERT_TRUE(std::equal(out.get(), out.get() + n, expected.begin(), expected.end()))
          << static_cast<int>(backend);
    }
  }
}

// The threaded entry points agree; an output array of another size is an internal error.
TEST(ByteBackends, ThreadedEntryPointsAgreeAndRefuseArraysOfAnotherSize) {
  const Bytes text = random_bytes(300'000, 256, 3);
  const auto expected = sa::build_sa_divsufsort(text);
  EXPECT_EQ(sa::build_sa_sais(text, 2), expected);
  const auto narrow = sa::build_sa32_with_backend(text, sa::SuffixArrayBackend::Sais, 2);
  EXPECT_TRUE(std::equal(narrow.begin(), narrow.end(), expected.begin(), expected.end()));
  std::vector<std::uint64_t> wide(text.size() - 1);
  EXPECT_THROW(sa::build_suffix_array_into(text, sa::SuffixArrayBackend::Sais, wide),
               quarnel::core::InternalError);
  std::vector<std::uint32_t> short_narrow(text.size() + 1);
  EXPECT_THROW(sa::build_sa32_into(text, sa::SuffixArrayBackend::DivSufSort, short_narrow),
               quarnel::core::InternalError);
}
