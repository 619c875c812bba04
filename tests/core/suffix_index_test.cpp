#include "suffix_array/suffix_index.hpp"

#include "persist/checksum.hpp"
#include "persist/mapped_file.hpp"
#include "suffix_array/saved_form.hpp"
#include "test_support.hpp"

namespace persist = quarnel::core::persist;

namespace {

using quarnel::test::random_symbols;

template <class T>
sa::SymbolText view(const std::vector<T>& v) {
  return {v.data(), v.size(), sizeof(T)};
}

// Every pattern of the batch against a scan of the sorted suffixes.
template <class T, class P>
void expect_batch_matches_scan(const std::vector<T>& text,
                               const std::vector<std::vector<P>>& pats) {
  const auto st = view(text);
  const sa::IndexArray entries = sa::sort_suffixes(st);
  const auto expected_sa = quarnel::test::sorted_suffixes(text);
  ASSERT_EQ(entries.size, text.size());
  for (std::size_t r = 0; r < text.size(); ++r) ASSERT_EQ(entries.at(r), expected_sa[r]) << r;

  sa::PatternBatch batch;
  for (const auto& p : pats) {
    if constexpr (sizeof(P) == 1) {
      batch.bytes.insert(batch.bytes.end(), p.begin(), p.end());
    } else {
      batch.tokens.insert(batch.tokens.end(), p.begin(), p.end());
    }
    batch.offsets.push_back(batch.offsets.back() + p.size());
  }
  // Without and with the sampled keys (for token texts both are the plain search).
  std::vector<sa::SaInterval> got(pats.size()), keyed(pats.size());
  const sa::PrefixBuckets buckets = sa::bucket_prefixes(st);
  sa::search_many(st, entries, buckets, {}, batch, got);
  sa::search_many(st, entries, buckets, sa::sample_keys(st, entries), batch, keyed);
  EXPECT_EQ(got, keyed);
  for (std::size_t k = 0; k < pats.size(); ++k) {
    EXPECT_EQ(got[k], quarnel::test::brute_interval<sa::SaInterval>(text, expected_sa, pats[k]))
        << "pattern " << k;
  }
  // Located places: each interval's suffixes, in ascending order.
  const auto located = sa::locate_many(entries, got);
  for (std::size_t k = 0; k < pats.size(); ++k) {
    std::vector<std::uint64_t> places(expected_sa.begin() + got[k].lo,
                                      expected_sa.begin() + got[k].hi);
    std::sort(places.begin(), places.end());
    EXPECT_EQ(quarnel::test::list_of(located, k), places) << "pattern " << k;
  }
}

template <class T, class P>
std::vector<std::vector<P>> patterns_from(std::mt19937_64& rng, const std::vector<T>& text,
                                          std::uint64_t alphabet, std::uint64_t stride,
                                          int count = 300) {
  std::vector<std::vector<P>> pats;
  pats.push_back({});
  for (int k = 0; k < count; ++k) {
    const std::size_t m = 1 + rng() % (k % 3 == 0 ? 22 : 6);  // also longer than a key
    std::vector<P> p;
    if (k % 2 == 0 && text.size() >= m) {  // a substring, sometimes at the very end
      const std::size_t at = k % 10 == 0 ? text.size() - m : rng() % (text.size() - m + 1);
      p.assign(text.begin() + at, text.begin() + at + m);
    } else {
      for (std::size_t d = 0; d < m; ++d)
        p.push_back(static_cast<P>((rng() % (alphabet + 1)) * stride));
    }
    pats.push_back(p);
  }
  pats.push_back(std::vector<P>(text.begin(), text.end()));
  auto longer = pats.back();
  longer.push_back(longer.empty() ? 0 : longer[0]);
  pats.push_back(longer);
  return pats;
}

class SuffixIndexTest : public ::testing::TestWithParam<std::size_t> {};

// Byte texts, 16-bit tokens, and sparse 32-bit ids (ranked into a dense alphabet before sorting).
TEST_P(SuffixIndexTest, BytesAndTokensMatchTheScan) {
  std::mt19937_64 rng(GetParam());
  // One symbol: runs of zero bytes, whose keys a short suffix's padding can equal. On the
  // longest text a batch large enough to be split over two threads.
  for (std::uint64_t alphabet : {1, 2, 4, 256}) {
    const auto text = random_symbols<std::uint8_t>(rng, GetParam(), alphabet);
    const int count = GetParam() == 5000 && alphabet == 4 ? 5000 : 300;
    expect_batch_matches_scan(
        text, patterns_from<std::uint8_t, std::uint8_t>(rng, text, alphabet, 1, count));
  }
  const auto small = random_symbols<std::uint16_t>(rng, GetParam(), 5, 0, 9000);
  expect_batch_matches_scan(small,
                            patterns_from<std::uint16_t, std::uint64_t>(rng, small, 5, 9000));
  const auto sparse = random_symbols<std::uint32_t>(rng, GetParam(), 6, 0, 700'000'000);
  expect_batch_matches_scan(
      sparse, patterns_from<std::uint32_t, std::uint64_t>(rng, sparse, 6, 700'000'000));
}

INSTANTIATE_TEST_SUITE_P(Lengths, SuffixIndexTest, ::testing::Values(0, 1, 2, 3, 17, 300, 5000));

// Texts of 2^31 symbols and more get 64-bit entries; the same queries run over them.
TEST(SuffixIndex, SixtyFourBitEntriesAnswerAlike) {
  std::mt19937_64 rng(3);
  const auto text = random_symbols<std::uint8_t>(rng, 3000, 3);
  const auto st = view(text);
  const sa::IndexArray narrow = sa::sort_suffixes(st);
  std::vector<std::uint64_t> wide_entries(narrow.size);
  for (std::size_t r = 0; r < narrow.size; ++r) wide_entries[r] = narrow.at(r);
  const sa::IndexArray wide{wide_entries.data(), wide_entries.size(), 8, nullptr};
  sa::PatternBatch batch;
  for (int k = 0; k < 500; ++k) {
    const std::size_t m = 1 + rng() % 5;
    for (std::size_t d = 0; d < m; ++d) batch.bytes.push_back(static_cast<std::uint8_t>(rng() % 4));
    batch.offsets.push_back(batch.bytes.size());
  }
  std::vector<sa::SaInterval> a(batch.size()), b(batch.size());
  sa::search_many(st, narrow, sa::bucket_prefixes(st), sa::sample_keys(st, narrow), batch, a);
  sa::search_many(st, wide, sa::bucket_prefixes(st), sa::sample_keys(st, wide), batch, b);
  EXPECT_EQ(a, b);
  EXPECT_EQ(sa::locate_many(narrow, a).positions, sa::locate_many(wide, b).positions);
  const auto lcp32 = sa::lcp_of(st, narrow);
  const auto lcp64 = sa::lcp_of(st, wide);
  ASSERT_EQ(lcp64.width, 8U);
  for (std::size_t r = 0; r < text.size(); ++r) ASSERT_EQ(lcp32.at(r), lcp64.at(r));
  EXPECT_EQ(sa::bwt_of(st, narrow).primary, sa::bwt_of(st, wide).primary);
}

TEST(SuffixIndex, TokenValidationNamesTheParameter) {
  const std::vector<std::int64_t> ids = {1, 2, std::int64_t{1} << 32};
  try {
    (void)sa::copy_tokens(ids.data(), ids.size(), sa::TokenType::I64, "data");
    FAIL() << "no error";
  } catch (const quarnel::core::UsageError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("data: ", 0), 0U) << e.what();
    EXPECT_NE(std::string(e.what()).find("at index 2"), std::string::npos) << e.what();
  }
}

