#include "corpus.hpp"

#include "duplicate_finder/documents.hpp"
#include "test_support.hpp"
#include "text/tokenizer.hpp"
#include "text/utf.hpp"
#include "text/white_space.hpp"

namespace {

using quarnel::core::corpus::CompactColumn;
using quarnel::core::corpus::Matches;

// Against a plain column of 64-bit values: values on both sides of 2^32 - 1, rows set in any
// order and set again, narrow over wide and wide over narrow.
TEST(CompactColumn, HoldsEveryValueOfAPlainColumn) {
  constexpr std::uint64_t kEdge = 0xFFFFFFFFu;
  const std::uint64_t samples[] = {0, 1, kEdge - 1, kEdge, kEdge + 1, 1ull << 40, ~0ull, 12345};
  std::mt19937_64 rng(7);
  for (const std::size_t rows : {0, 1, 2, 17, 1000}) {
    CompactColumn column;
    column.resize(rows);
    CompactColumn narrow_first;  // the same values, narrow ones through set_narrow
    narrow_first.resize(rows);
    std::vector<std::uint64_t> plain(rows, 0);
    for (std::size_t step = 0; step < 4 * rows; ++step) {
      const std::size_t row = rng() % rows;
      const std::uint64_t value = samples[rng() % std::size(samples)];
      column.set(row, value);
      if (!narrow_first.set_narrow(row, value)) narrow_first.set(row, value);
      plain[row] = value;
    }
    ASSERT_EQ(column.size(), rows);
    for (std::size_t row = 0; row < rows; ++row) EXPECT_EQ(column[row], plain[row]) << row;
    std::vector<std::uint64_t> copied(rows, 99);
    column.copy_to(copied);
    EXPECT_EQ(copied, plain);
    narrow_first.copy_to(copied);
    EXPECT_EQ(copied, plain);
  }
}

// Words with line feeds and characters of two and four bytes among them, in documents some
// shorter than a 64-byte block and some spanning many.
const quarnel::test::Vocabulary kWords{{"ab", "b", "d\xC3\xA9lta", "\xF0\x9F\x98\x80x", "gg"},
                                       {" ", ", ", ".\n", "\n", "  "}};

// Byte offset of each character of a document, and its end.
std::vector<std::size_t> character_offsets(const std::string& doc) {
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i < doc.size(); ++i) {
    if (!quarnel::core::utf::is_continuation_byte(static_cast<unsigned char>(doc[i]))) {
      at.push_back(i);
    }
  }
  at.push_back(doc.size());
  return at;
}

// Line and column of character c of a document, counted from its text.
std::pair<std::uint64_t, std::uint64_t> line_and_column(const std::string& doc,
                                                        const std::vector<std::size_t>& at,
                                                        std::size_t c) {
  std::uint64_t line = 1, column = 1;
  for (std::size_t k = 0; k < c; ++k) {
    const bool feed = doc[at[k]] == '\n';
    line += feed ? 1 : 0;
    column = feed ? 1 : column + 1;
  }
  return {line, column};
}

// Every occurrence's characters, lines and columns, and every document's characters and words,
// against counts taken from the documents character by character.
void expect_located(const Matches& m, const std::vector<std::string>& docs) {
  using quarnel::core::tokenizer::starts_word_at;
  ASSERT_EQ(m.document_chars.size(), docs.size());
  std::vector<std::vector<bool>> covered(docs.size());
  for (std::size_t d = 0; d < docs.size(); ++d) covered[d].assign(docs[d].size(), false);
  for (std::size_t k = 0; k < m.start.size(); ++k) {
    const std::string& doc = docs[m.document[k]];
    const auto at = character_offsets(doc);
    ASSERT_LT(m.start[k], m.end[k]);
    ASSERT_LT(m.end[k], at.size());
    EXPECT_EQ(std::pair(m.line[k], m.column[k]), line_and_column(doc, at, m.start[k])) << k;
    EXPECT_EQ(std::pair(m.end_line[k], m.end_column[k]), line_and_column(doc, at, m.end[k] - 1))
        << k;
    for (std::size_t b = at[m.start[k]]; b < at[m.end[k]]; ++b) covered[m.document[k]][b] = true;
  }
  for (std::size_t d = 0; d < docs.size(); ++d) {
    EXPECT_EQ(m.document_chars[d], character_offsets(docs[d]).size() - 1);
    std::uint64_t words = 0, inside = 0;
    for (std::size_t b = 0; b < docs[d].size(); ++b) {
      if (!starts_word_at(docs[d], b)) continue;
      ++words;
      inside += covered[d][b] ? 1 : 0;
    }
    EXPECT_EQ(m.document_words[d], words) << d;
    EXPECT_EQ(m.covered_words[d], inside) << d;
  }
}

std::vector<std::uint64_t> column_of(const CompactColumn& column) {
  std::vector<std::uint64_t> out(column.size());
  column.copy_to(out);
  return out;
}

// Every column of two results equal, the selection's counts and totals too.
void expect_same(const Matches& a, const Matches& b) {
  const auto columns = [](const Matches& m) {
    return std::tuple(m.texts, m.text_ends, m.words, m.chars, m.counts, m.first, m.document,
                      m.start, m.end, column_of(m.line), column_of(m.column), column_of(m.end_line),
                      column_of(m.end_column), m.document_chars, m.document_words, m.covered_words,
                      m.found_groups, m.found_places);
  };
  EXPECT_EQ(columns(a), columns(b));
}

