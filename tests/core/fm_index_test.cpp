#include "fm_index/fm_index.hpp"

#include "suffix_array/construction.hpp"
#include "test_support.hpp"
#include "text/normalize.hpp"

namespace fm = quarnel::core::fm_index;
namespace nz = quarnel::core::normalize;

namespace {

Bytes bytes(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

// Suffix array of t + 0x00 by plain sorting; the unique sentinel makes the order strict.
std::vector<std::uint64_t> naive_terminated_sa(Bytes t) {
  t.push_back(0);
  return quarnel::test::sorted_suffixes(t);
}

// Text with one sentinel, read cyclically: a pattern occurs at p when it spells T'[p], T'[p + 1],
// ... with indices taken modulo n. Rows come in suffix order.
class CyclicOracle {
 public:
  CyclicOracle(const Bytes& text, std::vector<std::uint64_t> sa) : tt_(text), sa_(std::move(sa)) {
    tt_.push_back(0);
  }
  explicit CyclicOracle(const Bytes& text) : CyclicOracle(text, naive_terminated_sa(text)) {}

  // The rows whose rotation starts with the pattern, or their text positions.
  [[nodiscard]] std::vector<std::uint64_t> rows(const Bytes& pattern,
                                                bool positions = false) const {
    std::vector<std::uint64_t> out;
    for (std::uint64_t r = 0; r < sa_.size(); ++r) {
      bool match = true;
      for (std::size_t k = 0; k < pattern.size() && match; ++k) {
        match = tt_[(sa_[r] + k) % tt_.size()] == pattern[k];
      }
      if (match) out.push_back(positions ? sa_[r] : r);
    }
    return out;
  }
  [[nodiscard]] std::vector<std::uint64_t> positions(const Bytes& p) const { return rows(p, true); }

 private:
  Bytes tt_;
  std::vector<std::uint64_t> sa_;
};

// Letters from 'a' on, or for 255 every byte but 0x00.
Bytes random_text(std::mt19937_64& rng, std::size_t len, unsigned alphabet) {
  return alphabet >= 255 ? quarnel::test::random_symbols(rng, len, 255, 1)
                         : quarnel::test::random_symbols(rng, len, alphabet, 'a');
}

// Highly repetitive text with a few mutations: long equal suffix prefixes stress the sort and
// give patterns with many occurrences.
Bytes repetitive_text(std::mt19937_64& rng, std::size_t len) {
  Bytes t = quarnel::test::cycled(bytes("abracadabra"), len);
  for (int k = 0; k < 3 && len > 0; ++k) t[rng() % len] = 'z';
  return t;
}

// Patterns that exercise every kind of match: substrings, near misses, and sentinel-crossing
// patterns with one or two 0x00 that wrap round the text.
std::vector<Bytes> patterns_for(const Bytes& t, std::mt19937_64& rng, unsigned alphabet) {
  std::vector<Bytes> out;
  const auto substring = [&](std::size_t max_len) {
    if (t.empty()) return Bytes{};
    const std::size_t start = rng() % t.size();
    const std::size_t len = 1 + rng() % std::min(max_len, t.size() - start);
    return Bytes(t.begin() + start, t.begin() + start + len);
  };
  const auto suffix = [&] { return Bytes(t.end() - rng() % (t.size() + 1), t.end()); };
  const auto prefix = [&] { return Bytes(t.begin(), t.begin() + rng() % (t.size() + 1)); };
  for (int k = 0; k < 12; ++k) out.push_back(substring(1 + rng() % 12));
  for (int k = 0; k < 4; ++k) out.push_back(random_text(rng, 1 + rng() % 4, alphabet));
  for (int k = 0; k < 3; ++k) {
    Bytes p = substring(8);
    if (!p.empty()) p[rng() % p.size()] = static_cast<std::uint8_t>('a' + rng() % 3);
    out.push_back(p);
  }
  const auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
  };
  out.insert(out.end(), {t, cat({t, {'a'}}), {0}, {0, 0}});
  for (int k = 0; k < 4; ++k) out.push_back(cat({suffix(), {0}, prefix()}));
  const Bytes y = prefix();
  Bytes p = cat({suffix(), {0}, t, {0}, y});  // matches once, wrapping the whole text
  out.push_back(p);
  if (!t.empty()) {
    p.erase(p.end() - static_cast<std::ptrdiff_t>(y.size() + 2));  // a gap: never matches
    out.insert(out.end(), {p, {t.back(), 0, t.front()}});
  }
  return out;
}

std::vector<std::uint64_t> locate_all(const fm::FMIndexBackend& index, const Bytes& pattern) {
  std::vector<std::uint64_t> out;
  index.locate_rows(index.search(pattern), out);
  return out;
}

// BitVec

TEST(BitVecTest, PackedValuesRoundTripAcrossWordBoundaries) {
  std::mt19937_64 rng(1);
  for (int round = 0; round < 20; ++round) {
    fm::BitVec v;
    std::vector<bool> naive;
    std::vector<std::pair<std::uint64_t, unsigned>> pushed;
    const unsigned fixed_width = 1 + static_cast<unsigned>(rng() % 64);
    for (int k = 0; k < 300; ++k) {
      const unsigned w = round % 2 == 0 ? fixed_width : 1 + static_cast<unsigned>(rng() % 64);
      const std::uint64_t value = w == 64 ? rng() : rng() & ((std::uint64_t{1} << w) - 1);
      pushed.emplace_back(value, w);
      v.push_bits(value, w);
      for (unsigned b = 0; b < w; ++b) naive.push_back((value >> b) & 1U);
    }
    ASSERT_EQ(v.len(), naive.size());
    for (std::size_t i = 0; i < naive.size(); ++i) ASSERT_EQ(v.get(i), naive[i]) << i;
    std::uint64_t offset = 0;
    for (const auto& [value, w] : pushed) {
      ASSERT_EQ(v.get_bits(offset, w), value);
      offset += w;
    }
  }
}

// RsVec

// Lengths around words, blocks and superblocks, at densities from none to all (and one bit off);
// owning and in a caller's arena, each moved before it answers.
TEST(RsVecTest, RankMatchesNaivePopcount) {
  std::mt19937_64 rng(1);
  for (const std::uint64_t len :
       {0, 1, 63, 64, 65, 511, 512, 513, 8191, 8192, 8193, 14335, 14336, 14337, 28673, 3'000'017}) {
    for (int d = 0; d < 7; ++d) {
      const double density = std::array{0.0, 0.03, 0.5, 0.97, 1.0, 0.0, 1.0}[d];
      SCOPED_TRACE("len " + std::to_string(len) + " case " + std::to_string(d));
      std::bernoulli_distribution coin(density);
      std::vector<bool> plain(len);
      for (std::uint64_t i = 0; i < len; ++i) plain[i] = coin(rng);
      if (d >= 5 && len > 0) plain[rng() % len].flip();  // all or none but one
      fm::BitVec bits = fm::BitVec::zeros(len);
      std::vector<std::uint64_t> prefix(len + 1, 0);
      for (std::uint64_t i = 0; i < len; ++i) {
        if (plain[i]) bits.set(i);
        prefix[i + 1] = prefix[i] + (plain[i] ? 1 : 0);
      }
      fm::RsVec rs;
      ASSERT_EQ(std::pair(rs.len(), rs.rank1(0)), std::pair(std::uint64_t{0}, std::uint64_t{0}));
      rs = fm::RsVec(bits);
      fm::RsLineBuffer arena(fm::RsVec::line_count(len) + 5);
      fm::RsVec in_arena(bits, std::span(arena).subspan(5));
      const fm::RsVec moved_arena = std::move(in_arena);
      ASSERT_EQ(rs.len(), len);
      ASSERT_EQ(rs.zeros(), len - prefix[len]);
      ASSERT_EQ(rs.ones(), prefix[len]);
      for (std::uint64_t x = 0; x <= len; ++x) {
        ASSERT_EQ(rs.rank1(x), prefix[x]) << "x=" << x;
        ASSERT_EQ(moved_arena.rank1(x), prefix[x]) << "x=" << x;
        ASSERT_EQ(rs.rank0(x), x - prefix[x]) << "x=" << x;
        if (x < len) {
          ASSERT_EQ(rs.get(x), plain[x]) << "x=" << x;
          ASSERT_EQ(rs.get_rank1(x), std::pair(static_cast<bool>(plain[x]), prefix[x]));
        }
      }
      // Payload plus directory stays within 6% of the raw bits, apart from one padding block.
      EXPECT_LE(static_cast<double>(rs.heap_size()), static_cast<double>(len) / 8 * 1.06 + 128);
    }
  }
}

// WaveletMatrix

// Length, alphabet (symbols 0 .. alphabet - 1, or every byte for 256), skewed.
using SequenceCase = std::tuple<std::size_t, unsigned, bool>;

class WaveletMatrixTest : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(WaveletMatrixTest, AccessAndRankMatchPlainSequence) {
  const auto [len, alphabet, skewed] = GetParam();
  std::mt19937_64 rng(len + alphabet);
  std::geometric_distribution<unsigned> geo(0.3);
  Bytes seq(len);
  for (auto& c : seq) {
    const unsigned v = skewed ? geo(rng) % alphabet : static_cast<unsigned>(rng() % alphabet);
    c = static_cast<std::uint8_t>(alphabet == 256 ? v : (v * 37 + 11) % 256);
  }
  const fm::WaveletMatrix wm{Bytes(seq)};
  ASSERT_EQ(wm.len(), len);
  std::array<std::uint64_t, 256> running{};
  const std::size_t stride = len > 5000 ? 97 : 1;
  std::vector<unsigned> probe = {0, 255, 1, 128};
  for (std::size_t i = 0; i <= len; ++i) {
    if (i % stride == 0 || i == len) {
      for (std::size_t k = 0; k < 8 && k < len; ++k) probe.push_back(seq[(i * 7 + k) % len]);
      for (const unsigned c : probe) {
        ASSERT_EQ(wm.rank(static_cast<std::uint8_t>(c), i), running[c]) << "c=" << c << " i=" << i;
      }
      probe.resize(4);
    }
    if (i < len) {
      const auto [c, descended] = wm.access_descend(i);
      ASSERT_EQ(c, seq[i]) << i;
      ASSERT_EQ(descended, wm.symbol_start(c) + running[c]);
      ASSERT_EQ(wm.access(i), seq[i]);
      ++running[seq[i]];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, WaveletMatrixTest,
    ::testing::Values(SequenceCase{0, 4, false}, SequenceCase{1, 256, false},
                      SequenceCase{100, 2, false}, SequenceCase{1000, 256, false},
                      SequenceCase{4096, 4, false}, SequenceCase{20000, 256, true},
                      SequenceCase{70001, 256, false}, SequenceCase{70001, 20, true}));

// FMIndexBackend

// Texts at the edges (empty, one byte, a run, lengths about a power of two) and random ones, with
// the alphabet of random patterns for them.
std::vector<std::pair<Bytes, unsigned>> backend_texts() {
  std::mt19937_64 rng(11);
  std::vector<std::pair<Bytes, unsigned>> out{{Bytes{}, 2},
                                              {bytes("x"), 2},
                                              {bytes("abab"), 2},
                                              {Bytes(100, 'a'), 2},
                                              {random_text(rng, 63, 3), 3},
                                              {random_text(rng, 64, 3), 3},
                                              {random_text(rng, 700, 255), 255},
                                              {repetitive_text(rng, 1500), 26},
                                              {random_text(rng, 3000, 4), 4}};
  for (std::size_t round = 0; round < 4; ++round) {
    for (const auto& [len, alphabet] : {std::pair{0U, 2U}, {40U, 2U}, {300U, 4U}, {500U, 255U}}) {
      out.emplace_back(random_text(rng, len + round, alphabet), alphabet);
    }
    out.emplace_back(repetitive_text(rng, 800 + round), 26);
  }
  out.emplace_back(random_text(rng, 5000, 4), 4);
  return out;
}

class BackendTest : public ::testing::TestWithParam<std::pair<Bytes, unsigned>> {};

// At every sampling level (too high a level for n samples every row): the suffix array against
// plain sorting, search and locate against the cyclic oracle, memory falling as the level rises;
// and the BWT, bucket starts and LF map against their definitions.
TEST_P(BackendTest, MatchesTheDefinitionsAndTheCyclicOracleAtEveryLevel) {
  const auto& [t, alphabet] = GetParam();
  std::mt19937_64 rng(t.size() * 7 + alphabet);
  const auto sa = naive_terminated_sa(t);
  const CyclicOracle oracle(t, sa);
  const auto patterns = patterns_for(t, rng, alphabet);
  const std::uint64_t n = t.size() + 1;
  std::optional<std::uint64_t> previous_heap;
  for (const std::uint64_t level : {0, 1, 2, 3, 4, 5, 6, 64, 66}) {
    SCOPED_TRACE("level " + std::to_string(level));
    const fm::FMIndexBackend index(t, level);
    ASSERT_EQ(index.len(), n);
    for (std::uint64_t r = 0; r < n; ++r) ASSERT_EQ(index.get_sa(r), sa[r]);
    const auto& s = index.sampled_sa();
    const std::uint64_t effective = n > (std::uint64_t{1} << (level % 64)) ? level : 0;
    ASSERT_EQ(s.level, effective);
    ASSERT_EQ(s.word_size, std::bit_width(n));
    ASSERT_EQ(s.sample_count(), ((n - 1) >> (effective % 64)) + 1);
    const std::uint64_t heap = index.heap_size();
    ASSERT_EQ(heap, 2048 + 8 * s.samples.words().size() + index.bwt_matrix().heap_size());
    if (level < 64 && effective == level) {
      ASSERT_LE(heap, previous_heap.value_or(heap));
      previous_heap = heap;
    }
    for (const Bytes& p : patterns) {
      const auto rows = oracle.rows(p);  // contiguous: a suffix-array interval
      const fm::RowInterval got = index.search(p);
      ASSERT_EQ(std::pair(got.lo, got.size()),
                std::pair(rows.empty() ? got.lo : rows[0], rows.size()));
      ASSERT_EQ(locate_all(index, p), oracle.positions(p));
    }
  }

  const fm::FMIndexBackend index(t, 2);
  Bytes bwt(n);
  for (std::uint64_t r = 0; r < n; ++r) bwt[r] = sa[r] == 0 ? 0 : t[sa[r] - 1];
  for (std::uint64_t r = 0; r < n; ++r) ASSERT_EQ(index.bwt_matrix().access(r), bwt[r]);
  for (unsigned c = 0; c < 256; ++c) {  // the BWT holds each symbol of the terminated text once
    ASSERT_EQ(index.c_array()[c],
              std::count_if(bwt.begin(), bwt.end(), [&](auto b) { return b < c; }))
        << c;
  }
  std::array<std::uint64_t, 256> rank{};
  for (std::uint64_t i = 0; i <= n; ++i) {
    for (const unsigned c : {0U, unsigned{'a'}, unsigned{bwt[i % n]}, 255U}) {
      const auto sym = static_cast<std::uint8_t>(c);
      ASSERT_EQ(index.lf_map2(sym, i), index.c_array()[sym] + rank[sym]) << "c=" << c << " i=" << i;
    }
    if (i < n) ++rank[bwt[i]];
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, BackendTest, ::testing::ValuesIn(backend_texts()));

// With no 0x00 in the text, the toolkit's order (its end counting smaller than any byte) after
// the sentinel row is the order of the terminated text. The index is moved, and its record
// relocated, before it answers.
TEST(FMIndexBackendTest, LargeTextAgreesWithToolkitSuffixArray) {
  std::mt19937_64 rng(99);
  Bytes t = random_text(rng, 300'000, 4);
  const Bytes block = random_text(rng, 5000, 4);  // long repeats
  for (int k = 0; k < 6; ++k) std::copy(block.begin(), block.end(), t.begin() + 40'000 * k + 17);
  auto sa = quarnel::core::suffix_array::build_suffix_array_bytes_with_backend(
      t, quarnel::core::suffix_array::SuffixArrayBackend::Auto);
  sa.insert(sa.begin(), t.size());
  std::vector<fm::FMIndex> held;
  {
    fm::FMIndex built = fm::build_fm_index(t, 4, false, false);
    fm::FMIndex moved = std::move(built);
    held.push_back(std::move(moved));
  }
  held.reserve(8);
  const fm::FMIndexBackend& index = held.front().index;
  for (std::uint64_t r = 0; r < sa.size(); r += 13) ASSERT_EQ(index.get_sa(r), sa[r]) << r;
  const CyclicOracle oracle(t, std::move(sa));
  for (int k = 0; k < 30; ++k) {
    const std::size_t start = rng() % (t.size() - 40);
    const Bytes p(t.begin() + start, t.begin() + start + 1 + rng() % 40);
    ASSERT_EQ(locate_all(index, p), oracle.positions(p));
    ASSERT_EQ(fm::locate(held.front(), p), oracle.positions(p));
  }
}

// FMIndex: construction errors

std::optional<fm::FMIndexError> build_error(const Bytes& data, bool ci, bool ws) {
  try {
    (void)fm::build_fm_index(data, 2, ci, ws);
  } catch (const fm::FMIndexError& e) {
    return e;
  }
  return std::nullopt;
}

// Case-insensitive, white space normalised.
class FMIndexFlagsTest : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

// A null byte anywhere is refused; invalid UTF-8 only when normalising.
TEST_P(FMIndexFlagsTest, NullBytesAndInvalidUtf8WhenNormalisingAreRefused) {
  const auto [ci, ws] = GetParam();
  for (const std::size_t len : {1, 7, 8, 9, 31, 32, 33, 100}) {
    for (std::size_t pos = 0; pos < len; ++pos) {
      Bytes data(len, 'k');
      data[pos] = 0;
      const auto err = build_error(data, ci, ws);
      ASSERT_TRUE(err.has_value()) << len << "/" << pos;
      ASSERT_EQ(err->kind(), fm::FMIndexError::Kind::NullByte);
      ASSERT_STREQ(err->what(),
                   "Input data must not contain null bytes (0x00); they are reserved as "
                   "sentinels");
    }
    ASSERT_FALSE(build_error(Bytes(len, 'k'), ci, ws).has_value());
  }
  const bool normalising = ci || ws;
  for (const Bytes& data : {Bytes{0xFF, 0xFE}, Bytes{0xFF, 0x00}, bytes("ok \xC3"),
                            bytes("\xED\xA0\x80"), bytes("\xC0\xAF")}) {
    const auto err = build_error(data, ci, ws);
    const bool has_null = std::find(data.begin(), data.end(), 0) != data.end();
    if (normalising) {
      ASSERT_TRUE(err.has_value());
      EXPECT_EQ(err->kind(), fm::FMIndexError::Kind::Construction);
      EXPECT_STREQ(err->what(),
                   "FM-index construction failed: Normalization requires valid UTF-8 input");
    } else {
      EXPECT_EQ(err.has_value(), has_null);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Flags, FMIndexFlagsTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

// FMIndex: queries

// Case-insensitive, white space normalised, sampling level.
using DifferentialCase = std::tuple<bool, bool, std::uint64_t>;
class FMIndexDifferentialTest : public ::testing::TestWithParam<DifferentialCase> {};

// Text of words, mixed case and whitespace runs of every collapsible kind.
Bytes wordy_text(std::mt19937_64& rng, std::size_t words) {
  const std::vector<std::string> vocab = {"the", "The", "cat", "CAT",          "sat",
                                          "on",  "a",   "mat", "\xC3\x84rger", "x"};
  const std::vector<std::string> gaps = {" ", " ", " ", "  ", "\t", "\n", " \r\n ", "\x0B", "\f"};
  std::string s = rng() % 2 == 0 ? " " : "";
  for (std::size_t k = 0; k < words; ++k) {
    s += vocab[rng() % vocab.size()];
    s += gaps[rng() % gaps.size()];
  }
  return bytes(s);
}

TEST_P(FMIndexDifferentialTest, MatchesOracleOverPreparedText) {
  const auto [ci, ws, level] = GetParam();
  std::mt19937_64 rng(level * 4 + (ci ? 2 : 0) + (ws ? 1 : 0));
  for (int round = 0; round < 15; ++round) {
    const Bytes data = wordy_text(rng, rng() % 60);
    const auto index = fm::build_fm_index(data, level, ci, ws);
    const auto prepared = nz::normalize_text(
        std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), ci, ws);
    const Bytes text = bytes(prepared.text);
    ASSERT_EQ(index.text_len, text.size());
    const CyclicOracle oracle(text);

    std::vector<Bytes> patterns = patterns_for(text, rng, 26);
    for (const char* p : {"the", "THE", "cat ", "a\tmat", "  "}) patterns.push_back(bytes(p));
    for (const Bytes& p : patterns) {
      Bytes query = p;
      if (ci) {
        for (auto& b : query) b = (b >= 'A' && b <= 'Z') ? static_cast<std::uint8_t>(b | 0x20) : b;
      }
      std::vector<std::uint64_t> expected(text.size());
      if (p.empty()) {  // every position of the prepared text, untranslated
        std::iota(expected.begin(), expected.end(), std::uint64_t{0});
      } else {
        expected = oracle.positions(query);
        for (auto& pos : expected) pos = nz::map_to_source(prepared.deltas, pos);
      }
      const auto got = fm::locate(index, p);
      ASSERT_EQ(got, expected) << ::testing::PrintToString(std::string(p.begin(), p.end()))
                               << " in " << ::testing::PrintToString(prepared.text);
      ASSERT_EQ(fm::count(index, p), got.size());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Flags, FMIndexDifferentialTest,
    ::testing::Values(DifferentialCase{false, false, 0}, DifferentialCase{false, false, 3},
                      DifferentialCase{true, false, 2}, DifferentialCase{false, true, 1},
                      DifferentialCase{true, true, 4}, DifferentialCase{true, true, 66}));

}  // namespace