// Patterns with thousands of places, in the orders periodic and aperiodic texts give them, at
// positions on both sides of 2^11, where the places are put in order by other sorts.
TEST(SuffixIndex, ThousandsOfPlacesComeAscending) {
  Bytes periodic, two_bytes;
  for (int i = 0; i < 3000; ++i) periodic.insert(periodic.end(), {'a', 'b', 'c', 'a', 'b'});
  periodic.resize(14999);
  for (int i = 0; i < 3000; ++i) two_bytes.insert(two_bytes.end(), {0x00, 0xFF});
  for (const auto& text : {Bytes(70000, 'a'), quarnel::test::fibonacci_bytes(20000),
                           quarnel::test::fibonacci_bytes(2040), periodic, two_bytes}) {
    sa::PatternBatch batch;
    for (const auto& [at, m] : {std::pair{0, 1}, {0, 2}, {7, 3}, {text.size() - 4, 4}, {100, 1}}) {
      batch.bytes.insert(batch.bytes.end(), text.begin() + at, text.begin() + at + m);
      batch.offsets.push_back(batch.bytes.size());
    }
    const sa::IndexArray entries = sa::sort_suffixes(view(text));
    std::vector<sa::SaInterval> ranges(batch.size());
    sa::search_many(view(text), entries, sa::bucket_prefixes(view(text)), {}, batch, ranges);
    const auto located = sa::locate_many(entries, ranges);
    std::size_t most = 0;
    for (std::size_t k = 0; k < batch.size(); ++k) {
      const auto places = quarnel::test::occurrences(
          text, std::span(batch.bytes)
                    .subspan(batch.offsets[k], batch.offsets[k + 1] - batch.offsets[k]));
      most = std::max(most, places.size());
      EXPECT_EQ(quarnel::test::list_of(located, k), places);
    }
    EXPECT_GT(most, 1024U);
  }
}