// Characters other than white space, decoded one by one.
std::uint64_t visible_chars(std::string_view text) {
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < text.size();) {
    n += quarnel::core::white_space::is_white_space(quarnel::core::utf::decode_utf8(text, i)) ? 0
                                                                                              : 1;
  }
  return n;
}

// What a selection keeps, picked from the whole result as a caller would: filter, stable sort
// by the key, the first `top`, the first `max_places` rows of each.
Matches selected_from(const Matches& all, const quarnel::core::corpus::Selection& s) {
  const auto key = [&](std::size_t g) -> std::uint64_t {
    const std::uint64_t places = all.first[g + 1] - all.first[g];
    const std::set<std::uint32_t> files(all.document.begin() + all.first[g],
                                        all.document.begin() + all.first[g + 1]);
    // By Order: as found, words, places, words times places, files.
    const std::uint64_t keys[] = {0, all.words[g], places, all.words[g] * places, files.size()};
    return keys[static_cast<std::size_t>(s.order)];
  };
  Matches out;
  std::vector<std::size_t> groups;
  // A group the visible-characters rule leaves out is not found; min_count only limits.
  for (std::size_t g = 0; g < all.groups(); ++g) {
    if (s.visible_chars_over != 0 && visible_chars(all.text(g)) <= s.visible_chars_over) continue;
    ++out.found_groups;
    out.found_places += all.first[g + 1] - all.first[g];
    if (all.first[g + 1] - all.first[g] >= s.min_count) groups.push_back(g);
  }
  std::stable_sort(groups.begin(), groups.end(),
                   [&](std::size_t a, std::size_t b) { return key(a) > key(b); });
  if (groups.size() > s.top) groups.resize(s.top);
  const auto copy = [](const CompactColumn& from, std::size_t row, CompactColumn& to) {
    to.resize(to.size() + 1);
    to.set(to.size() - 1, from[row]);
  };
  for (const std::size_t g : groups) {
    out.texts += all.text(g);
    out.text_ends.push_back(out.texts.size());
    out.words.push_back(all.words[g]);
    out.chars.push_back(all.chars[g]);
    out.counts.push_back(all.counts[g]);
    const std::uint64_t rows = std::min(all.first[g + 1] - all.first[g], s.max_places);
    for (std::uint64_t k = all.first[g]; k < all.first[g] + rows; ++k) {
      out.document.push_back(all.document[k]);
      out.start.push_back(all.start[k]);
      out.end.push_back(all.end[k]);
      for (const auto member :
           {&Matches::line, &Matches::column, &Matches::end_line, &Matches::end_column}) {
        copy(all.*member, k, out.*member);
      }
    }
    out.first.push_back(out.document.size());
  }
  out.document_words = all.document_words;
  out.covered_words = all.covered_words;
  out.document_chars = all.document_chars;
  return out;
}

class Corpus : public ::testing::TestWithParam<std::uint64_t> {};

// The places of the whole result, on one lane and two, against the documents read character by
// character; the groups a selection keeps, on one lane and two, against those picked from the
// whole result, whose per-document counts and totals found it keeps.
TEST_P(Corpus, PlacesAndSelectionsAgreeWithTheDocuments) {
  namespace corpus = quarnel::core::corpus;
  std::mt19937 rng(static_cast<unsigned>(GetParam()));
  const auto docs = quarnel::test::valid_utf8(quarnel::test::random_corpus(rng, kWords, 6, 90));
  const auto j = quarnel::test::join_documents(docs);
  const corpus::SourceCorpus source{j.text, j.starts, j.ends, {}};
  quarnel::core::passages::PassageParams passage_params;
  passage_params.min_words = 1 + rng() % 3;
  quarnel::core::duplicate_finder::FinderParams phrase_params;
  phrase_params.min_words = 2;
  phrase_params.min_chars = 2;
  const auto find = [&](bool passages, const corpus::Selection& s, Lanes lanes) {
    return passages ? corpus::detail::find_passages(source, {}, passage_params, s, lanes)
                    : corpus::detail::find_phrases(source, {}, phrase_params, s, lanes);
  };
  for (const bool passages : {true, false}) {
    const Matches all = find(passages, {}, Lanes::one());
    expect_located(all, docs);
    expect_same(find(passages, {}, Lanes::two()), all);
    for (std::size_t g = 0; g < all.groups(); ++g) {
      ASSERT_EQ(all.counts[g], all.first[g + 1] - all.first[g]);
      const std::size_t k = all.first[g];
      const auto at = character_offsets(docs[all.document[k]]);
      const auto first_place =
          docs[all.document[k]].substr(at[all.start[k]], at[all.end[k]] - at[all.start[k]]);
      if (passages) {
        EXPECT_EQ(all.text(g), first_place);  // as found, where phrases are normalised
      }
    }
    for (int round = 0; round < 6; ++round) {
      corpus::Selection s;
      s.order = static_cast<corpus::Order>(rng() % 5);
      s.top = rng() % 3 == 0 ? corpus::Selection::kAll : rng() % 6;
      s.min_count = rng() % 4;
      s.max_places = rng() % 3 == 0 ? corpus::Selection::kAll : rng() % 4;
      s.visible_chars_over = rng() % 3 == 0 ? rng() % 12 : 0;
      const Matches want = selected_from(all, s);
      for (const Lanes lanes : {Lanes::one(), Lanes::two()}) {
        expect_same(find(passages, s, lanes), want);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, Corpus, ::testing::Range<std::uint64_t>(0, 40));

}  // namespace
