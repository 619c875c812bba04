#include "corpus.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "duplicate_finder/documents.hpp"
#include "text/tokenizer.hpp"
#include "text/utf.hpp"

using quarnel::core::parallel::Lanes;

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

// Random documents of few words, with line feeds and characters of two and four bytes, some
// shorter than a 64-byte block and some spanning many.
std::vector<std::string> random_documents(std::mt19937_64& rng) {
  const std::vector<std::string> words = {"ab", "b", "d\xC3\xA9lta", "\xF0\x9F\x98\x80x", "gg"};
  const std::vector<std::string> gaps = {" ", " ", ", ", ".\n", "\n", "  "};
  std::vector<std::string> docs(1 + rng() % 6);
  for (auto& doc : docs) {
    const std::size_t n = rng() % 90;
    for (std::size_t k = 0; k < n; ++k) {
      doc += words[rng() % words.size()];
      doc += gaps[rng() % gaps.size()];
    }
  }
  return docs;
}

struct Joined {
  std::string text;
  std::vector<std::uint64_t> starts, ends;
};

Joined joined(const std::vector<std::string>& docs) {
  Joined j;
  for (const auto& doc : docs) {
    if (!j.starts.empty()) j.text += quarnel::core::duplicate_finder::kDocumentSeparator;
    j.starts.push_back(j.text.size());
    j.text += doc;
    j.ends.push_back(j.text.size());
  }
  return j;
}

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

// Every column of two results equal.
void expect_same(const Matches& a, const Matches& b) {
  EXPECT_EQ(a.texts, b.texts);
  EXPECT_EQ(a.text_ends, b.text_ends);
  EXPECT_EQ(a.words, b.words);
  EXPECT_EQ(a.chars, b.chars);
  EXPECT_EQ(a.first, b.first);
  EXPECT_EQ(a.document, b.document);
  EXPECT_EQ(a.start, b.start);
  EXPECT_EQ(a.end, b.end);
  for (const auto member :
       {&Matches::line, &Matches::column, &Matches::end_line, &Matches::end_column}) {
    EXPECT_EQ(column_of(a.*member), column_of(b.*member));
  }
  EXPECT_EQ(a.document_chars, b.document_chars);
  EXPECT_EQ(a.document_words, b.document_words);
  EXPECT_EQ(a.covered_words, b.covered_words);
}

class CorpusPlaces : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(CorpusPlaces, AgreeWithTheDocumentsCharacterByCharacter) {
  std::mt19937_64 rng(GetParam());
  const auto docs = random_documents(rng);
  const Joined j = joined(docs);
  const quarnel::core::corpus::SourceCorpus source{j.text, j.starts, j.ends, {}};
  quarnel::core::passages::PassageParams passage_params;
  passage_params.min_words = 2;
  namespace corpus = quarnel::core::corpus;
  const Matches passages = corpus::detail::find_passages(source, {}, passage_params, Lanes::one());
  expect_located(passages, docs);
  expect_same(corpus::detail::find_passages(source, {}, passage_params, Lanes::two()), passages);
  // A passage reads as its first occurrence.
  for (std::size_t g = 0; g < passages.groups(); ++g) {
    const std::size_t k = passages.first[g];
    const auto at = character_offsets(docs[passages.document[k]]);
    EXPECT_EQ(passages.text(g),
              docs[passages.document[k]].substr(at[passages.start[k]],
                                                at[passages.end[k]] - at[passages.start[k]]));
  }
  quarnel::core::duplicate_finder::FinderParams phrase_params;
  phrase_params.min_words = 2;
  phrase_params.min_chars = 2;
  const Matches phrases = corpus::detail::find_phrases(source, {}, phrase_params, Lanes::one());
  expect_located(phrases, docs);
  expect_same(corpus::detail::find_phrases(source, {}, phrase_params, Lanes::two()), phrases);
}

INSTANTIATE_TEST_SUITE_P(Seeds, CorpusPlaces, ::testing::Range<std::uint64_t>(0, 40));

}  // namespace