// The file as saved loads; cut short anywhere, with any bit flipped, or beside another text, it
// is refused. Header fields and entries edited with every checksum recomputed: only the
// structural checks stand between them and a query.
TEST(SavedSuffixArray, LoadsAsSavedAndRefusesDamageWithOrWithoutItsChecksums) {
  using persist::checksum64;
  const std::string path = quarnel::test::temp_path("_quarnel_sa.qsa");
  std::mt19937_64 rng(5);
  const auto text = random_symbols<std::uint8_t>(rng, 1000, 3);
  const sa::IndexArray entries = sa::sort_suffixes(view(text));
  sa::save_suffix_array(path, view(text), entries);
  std::ifstream in(path, std::ios::binary);
  const Bytes file{std::istreambuf_iterator<char>(in), {}};
  {
    const auto loaded = sa::load_suffix_array(path, view(text));  // unmapped before rewriting
    ASSERT_EQ(loaded.size, entries.size);
    for (std::size_t r = 0; r < loaded.size; ++r) ASSERT_EQ(loaded.at(r), entries.at(r));
  }
  const auto refusal = [&](const Bytes& b, const Bytes& t) {
    quarnel::test::write_file(path, b);
    try {
      (void)sa::load_suffix_array(path, view(t));
    } catch (const persist::FormatError& e) {
      return std::string(e.what());
    }
    return std::string("loaded");
  };
  for (std::size_t cut :
       {std::size_t{0}, std::size_t{10}, std::size_t{63}, std::size_t{64}, file.size() - 1}) {
    EXPECT_NE(refusal({file.begin(), file.begin() + cut}, text), "loaded") << cut;
  }
  for (std::size_t byte = 0; byte < file.size(); byte += 37) {
    auto damaged = file;
    damaged[byte] ^= static_cast<std::uint8_t>(1 << (byte % 8));
    EXPECT_NE(refusal(damaged, text), "loaded") << byte;
  }
  auto other = text;
  other[500] ^= 1;
  EXPECT_NE(refusal(file, other), "loaded");

  const auto sealed = [&](auto edit) {
    Bytes b = file;
    edit(b);
    const std::span<const std::uint8_t> all(b);
    const std::uint64_t entries_sum = checksum64(all.subspan(64));
    std::memcpy(b.data() + 40, &entries_sum, 8);  // the header's sum covers it
    const std::uint64_t header_sum = checksum64(all.first(56));
    std::memcpy(b.data() + 56, &header_sum, 8);
    return b;
  };
  const auto expect_refused = [&](const Bytes& b, const char* problem) {
    const std::string got = refusal(b, text);
    EXPECT_NE(got.find(problem), std::string::npos) << got;
  };
  const auto put32 = [](Bytes& b, std::size_t at, std::uint32_t v) {
    std::memcpy(b.data() + at, &v, 4);
  };
  const std::uint32_t n = static_cast<std::uint32_t>(text.size());
  expect_refused(sealed([&](auto& b) { put32(b, 64 + 4 * 7, n); }), "not a permutation");
  expect_refused(sealed([&](auto& b) { std::memcpy(b.data() + 64, b.data() + 68, 4); }),
                 "not a permutation");
  expect_refused(sealed([&](auto& b) { put32(b, 12, 8); }), "entry width");
  expect_refused(sealed([&](auto& b) { b[50] = 1; }), "reserved");
  expect_refused(sealed([&](auto& b) { put32(b, 28, 1U << 30); }), "length");
  // Before mapping: a size other than the header's.
  expect_refused(sealed([&](auto& b) { b.resize(b.size() - 4); }), "file truncated");
  // Two entries swapped keep a permutation: that loads (and only answers wrongly).
  EXPECT_EQ(refusal(sealed([&](auto& b) {
                      std::swap_ranges(b.begin() + 64, b.begin() + 68, b.begin() + 72);
                    }),
                    text),
            "loaded");
  std::filesystem::remove(path);
}

TEST(Checksum, RunningFormEqualsOneShotForEverySplit) {
  Bytes bytes(200);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31);
  const std::uint64_t whole = persist::checksum64(bytes);
  for (std::size_t cut = 0; cut <= bytes.size(); cut += 7) {
    persist::Checksum c;
    c.update(std::span(bytes).first(cut));
    c.update(std::span(bytes).subspan(cut));
    EXPECT_EQ(c.digest(), whole) << cut;
  }
  bytes.push_back(0);  // a trailing zero byte changes the sum: the length is part of it
  EXPECT_NE(persist::checksum64(bytes), whole);
}

}  // namespace
