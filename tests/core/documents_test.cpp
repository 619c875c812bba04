// Documents analysed together: the barriers at document ends, and the finder over a layout.

#include "duplicate_finder/documents.hpp"

#include "duplicate_finder/detail.hpp"
#include "suffix_array/construction.hpp"
#include "suffix_array/lcp.hpp"
#include "test_support.hpp"

namespace {

using quarnel::test::Joined;
const auto join = quarnel::test::join_documents;

std::vector<std::string> random_documents(std::mt19937& rng) {
  static const quarnel::test::Vocabulary words{
      {"alpha", "beta", "gamma", "delta", "eps", "zeta", "\xC3\xA9ta"},
      {" ", ", ", ". ", "\n", "  "}};
  return quarnel::test::valid_utf8(quarnel::test::random_corpus(rng, words, 5, 60));
}

// The bytes left in a position's document (none in a separator), and the cut LCP as the common
// prefix inside both documents.
TEST(DocumentEnds, LeftAndTheCutLcpMatchAScanOfTheLayout) {
  std::mt19937 rng(11);
  for (int round = 0; round < 150; ++round) {
    const Joined j = join(random_documents(rng));
    const df::DocumentEnds ends(j.layout(), j.text.size());
    std::vector<std::uint64_t> left(j.text.size(), 0);
    for (std::size_t d = 0; d < j.starts.size(); ++d) {
      for (auto p = j.starts[d]; p < j.ends[d]; ++p) left[p] = j.ends[d] - p;
    }
    for (std::uint64_t p = 0; p < j.text.size(); ++p) ASSERT_EQ(ends.left(p), left[p]) << p;
    const auto bytes = quarnel::test::bytes_of(j.text);
    const auto order =
        sa::build_suffix_array_bytes_with_backend(bytes, sa::SuffixArrayBackend::Auto);
    const auto uncut = sa::lcp_kasai<std::uint8_t>(bytes, order, Lanes::one());
    for (const Lanes lanes : {Lanes::one(), Lanes::two()}) {
      auto lcp = uncut;
      df::cut_at_document_ends(std::span<std::uint64_t>(lcp), std::span<const std::uint64_t>(order),
                               ends, lanes);
      for (std::size_t r = 1; r < order.size(); ++r) {
        const std::uint64_t a = order[r - 1], b = order[r];
        const std::uint64_t room = std::min(left[a], left[b]);
        std::uint64_t common = 0;
        while (common < room && j.text[a + common] == j.text[b + common]) ++common;
        ASSERT_EQ(lcp[r], common) << "round " << round << " rank " << r << " lanes "
                                  << lanes.count();
      }
    }
  }
}

// No occurrence of any record crosses a document end, and each document's own repeats are found.
TEST(DocumentRecords, StayInsideTheirDocumentsOnEverySplitPath) {
  std::mt19937 rng(3);
  FinderParams params;
  params.min_words = 2;
  params.min_chars = 4;
  for (int round = 0; round < 150; ++round) {
    const Joined j = join(random_documents(rng));
    params.enable_block_detection = round % 2 == 0;
    const auto one =
        df::detail::find_document_records(j.text, j.layout(), params, df::detail::kNoSplit);
    const auto split =
        df::detail::find_document_records(j.text, j.layout(), params, df::detail::kEverySplit);
    ASSERT_EQ(one, split) << "round " << round;
    for (const PhraseData& record : one) {
      ASSERT_GE(record.count, 2U);
      for (std::size_t i = 0; i < record.starts.size(); ++i) {
        const auto d = std::upper_bound(j.starts.begin(), j.starts.end(), record.starts[i]) -
                       j.starts.begin() - 1;
        ASSERT_LE(record.ends[i], j.ends[d]) << "round " << round << " " << record.phrase;
        ASSERT_EQ(record.phrase.find('\0'), std::string::npos);
      }
    }
  }
}

}  // namespace
