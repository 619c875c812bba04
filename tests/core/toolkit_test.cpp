// The suffix-array toolkit: search ranges, derived arrays, transforms and substring statistics
// against their definitions spelt out on sorted suffixes and sets of substrings.

#include "suffix_array/search.hpp"
#include "suffix_array/stats.hpp"
#include "suffix_array/transforms.hpp"
#include "test_support.hpp"
#include "text/utf.hpp"

using quarnel::test::random_bytes;
using quarnel::test::sorted_suffixes;

namespace {

class Toolkit : public ::testing::TestWithParam<std::string> {};

TEST_P(Toolkit, ArraysTransformsAndSearchMatchTheirDefinitions) {
  std::mt19937_64 rng(7);
  const std::string& alphabet = GetParam();
  for (int round = 0; round < 1500; ++round) {
    const Bytes text = random_bytes(rng, 1 + rng() % 40, alphabet);
    const auto suffixes = sorted_suffixes(text);
    std::vector<std::uint64_t> isa(text.size());
    for (std::size_t r = 0; r < suffixes.size(); ++r) isa[suffixes[r]] = r;
    ASSERT_EQ(sa::inverse_suffix_array(suffixes), isa);
    // The last column: the byte before each suffix, the text's last one before the whole text.
    std::string last;
    for (const auto p : suffixes) last += static_cast<char>(text[p == 0 ? text.size() - 1 : p - 1]);
    const auto primary = static_cast<std::uint64_t>(std::find(suffixes.begin(), suffixes.end(), 0) -
                                                    suffixes.begin());
    const auto transform = sa::bwt_of_text(text);
    ASSERT_EQ(transform.last_column, last);
    ASSERT_EQ(transform.primary, primary);
    const Bytes column(last.begin(), last.end());
    ASSERT_EQ(sa::inverse_bwt(column, primary), std::string(text.begin(), text.end()));
    // Any column with a primary below its size walks back to a text of its size.
    ASSERT_EQ(sa::inverse_bwt(text, rng() % text.size()).size(), text.size());
    std::string little_endian;
    for (const auto p : suffixes) {
      for (int b = 0; b < 8; ++b) little_endian += static_cast<char>((p >> (8 * b)) & 0xFF);
    }
    ASSERT_EQ(sa::sa_to_bytes(suffixes), little_endian);
    little_endian += std::string(rng() % 8, '\x07');  // a partial group at the end is ignored
    ASSERT_EQ(sa::sa_from_bytes(Bytes(little_endian.begin(), little_endian.end())), suffixes);
    for (int k = 0; k < 4; ++k) {
      const Bytes pattern = random_bytes(rng, rng() % 4, alphabet);
      ASSERT_EQ(sa::sa_search_range(text, suffixes, pattern),
                quarnel::test::brute_interval<sa::SaInterval>(text, suffixes, pattern))
          << round;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Alphabets, Toolkit,
                         ::testing::Values(std::string("ab"), std::string("ab\0\xff", 4),
                                           std::string("abc")));

TEST(Toolkit, EmptyTextsAndPrimariesOutOfRange) {
  EXPECT_TRUE(sa::inverse_bwt({}, 0).empty());
  EXPECT_TRUE(sa::inverse_bwt({}, 10).empty());
  EXPECT_THROW((void)sa::bwt_of_text({}), quarnel::core::UsageError);
  const Bytes ab{'a', 'b'};
  for (const std::uint64_t primary : {2ULL, 3ULL, ~0ULL}) {
    EXPECT_THROW((void)sa::inverse_bwt(ab, primary), quarnel::core::UsageError);
  }
}

// Words given with their UTF-16 code units: astral characters as surrogate pairs, and the
// highest BMP unit, so that the statistics are counted on units, not characters or bytes.
struct Word {
  std::string utf8;
  std::vector<std::uint16_t> units;
};

const std::vector<Word> kWords{{"a", {0x61}},
                               {"b", {0x62}},
                               {"\xC3\xA9", {0xE9}},
                               {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
                               {"\xF0\x9F\x98\x81", {0xD83D, 0xDE01}},
                               {"\xEF\xBF\xBF", {0xFFFF}},
                               {"\xF0\x90\x80\x80", {0xD800, 0xDC00}}};

using Units = std::vector<std::uint16_t>;

std::set<Units> substrings(const Units& u) {
  std::set<Units> out;
  for (std::size_t i = 0; i < u.size(); ++i) {
    for (std::size_t j = i + 1; j <= u.size(); ++j) out.emplace(u.begin() + i, u.begin() + j);
  }
  return out;
}

// Units back to UTF-8, an unpaired surrogate as U+FFFD.
std::string lossy_utf8(const Units& u) {
  std::string out;
  for (std::size_t i = 0; i < u.size(); ++i) {
    const bool high = u[i] >= 0xD800 && u[i] < 0xDC00;
    if (high && i + 1 < u.size() && u[i + 1] >= 0xDC00 && u[i + 1] < 0xE000) {
      quarnel::core::utf::append_utf8(out, 0x10000 + ((u[i] - 0xD800) << 10) + (u[i + 1] - 0xDC00));
      ++i;
    } else {
      quarnel::core::utf::append_utf8(out, u[i] >= 0xD800 && u[i] < 0xE000 ? 0xFFFD : u[i]);
    }
  }
  return out;
}

TEST(SubstringStatistics, CountAndLongestCommonSubstringMatchSetsOfUnits) {
  std::mt19937_64 rng(11);
  const auto random_string = [&](std::size_t words, Units& units) {
    std::string s;
    const std::size_t kinds = 2 + rng() % (kWords.size() - 1);
    for (std::size_t w = 0; w < words; ++w) {
      const Word& word = kWords[rng() % kinds];
      s += word.utf8;
      units.insert(units.end(), word.units.begin(), word.units.end());
    }
    return s;
  };
  for (int round = 0; round < 800; ++round) {
    Units ua, ub;
    const std::string a = random_string(rng() % 12, ua), b = random_string(rng() % 12, ub);
    ASSERT_EQ(sa::distinct_substring_count(a), substrings(ua).size()) << a;
    // The longest substrings of both, the smallest of them in unit order.
    Units best;
    const std::set<Units> in_b = substrings(ub);
    for (const Units& s : substrings(ua)) {
      if (s.size() > best.size() && in_b.contains(s)) best = s;
    }
    ASSERT_EQ(sa::longest_common_substring(a, b), lossy_utf8(best)) << a << " / " << b;
  }
}

}  // namespace
