#include "passages.hpp"

#include "base/interrupt.hpp"
#include "test_support.hpp"
#include "text/tokenizer.hpp"
#include "text/utf.hpp"

namespace ps = quarnel::core::passages;
namespace tk = quarnel::core::tokenizer;

namespace {

using quarnel::test::kAll;
using quarnel::test::random_corpus;

// Word boundaries of every document, and the runs of whole words they delimit.
class Corpus {
 public:
  explicit Corpus(const std::vector<std::string>& docs) : docs_(docs) {
    for (const auto& d : docs) {
      starts_.push_back(tk::word_starts(d));
      ends_.push_back(tk::word_ends(d));
    }
  }

  [[nodiscard]] std::size_t documents() const { return docs_.size(); }
  [[nodiscard]] std::uint64_t words(std::size_t d) const { return starts_[d].size(); }
  [[nodiscard]] std::uint64_t start(std::size_t d, std::uint64_t i) const { return starts_[d][i]; }
  // Content of the k-word run at word i of document d (which must exist).
  [[nodiscard]] std::string_view run(std::size_t d, std::uint64_t i, std::uint64_t k) const {
    const std::uint64_t s = starts_[d][i];
    return std::string_view(docs_[d]).substr(s, ends_[d][i + k - 1] - s);
  }
  [[nodiscard]] bool has_run(std::size_t d, std::uint64_t i, std::uint64_t k) const {
    return i + k <= words(d);
  }
  // How many leading words the suffixes at word i of d and word j of e share.
  [[nodiscard]] std::uint64_t common_words(std::size_t d, std::uint64_t i, std::size_t e,
                                           std::uint64_t j) const {
    std::uint64_t k = 0;
    while (has_run(d, i, k + 1) && has_run(e, j, k + 1) && run(d, i, k + 1) == run(e, j, k + 1)) {
      ++k;
    }
    return k;
  }

 private:
  const std::vector<std::string>& docs_;
  std::vector<std::vector<std::uint64_t>> starts_, ends_;
};

struct Place {
  std::uint32_t d;
  std::uint64_t i;
};

// Whether every place has a (k + 1)-word run starting `shift` words later (shift is 0 or -1),
// all of them with one content.
bool extendable(const Corpus& c, const std::vector<Place>& places, std::uint64_t k, int shift) {
  std::string_view common;
  for (std::size_t n = 0; n < places.size(); ++n) {
    const Place& p = places[n];
    if (shift < 0 && p.i == 0) return false;
    const std::uint64_t i = p.i + shift;
    if (!c.has_run(p.d, i, k + 1)) return false;
    const std::string_view content = c.run(p.d, i, k + 1);
    if (n > 0 && content != common) return false;
    common = content;
  }
  return true;
}

// Straight from the definition: every content of k words with all its places, for every k.
ps::Passages oracle(const std::vector<std::string>& docs, const ps::PassageParams& params) {
  const Corpus c(docs);
  using Row = std::tuple<std::uint64_t, std::uint64_t, std::vector<Place>>;  // words, bytes
  std::vector<Row> rows;
  std::uint64_t longest = 0;
  for (std::size_t d = 0; d < c.documents(); ++d) longest = std::max(longest, c.words(d));
  for (std::uint64_t k = params.min_words; k <= longest; ++k) {
    std::map<std::string_view, std::vector<Place>> groups;
    for (std::uint32_t d = 0; d < c.documents(); ++d) {
      for (std::uint64_t i = 0; c.has_run(d, i, k); ++i) groups[c.run(d, i, k)].push_back({d, i});
    }
    for (const auto& [content, places] : groups) {
      if (places.size() < 2) continue;
      if (quarnel::core::utf::count_code_points(content) < params.min_chars) continue;
      if (extendable(c, places, k, 0) || extendable(c, places, k, -1)) continue;
      rows.emplace_back(k, content.size(), places);
    }
  }
  const auto first_of = [&](const Row& r) {
    const Place& p = std::get<2>(r).front();
    return std::make_pair(p.d, c.start(p.d, p.i));
  };
  std::sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
    if (std::get<0>(a) != std::get<0>(b)) return std::get<0>(a) > std::get<0>(b);
    if (std::get<1>(a) != std::get<1>(b)) return std::get<1>(a) > std::get<1>(b);
    return first_of(a) < first_of(b);
  });
  ps::Passages out;
  out.first.push_back(0);
  for (const auto& [k, bytes, places] : rows) {
    for (const Place& p : places) {
      out.document.push_back(p.d);
      out.start.push_back(c.start(p.d, p.i));
      out.end.push_back(c.start(p.d, p.i) + bytes);
    }
    out.words.push_back(k);
    out.first.push_back(out.document.size());
  }
  return out;
}

ps::Passages found(const std::vector<std::string>& docs, const ps::PassageParams& params) {
  const std::vector<std::string_view> views(docs.begin(), docs.end());
  return ps::find_passages(views, params);
}

std::string describe(const std::vector<std::string>& docs, const ps::PassageParams& params) {
  return quarnel::test::describe("min_words=" + std::to_string(params.min_words) +
                                     " min_chars=" + std::to_string(params.min_chars) + " docs:",
                                 docs);
}

// Seed, corpora, most documents, most words.
using RandomCase = std::tuple<unsigned, int, int, int>;
class PassagesRandom : public ::testing::TestWithParam<RandomCase> {};

