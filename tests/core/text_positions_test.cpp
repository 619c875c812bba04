#include "text/text_positions.hpp"

#include "test_support.hpp"
#include "text/tokenizer.hpp"
#include "text/utf.hpp"
#include "text/white_space.hpp"

namespace {

namespace tp = quarnel::core::text_positions;
using quarnel::core::normalize::RemovedRange;
using quarnel::core::utf::is_char_start;

// Random text of ASCII letters and spaces, CRLF and LF line ends, tabs, and characters of two,
// three and four bytes: pure ASCII, long ASCII stretches with rare wide characters (ASCII blocks
// beside counted ones), or mostly wide; from empty to a dozen 64-byte blocks.
std::string random_text(std::mt19937& rng, unsigned wide_per_mille) {
  static const std::array<const char*, 8> kAscii = {"a", "B", " ", " ", "\r\n", "\n", "\t", "x"};
  static const std::array<const char*, 4> kWide = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9D\x92\x9C",
                                                   "\xF0\x9F\x98\x80"};
  std::string s;
  const std::size_t n = rng() % 400;
  for (std::size_t i = 0; i < n; ++i) {
    s +=
        rng() % 1000 < wide_per_mille ? kWide[rng() % kWide.size()] : kAscii[rng() % kAscii.size()];
  }
  return s;
}

// The text walked byte by byte: characters and UTF-16 units before each byte, the first byte of
// the character holding it, and each character's first byte.
struct Walk {
  std::vector<std::uint64_t> chars_before, units_before, char_start, char_bytes;
};

Walk walk(const std::string& s) {
  Walk w;
  std::uint64_t chars = 0, units = 0, last = 0;
  for (std::size_t b = 0; b < s.size(); ++b) {
    w.chars_before.push_back(chars);
    w.units_before.push_back(units);
    if (is_char_start(s, b)) {
      last = b;
      w.char_bytes.push_back(b);
      ++chars;
      units += static_cast<unsigned char>(s[b]) >= 0xF0 ? 2 : 1;
    }
    w.char_start.push_back(last);
  }
  w.chars_before.push_back(chars);
  w.units_before.push_back(units);
  return w;
}

// Line and column of the character at byte b of the document [start, end) of s.
tp::Place walked_place(const std::string& s, std::uint64_t start, std::uint64_t b) {
  tp::Place p{0, 1, 1};
  for (std::uint64_t i = start; i < b; ++i) {
    if (!is_char_start(s, i)) continue;
    ++p.chars;
    p.column = s[i] == '\n' ? 1 : p.column + 1;
    p.line += s[i] == '\n' ? 1 : 0;
  }
  return p;
}

class TextPositionsVersusWalk : public ::testing::TestWithParam<int> {};

// Every byte's characters, UTF-16 units and character start, every character's byte, both with
// and without counted lines (no table at all for ASCII without them).
TEST_P(TextPositionsVersusWalk, UnitsOfEveryByteAndCharacter) {
  std::mt19937 rng(GetParam());
  for (const unsigned wide : {0U, 5U, 40U, 500U}) {
    const std::string s = random_text(rng, wide);
    const Walk w = walk(s);
    for (const auto lines : {tp::Lines::kUncounted, tp::Lines::kCounted}) {
      const tp::TextPositions positions(s, lines);
      ASSERT_EQ(positions.size(), s.size());
      for (std::uint64_t b = 0; b <= s.size(); ++b) {
        ASSERT_EQ(positions.chars(b), w.chars_before[b]) << b;
        ASSERT_EQ(positions.utf16(b), w.units_before[b]) << b;
        if (b < s.size()) {
          ASSERT_EQ(positions.char_start(b), w.char_start[b]) << b;
        }
      }
      EXPECT_EQ(positions.utf16(s.size() + 1), s.size() + 1);
      for (std::uint64_t k = 0; k < w.char_bytes.size() + 3; ++k) {
        const std::uint64_t expected = k < w.char_bytes.size() ? w.char_bytes[k] : s.size();
        ASSERT_EQ(positions.byte_of_char(k), expected) << k;
      }
    }
  }
}