// The passages, on the narrow and the wide path, and with a reference those of the whole corpus
// that have a place on each side.
TEST_P(PassagesRandom, MatchTheDefinition) {
  const auto [seed, cases, max_docs, max_words] = GetParam();
  std::mt19937 rng(seed);
  for (int n = 0; n < cases; ++n) {
    const auto docs = random_corpus(rng, kAll, max_docs, max_words);
    const std::vector<std::string_view> views(docs.begin(), docs.end());
    ps::PassageParams params;
    params.min_words = 1 + rng() % 4;
    params.min_chars = rng() % 3 == 0 ? rng() % 12 : 0;
    SCOPED_TRACE(describe(docs, params));
    const auto expected = oracle(docs, params);
    ASSERT_EQ(found(docs, params), expected);
    if (n % 10 == 0) {
      ASSERT_EQ(ps::detail::find_passages_wide(views, params), expected);
    }
    if (n % 4 != 0) continue;
    params.reference_from = rng() % docs.size();
    ps::Passages both{{}, {0}, {}, {}, {}};
    for (std::size_t g = 0; g + 1 < expected.first.size(); ++g) {
      const auto from = expected.document.begin() + expected.first[g];
      const auto to = expected.document.begin() + expected.first[g + 1];
      const auto in_corpus = [&](std::uint32_t d) { return d < params.reference_from; };
      if (std::all_of(from, to, in_corpus) || std::none_of(from, to, in_corpus)) continue;
      both.words.push_back(expected.words[g]);
      for (auto k = expected.first[g]; k < expected.first[g + 1]; ++k) {
        both.document.push_back(expected.document[k]);
        both.start.push_back(expected.start[k]);
        both.end.push_back(expected.end[k]);
      }
      both.first.push_back(both.document.size());
    }
    ASSERT_EQ(ps::find_passages(views, params), both) << "reference from " << params.reference_from;
  }
}

INSTANTIATE_TEST_SUITE_P(Corpora, PassagesRandom,
                         ::testing::Values(RandomCase{1, 2000, 6, 12}, RandomCase{2, 500, 3, 40},
                                           RandomCase{3, 200, 6, 80}));

// The passage search relies on this: the whole-word LCP of any two suffixes is the minimum of
// the neighbour values between their ranks, and no value reaches past a document end.
TEST(PassagesWordLcp, IsARangeMinimumOfWholeWordPrefixes) {
  std::mt19937 rng(7);
  for (int n = 0; n < 400; ++n) {
    const auto docs = random_corpus(rng, kAll, 5, 15);
    const Corpus c(docs);
    const std::vector<std::string_view> views(docs.begin(), docs.end());
    const auto wsa = ps::detail::word_suffix_array(views);
    // Position layout: each document's words, then its separator (no words at all).
    std::vector<std::pair<std::uint32_t, std::uint64_t>> at;
    for (std::uint32_t d = 0; d < docs.size(); ++d) {
      for (std::uint64_t i = 0; i <= c.words(d); ++i) at.emplace_back(d, i);
    }
    ASSERT_EQ(wsa.sa.size(), at.size());
    std::vector<std::uint64_t> sorted = wsa.sa;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t p = 0; p < sorted.size(); ++p) ASSERT_EQ(sorted[p], p);
    for (std::size_t a = 0; a < at.size(); ++a) {
      std::uint64_t least = ~std::uint64_t{0};
      for (std::size_t b = a + 1; b < at.size(); ++b) {
        least = std::min(least, wsa.word_lcp[b]);
        const auto [d, i] = at[wsa.sa[a]];
        const auto [e, j] = at[wsa.sa[b]];
        ASSERT_EQ(least, c.common_words(d, i, e, j))
            << describe(docs, {}) << " ranks " << a << ", " << b;
      }
    }
  }
}

// Words that occur once in the corpus, unless placed on purpose.
std::string distinct_words(const std::string& tag, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += (i ? " " : "") + tag + std::to_string(i);
  return s;
}

TEST(Passages, BlockSharedByManyDocumentsIsOnePassageWithEveryPlace) {
  const std::string block = distinct_words("licence", 12);
  std::vector<std::string> docs;
  for (int d = 0; d < 200; ++d) {
    docs.push_back(distinct_words("head" + std::to_string(d) + "x", d % 5) + "\n\n" + block + "\n" +
                   distinct_words("tail" + std::to_string(d) + "x", d % 3));
  }
  const auto got = found(docs, {2, 0});
  ASSERT_EQ(got.first, (std::vector<std::uint64_t>{0, 200}));
  EXPECT_EQ(got, oracle(docs, {2, 0}));
}

// One word repeated k times has about k * k / 2 passage places; past four per word (and a floor
// of 2^24) the corpus is refused instead of gathering them, while shorter runs still answer.
TEST(Passages, RunsOfOneWordBeyondTheOccurrenceLimitAreRefused) {
  const auto run_of = [](int k) {
    std::string doc = "w";
    for (int i = 1; i < k; ++i) doc += " w";
    return doc;
  };
  EXPECT_THROW((void)found({run_of(20000)}, {8, 0}), quarnel::core::UsageError);
  EXPECT_THROW((void)found({run_of(10000), run_of(10000)}, {8, 0}), quarnel::core::UsageError);
  const auto below = found({run_of(3000)}, {8, 0});
  EXPECT_EQ(below.words.size(), 3000u - 8u);
  EXPECT_EQ(below.first.back(), (3000u - 7u) * (3000u - 6u) / 2 - 1);
}

// Random corpora always hold a document; no documents at all is its own case. A stop requested
// before the call ends it at its first checkpoint, before any result exists.
TEST(Passages, NoDocumentsZeroMinWordsAndAStopRequested) {
  EXPECT_EQ(ps::find_passages({}, {}), (ps::Passages{{}, {0}, {}, {}, {}}));
  EXPECT_THROW((void)found({"a a"}, {0, 0}), quarnel::core::UsageError);
  const quarnel::test::StopRequested stop;
  EXPECT_THROW((void)found({"a b c", "a b c"}, {1, 0}), quarnel::core::interrupt::Interrupted);
}

}  // namespace