// Documents of a joined text (gaps between them): each document's characters, and the places
// of the first and last characters of every span of it.
TEST_P(TextPositionsVersusWalk, PlacesInDocuments) {
  std::mt19937 rng(GetParam() + 1000);
  const std::string s = random_text(rng, std::array{0U, 30U, 400U}[GetParam() % 3]);
  std::vector<tp::Span> docs;
  for (std::uint64_t at = 0; at < s.size();) {
    std::uint64_t end = std::min<std::uint64_t>(s.size(), at + rng() % 150);
    while (end < s.size() && !is_char_start(s, end)) ++end;
    docs.push_back({at, end});
    at = end;
    while (at < s.size() && (rng() % 3 == 0 || !is_char_start(s, at))) ++at;  // a gap
  }
  const tp::TextPositions positions(s, tp::Lines::kCounted, docs);
  ASSERT_EQ(positions.documents(), std::max<std::size_t>(docs.size(), 1));
  for (std::size_t d = 0; d < docs.size(); ++d) {
    const auto [start, end] = docs[d];
    EXPECT_EQ(positions.document_chars(d), walked_place(s, start, end).chars);
    for (int trial = 0; trial < 20 && end > start; ++trial) {
      std::uint64_t from = start + rng() % (end - start);
      while (!is_char_start(s, from)) --from;
      const std::uint64_t to = from + 1 + rng() % (end - from);
      const auto [first, last] = positions.places(d, from - start, to - start);
      EXPECT_EQ(first, walked_place(s, start, from)) << from;
      std::uint64_t last_char = to - 1;
      while (!is_char_start(s, last_char)) --last_char;
      EXPECT_EQ(last, walked_place(s, start, last_char)) << to;
    }
  }
}

// A document prepared as the corpus prepares it, against a plain walk: the bytes that ranges of
// characters (reversed, overlapping, past the end) leave, then white space collapsed and
// lower-cased. Each byte of the prepared copy maps back to the byte it came from.
TEST_P(TextPositionsVersusWalk, PreparedCopiesMapBack) {
  std::mt19937 rng(GetParam() + 2000);
  const std::string doc = random_text(rng, std::array{0U, 30U, 400U}[GetParam() % 3]);
  const Walk w = walk(doc);
  const std::uint64_t chars = w.char_bytes.size();
  std::vector<RemovedRange> removed;
  for (std::size_t k = rng() % 5; k > 0; --k) {
    const std::uint64_t a = rng() % (chars + 3);
    const std::uint64_t b = a + rng() % 12;
    removed.push_back({a, b < 2 ? 0 : b - 2});  // some reversed
  }
  std::vector<bool> gone(doc.size(), false);
  for (const auto& r : removed) {
    const auto byte = [&](std::uint64_t c) { return c < chars ? w.char_bytes[c] : doc.size(); };
    for (std::uint64_t b = byte(r.start); b < byte(r.end); ++b) gone[b] = true;
  }
  for (const bool lower : {false, true}) {
    for (const bool collapse : {false, true}) {
      const auto [expected, origin] = quarnel::test::prepare(doc, lower, collapse, gone);
      std::string out = "kept";
      const tp::WayBack way_back = tp::append_prepared(doc, removed, lower, collapse, out);
      ASSERT_EQ(out, "kept" + expected);
      for (std::uint64_t x = 0; x < origin.size(); ++x) {
        ASSERT_EQ(way_back.to_source(x), origin[x]) << x;
      }
      // Through the map of a text holding the document after another.
      const std::string joined = "ab\n" + doc;
      const std::array docs{tp::Span{0, 2}, tp::Span{3, joined.size()}};
      const std::array ways{tp::WayBack{}, way_back};
      const tp::TextPositions positions(joined, tp::Lines::kCounted, docs, ways);
      if (origin.empty()) continue;
      std::uint64_t s = rng() % origin.size();
      while (!is_char_start(doc, origin[s])) --s;  // spans start at characters
      const std::uint64_t e = s + 1 + rng() % (origin.size() - s);
      EXPECT_EQ(positions.source_span(1, s, e), std::pair(3 + origin[s], 3 + origin[e - 1] + 1));
      EXPECT_EQ(positions.places(1, s, e).first, walked_place(joined, 3, 3 + origin[s]));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, TextPositionsVersusWalk, ::testing::Range(0, 24));

// Word starts against the tokenizer's, across block edges.
TEST(WordStarts, AreTheTokenizers) {
  std::mt19937 rng(5);
  for (int round = 0; round < 40; ++round) {
    const std::string s = random_text(rng, round % 2 == 0 ? 0 : 200);
    const auto starts = tp::word_starts(s);
    std::uint64_t count = 0;
    for (std::uint64_t b = 0; b <= s.size(); ++b) {
      ASSERT_EQ(starts.rank(0, b), count) << b;
      if (b < s.size()) count += quarnel::core::tokenizer::starts_word_at(s, b) ? 1 : 0;
    }
  }
}

TEST(TextPositions, RefusesDocumentsOutsideTheirText) {
  const std::string s = "abc def";
  const std::array overlapping{tp::Span{0, 4}, tp::Span{3, 7}};
  const std::array beyond{tp::Span{0, 8}};
  EXPECT_THROW(tp::TextPositions(s, tp::Lines::kCounted, overlapping), quarnel::core::UsageError);
  EXPECT_THROW(tp::TextPositions(s, tp::Lines::kCounted, beyond), quarnel::core::UsageError);
  const std::array one{tp::Span{0, 7}};
  const std::array two_ways{tp::WayBack{}, tp::WayBack{}};
  EXPECT_THROW(tp::TextPositions(s, tp::Lines::kCounted, one, two_ways), quarnel::core::UsageError);
}

}  // namespace
