#include "duplicate_finder/candidate_scan.hpp"
#include "duplicate_finder/chunked_log.hpp"
#include "duplicate_finder/detail.hpp"
#include "duplicate_finder/set_aside_recovery.hpp"
#include "suffix_array/construction.hpp"
#include "suffix_array/lcp.hpp"
#include "test_support.hpp"
#include "text/tokenizer.hpp"
#include "text/utf.hpp"
#include "text/white_space.hpp"

namespace si = quarnel::core::string_interner;
using quarnel::core::normalize::RemovedRange;
using quarnel::core::phrase_records::Occurrence;

namespace {

const si::HashKey kKeyA{11, 22};
const si::HashKey kKeyB{0x9e3779b97f4a7c15ULL, 0xbf58476d1ce4e5b9ULL};

// The analysis text with its arrays; the sentence boundaries are chosen by each test.
struct Indexed {
  std::string text;
  Offsets sa, lcp, boundaries;
  sa::LcpPlanes<std::uint64_t> planes;

  Indexed(std::string t, Offsets b) : text(std::move(t)), boundaries(std::move(b)) {
    const auto bytes = quarnel::test::bytes_of(text);
    sa = sa::build_suffix_array_bytes_with_backend(bytes, sa::SuffixArrayBackend::Auto);
    lcp = sa::lcp_kasai<std::uint8_t>(bytes, sa);
    planes = sa::LcpPlanes<std::uint64_t>(std::span<const std::uint64_t>(lcp));
  }

  [[nodiscard]] df::AnalysisIndex index() const { return {text, sa, planes, boundaries}; }
};

bool word_byte(char c) {
  return quarnel::core::tokenizer::is_word_byte(static_cast<unsigned char>(c));
}

// Phrase normalisation spelt out: White_Space runs become one space, none at either end.
std::string oracle_normalize(std::string_view raw) {
  std::string out;
  bool after_space = true;
  for (std::size_t i = 0; i < raw.size();) {
    const std::size_t at = i;
    const bool white =
        quarnel::core::white_space::is_white_space(quarnel::core::utf::decode_utf8(raw, i));
    if (white && !after_space) out += ' ';
    if (!white) out.append(raw.substr(at, i - at));
    after_space = white;
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// Candidate phrases without a suffix array: the suffixes sharing p's first T bytes form p's
// run, whose maximum is the longest prefix shared by any two of them; every word window at
// every word start is tried directly.
std::vector<PhraseData> oracle_candidates(const std::string& text, const FinderParams& params,
                                          const Offsets& boundaries) {
  const std::size_t n = text.size();
  const std::uint64_t t = quarnel::core::duplicate_finder::phrase_threshold(params);
  std::vector<std::vector<std::uint64_t>> common(n + 1, std::vector<std::uint64_t>(n + 1, 0));
  for (std::size_t i = n; i-- > 0;) {
    for (std::size_t j = n; j-- > 0;) {
      common[i][j] = text[i] == text[j] ? common[i + 1][j + 1] + 1 : 0;
    }
  }
  Offsets ends;
  for (std::size_t i = 0; i < n; ++i) {
    if (word_byte(text[i]) && (i + 1 == n || !word_byte(text[i + 1]))) ends.push_back(i + 1);
  }
  std::map<std::string, std::set<std::uint64_t>> table;
  for (std::size_t p = 0; p < n && n >= 2; ++p) {
    if (!word_byte(text[p]) || (p > 0 && word_byte(text[p - 1])) || n - p < t) continue;
    std::vector<std::size_t> run;
    for (std::size_t q = 0; q < n; ++q) {
      if (n - q >= t && common[p][q] >= t) run.push_back(q);
    }
    if (run.size() < 2) continue;
    std::uint64_t run_max = 0;
    for (auto a : run) {
      for (auto b : run) {
        if (a != b) run_max = std::max(run_max, common[a][b]);
      }
    }
    const std::uint64_t cap = std::min<std::uint64_t>(n - p, run_max);
    if (cap < t) continue;
    const auto boundary = std::upper_bound(boundaries.begin(), boundaries.end(), p);
    const std::uint64_t limit =
        std::min<std::uint64_t>(boundary == boundaries.end() ? kMax : *boundary, p + cap);
    std::uint64_t words = 0;
    for (const auto e : ends) {
      if (e <= p) continue;
      ++words;
      if (words > params.max_words || e > limit) break;
      if (words < params.min_words) continue;
      const std::string phrase = oracle_normalize(std::string_view(text).substr(p, e - p));
      if (static_cast<std::uint64_t>(std::count_if(
              phrase.begin(), phrase.end(), [](char c) { return c != ' '; })) > params.min_chars) {
        table[phrase].insert(p);
      }
    }
  }
  std::vector<PhraseData> records;
  for (const auto& [phrase, offsets] : table) {
    const std::uint64_t words =
        phrase.empty() ? 0 : 1 + std::count(phrase.begin(), phrase.end(), ' ');
    if (offsets.size() < 2 || words < params.min_words_in_substring) continue;
    records.push_back(
        quarnel::test::phrase_record(phrase, {offsets.begin(), offsets.end()}, words));
  }
  std::sort(records.begin(), records.end(), [](const PhraseData& a, const PhraseData& b) {
    if (a.string_length != b.string_length) return a.string_length > b.string_length;
    return a.starts.front() < b.starts.front();
  });
  return records;
}

// Texts of a few sentences reused in random order, from a small vocabulary with multi-byte,
// astral and white-space characters among the words and separators.
const std::vector<std::string> kVocabulary{
    "alpha", "beta", "gamma", "de", "x", "\xC3\xB1u", "\xF0\x9D\x92\x9C\x62", "42", "it's"};
const std::vector<std::string> kSeparators{" ",        " ", " ",  "  ",           ", ",        "\t",
                                           "\xC2\xA0", "-", ". ", "\xE3\x80\x80", " \xC2\xA0 "};

std::string pick(std::mt19937& rng, const std::vector<std::string>& from) {
  return from[rng() % from.size()];
}

std::string random_text(std::mt19937& rng) {
  std::vector<std::string> sentences(2 + rng() % 3);
  for (auto& s : sentences) {
    for (std::size_t w = 0, n = 1 + rng() % 6; w < n; ++w) {
      s += (w ? pick(rng, kSeparators) : "") + pick(rng, kVocabulary);
    }
  }
  std::string text = rng() % 4 == 0 ? pick(rng, kSeparators) : "";
  for (std::size_t i = 0, n = 1 + rng() % 5; i < n; ++i) {
    text += pick(rng, sentences) + pick(rng, kSeparators);
  }
  return text;
}

Offsets random_boundaries(std::mt19937& rng, std::size_t n) {
  Offsets b;
  if (rng() % 3 == 0) return b;
  for (std::size_t i = 0; i < n; ++i) {
    if (rng() % 12 == 0) b.push_back(i);
  }
  return b;
}

FinderParams with(std::uint64_t min_words, std::uint64_t min_chars, std::uint64_t max_words = 50,
                  std::uint64_t min_words_in_substring = 2) {
  return FinderParams{min_words, min_chars, max_words, min_words_in_substring, false};
}

FinderParams random_params(std::mt19937& rng) {
  const auto pick = [&](std::initializer_list<std::uint64_t> values) {
    return *(values.begin() + rng() % values.size());
  };
  // Braces: the picks are drawn in this order.
  return {pick({0, 1, 2, 3, 4}), pick({0, 2, 5, 9, 12}), pick({0, 1, 2, 3, 5, 50, kMax}),
          pick({0, 1, 2, 3})};
}

PhraseData counted(std::string phrase, std::uint64_t count) {
  Offsets starts(count);
  for (std::uint64_t i = 0; i < count; ++i) starts[i] = 1000 * i;
  return quarnel::test::phrase_record(std::move(phrase), starts, 1);
}

// The removal loop with containment by plain substring search.
std::vector<PhraseData> naive_elimination(const std::vector<PhraseData>& records) {
  std::vector<bool> removed(records.size(), false);
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (removed[i]) continue;
    for (std::size_t j = 0; j < records.size(); ++j) {
      if (j == i || removed[j] || records[j].phrase == records[i].phrase) continue;
      if (records[i].phrase.find(records[j].phrase) == std::string::npos) continue;
      if (records[j].count <= records[i].count) removed[j] = true;
    }
  }
  std::vector<PhraseData> kept;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (!removed[i]) kept.push_back(records[i]);
  }
  return kept;
}

// A text with the sentence boundaries a splitter might have put in it.
struct CandidateCase {
  std::string text;
  Offsets boundaries = {};
  FinderParams params = {};
};

// A head of `s` cut at a random character boundary.
std::string random_head(std::mt19937& rng, const std::string& s) {
  std::size_t cut = rng() % s.size();
  while (cut > 0 && !quarnel::core::utf::is_char_start(s, cut)) --cut;
  return s.substr(0, cut);
}

// What a scan leaves, in a form that does not depend on how its hit lists are shared: the
// phrase table in id order, each recorded start's windows, the ranks, and either the set-aside
// logs (before recovery) or the admitted hits (after).
struct ScanContents {
  using Pairs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
  std::vector<std::string> phrases;
  std::vector<std::pair<std::uint64_t, Pairs>> windows_by_start;  // (id, raw length) pairs
  Offsets ranks;
  std::vector<std::uint32_t> raw_ids, rewritten_ids;
  std::vector<std::array<std::uint64_t, 4>> set_aside;  // which log, then the entry
  Pairs admitted;
  friend bool operator==(const ScanContents&, const ScanContents&) = default;
};

ScanContents contents_of(const df::Candidates<std::uint64_t>& scan) {
  ScanContents out;
  for (std::size_t id = 0; id < scan.phrases.size(); ++id) {
    out.phrases.emplace_back(scan.phrases.key(id));
    out.ranks.push_back(id < scan.rank_of.size() ? scan.rank_of[id] : df::kNoRank);
  }
  for (const auto& h : scan.hits.by_position()) {
    ScanContents::Pairs list;
    for (const auto& w : scan.hits.list(h.list)) list.emplace_back(w.id, w.raw_length);
    out.windows_by_start.emplace_back(h.position, std::move(list));
  }
  out.raw_ids = scan.raw_ids;
  out.rewritten_ids = scan.rewritten_ids;
  const auto& logs = scan.set_aside;
  auto& log = out.set_aside;
  logs.phrases.for_each([&](const auto& e) { log.push_back({0, e.rank, e.raw_length, 0}); });
  logs.starts.for_each([&](const auto& e) { log.push_back({1, e.start, e.shared, e.limit}); });
  logs.windows.for_each([&](const auto& e) { log.push_back({2, e.rank, e.from, e.to}); });
  out.admitted.assign(scan.hits.admitted.begin(), scan.hits.admitted.end());
  return out;
}

// The candidates, and the pipeline's fused form (candidates, then substring elimination on two or
// more), on one lane and on two, against the oracle. The scan split by rank halves, its upper
// half absorbed, leaves what one collector leaves: the same ids, windows, ranks and logs, and
// after recovery the same admitted hits.
void expect_candidates_match_the_oracle(const CandidateCase& c, const std::string& what) {
  const auto expected = oracle_candidates(c.text, c.params, c.boundaries);
  const auto uncontained = expected.size() >= 2 ? naive_elimination(expected) : expected;
  const Indexed indexed(c.text, c.boundaries);
  for (const Lanes lanes : {Lanes::one(), Lanes::two()}) {
    SCOPED_TRACE(what + " lanes " + std::to_string(lanes.count()) + " text '" + c.text + "'");
    ASSERT_EQ(df::detail::find_candidate_phrases(indexed.index(), c.params, kKeyA, lanes),
              expected);
    ASSERT_EQ(df::detail::find_uncontained_candidates(indexed.index(), c.params, kKeyB, lanes),
              uncontained);
  }
  const df::PositionIndex positions(indexed.text, indexed.boundaries);
  std::vector<ScanContents> scanned, recovered;
  for (const Lanes lanes : {Lanes::one(), Lanes::two()}) {
    auto scan = df::scan_candidates(indexed.index(), positions, c.params, kKeyA, true, lanes);
    scanned.push_back(contents_of(scan));
    df::recover_set_aside(indexed.index(), positions, c.params, scan, lanes);
    recovered.push_back(contents_of(scan));
  }
  ASSERT_EQ(scanned[0], scanned[1]) << what << " text '" << c.text << "'";
  ASSERT_EQ(recovered[0], recovered[1]) << what << " text '" << c.text << "'";
}

// Texts of a few sentences reused in random order, one such text or two, boundaries anywhere.
CandidateCase reused_sentences(std::mt19937& rng) {
  std::string text = random_text(rng);
  if (rng() % 2 == 0) text += random_text(rng);
  Offsets boundaries = random_boundaries(rng, text.size());
  return {std::move(text), std::move(boundaries), random_params(rng)};
}

// Parameters for texts of pasted passages: phrases of a few words, short or long windows.
FinderParams pasted_params(std::mt19937& rng) {
  return {1 + rng() % 4, rng() % 8, std::vector<std::uint64_t>{2, 3, 5, 50}[rng() % 4], rng() % 3};
}

// A passage copied exactly twice makes runs of two suffixes whose windows are the same text at
// both starts. What comes before each copy decides whether both start words.
CandidateCase twice_pasted(std::mt19937& rng) {
  const std::vector<std::string> joints{"", " ", "x", "b ", ". ", "-", "\xC2\xA0"};
  // Random words seldom repeat three in a row, so the copies make most runs.
  std::string passage;
  for (std::size_t w = 5 + rng() % 10; w > 0; --w)
    passage += pick(rng, kVocabulary) + pick(rng, kSeparators);
  // Sentence boundaries at the same places of both copies, as a splitter would put them.
  const auto shape = rng() % 4;
  const Offsets inside = shape == 0   ? Offsets{}
                         : shape == 1 ? Offsets{rng() % passage.size()}
                                      : Offsets{passage.size()};
  CandidateCase c;
  for (int copy = 0; copy < 2; ++copy) {
    c.text += pick(rng, joints);
    for (const auto b : inside) c.boundaries.push_back(c.text.size() + b);
    c.text += passage;
  }
  // Two more copies of a head of the passage, so that some windows occur more often than the
  // longer ones containing them: with doubled spaces (phrases only when normalised) or cut
  // short (short windows in runs of their own).
  const std::string head = random_head(rng, passage);
  std::string extra;
  if (rng() % 2 == 0) {
    for (const char ch : head) extra += ch == ' ' ? std::string("  ") : std::string(1, ch);
  } else {
    extra = head + "!";
  }
  if (rng() % 3 != 0) c.text += pick(rng, joints) + extra + pick(rng, joints) + extra;
  c.params = random_params(rng);
  return c;
}

// Raw text (single spaces only) in which passages are pasted twice and their heads recur with
// other continuations, sorting before and after the pasted copies: the windows the two copies
// share with no other rank are left to them alone, the shorter ones are shared with the heads.
CandidateCase recurring_heads(std::mt19937& rng) {
  const std::vector<std::string> words{"a", "b", "cc", "dd", "eee", "fff", "g7", "hh"};
  const auto phrase_of = [&](std::size_t n) {
    std::string out;
    for (std::size_t w = 0; w < n; ++w) out.append(w > 0 ? " " : "").append(pick(rng, words));
    return out;
  };
  const std::string passage = phrase_of(4 + rng() % 12);
  // Its first 1 to 6 words.
  std::size_t head_end = 0;
  for (std::size_t w = 1 + rng() % 6; w > 0 && head_end != std::string::npos; --w) {
    head_end = passage.find(' ', head_end + 1);
  }
  const std::string head = passage.substr(0, head_end);
  std::vector<std::string> pieces{passage, passage};
  for (std::size_t k = rng() % 4; k > 0; --k)
    pieces.push_back(head + ' ' + phrase_of(1 + rng() % 3));
  for (std::size_t k = rng() % 3; k > 0; --k) pieces.push_back(phrase_of(2 + rng() % 5));
  std::shuffle(pieces.begin(), pieces.end(), rng);
  CandidateCase c;
  for (const std::string& piece : pieces) {
    // Now and then a boundary inside a piece, which cuts one copy's windows and not the other's.
    if (rng() % 4 == 0) c.boundaries.push_back(c.text.size() + rng() % piece.size());
    c.text += piece + ". ";
    if (rng() % 2 == 0) c.boundaries.push_back(c.text.size());
  }
  c.params = pasted_params(rng);
  return c;
}

// Words holding non-ASCII white space ("o\u00a0f"): the tokenizer keeps each whole, while
// normalisation splits it, so nearly every window of a pasted passage is rewritten. Its phrases
// may equal windows spelt otherwise ("o f", "o  f", "o\u3000f") elsewhere: pasted tails, heads
// and lone copies, in any order.
CandidateCase white_space_inside_words(std::mt19937& rng) {
  const std::vector<std::string> plain{"a", "bb", "cc", "dd", "eee", "fff"};
  const std::vector<std::string> gaps{"\xC2\xA0", "\xE3\x80\x80", "\xE2\x80\xA8", " ", "  "};
  // A word of the passage, split in two by a non-ASCII space now and then.
  const auto word = [&] {
    std::string w = pick(rng, plain);
    if (rng() % 3 == 0) w += gaps[rng() % 3] + pick(rng, plain);
    return w;
  };
  // The passage spelt with another gap inside every split word, some of the time.
  const auto respelt = [&](const std::string& passage) {
    std::string out;
    for (std::size_t at = 0; at < passage.size();) {
      std::size_t gap = 0;
      for (std::size_t g = 0; g < 3 && gap == 0; ++g) {
        if (passage.compare(at, gaps[g].size(), gaps[g]) == 0) gap = gaps[g].size();
      }
      if (gap == 0) {
        out += passage[at++];
        continue;
      }
      out += rng() % 2 == 0 ? passage.substr(at, gap) : pick(rng, gaps);
      at += gap;
    }
    return out;
  };
  std::string passage;
  for (std::size_t w = 4 + rng() % 10; w > 0; --w) passage += word() + (w > 1 ? " " : "");
  std::vector<std::string> pieces{passage, passage};
  if (rng() % 2 == 0) pieces.push_back(passage);
  for (std::size_t k = rng() % 3; k > 0; --k) {
    const std::string other = respelt(passage);
    const std::string head = random_head(rng, other);
    pieces.push_back(rng() % 2 == 0 ? other : head);
  }
  std::shuffle(pieces.begin(), pieces.end(), rng);
  CandidateCase c;
  for (const std::string& piece : pieces) {
    c.text += piece + (rng() % 3 == 0 ? "; " : ". ");
    if (rng() % 3 == 0) c.boundaries.push_back(c.text.size());
  }
  c.params = pasted_params(rng);
  return c;
}

// ASCII texts of a few blocks of 64 bytes, so that words and runs of white space cross from one
// block to the next, where the whole-block marking carries its state.
CandidateCase ascii_over_blocks(std::mt19937& rng) {
  const std::vector<std::string> words{"a", "bb", "ccc", "dddd", "eeeee", "ffffffffff", "7"};
  const std::vector<std::string> gaps{" ", " ", " ", "  ", "\t", "\n", " \n ", ", ", "-", ". "};
  std::vector<std::string> phrases(3);
  for (auto& phrase : phrases) {
    for (std::size_t w = 0, n = 2 + rng() % 5; w < n; ++w)
      phrase += pick(rng, words) + pick(rng, gaps);
  }
  CandidateCase c;
  while (c.text.size() < 130 + rng() % 250) c.text += pick(rng, phrases) + pick(rng, gaps);
  c.params = random_params(rng);
  return c;
}

struct CandidateGenerator {
  const char* name;
  CandidateCase (*make)(std::mt19937&);
  int rounds;
};

class CandidatePhrases : public ::testing::TestWithParam<CandidateGenerator> {};

TEST_P(CandidatePhrases, MatchTheDirectOracle) {
  std::mt19937 rng(2024);
  for (int round = 0; round < GetParam().rounds; ++round) {
    ASSERT_NO_FATAL_FAILURE(
        expect_candidates_match_the_oracle(GetParam().make(rng), "round " + std::to_string(round)));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Generators, CandidatePhrases,
    ::testing::Values(CandidateGenerator{"ReusedSentences", reused_sentences, 400},
                      CandidateGenerator{"TwicePasted", twice_pasted, 400},
                      CandidateGenerator{"RecurringHeads", recurring_heads, 600},
                      CandidateGenerator{"WhiteSpaceInsideWords", white_space_inside_words, 500},
                      CandidateGenerator{"AsciiOverBlocks", ascii_over_blocks, 1000}),
    [](const auto& info) { return std::string(info.param.name); });

// Chosen texts: thresholds at their edges (ten non-space bytes make a phrase, nine do not), zero
// and saturated limits, white-space variants of one phrase from different runs, a window ending
// in a no-break space, phrases cut by max_words or by a boundary, many copies of one passage
// (verdicts reused from rank to rank), and twin sentences whose shorter windows also occur in
// runs of their own.
TEST(CandidatePhrasesChosen, MatchTheDirectOracle) {
  std::string sixty_words, six_copies;
  for (int w = 0; w < 60; ++w) sixty_words.append("w").append(std::to_string(w)).append(" ");
  for (int i = 0; i < 6; ++i)
    six_copies += "alpha beta  gamma, de x alpha beta gamma; de\xC2\xA0x beta ";
  const std::string nbsp = "alpha beta gamma delta \xC2\xA0; ";
  const std::string abc = "abc def gh ij x abc def gh ij";
  std::vector<CandidateCase> cases{
      {abc},
      {"abc de fg hi x abc de fg hi"},
      {"one two three one two three"},
      {"alpha beta  gamma delta and alpha beta gamma delta"},
      {"xalpha beta gamma delta and alpha beta gamma delta"},
      {abc, {}, with(4, 9, 50, 5)},
      {"extraordinarily, extraordinarily", {}, with(0, 9, 50, 0)},
      {abc, {}, with(4, 9, 0, 2)},
      {abc, {}, with(kMax, 0, kMax, 0)},
      {abc, {}, with(kMax, kMax, kMax, 0)},
      {""},
      {"a"},
      {"alpha beta  gamma delta, alpha beta  gamma delta, alpha beta gamma delta, alpha beta "
       "gamma delta",
       {},
       {}},
      {nbsp + nbsp},
      {nbsp + nbsp + "alpha beta gamma delta."},
      {sixty_words + "| " + sixty_words},
      {"one two three four five six | one two three four five six", {18}, {}},
      {"alpha beta gamma de x|alpha beta gamma de x|alpha  beta gamma|alpha  beta gamma|",
       {22, 44},
       with(2, 9, 50, 2)},
      {"a-b c-d e f|a-b c-d e f|a-b c-d!a-b c-d!", {12, 24}, with(4, 5, 50, 2)}};
  for (const std::uint64_t max_words : {3, 5, 50}) {
    cases.push_back({six_copies, {70, 200}, with(2, 9, max_words, 2)});
  }
  std::size_t with_phrases = 0;
  for (std::size_t k = 0; k < cases.size(); ++k) {
    ASSERT_NO_FATAL_FAILURE(
        expect_candidates_match_the_oracle(cases[k], "case " + std::to_string(k)));
    with_phrases +=
        oracle_candidates(cases[k].text, cases[k].params, cases[k].boundaries).empty() ? 0 : 1;
  }
  EXPECT_GE(with_phrases, 11U);
}

// Offsets past 65535 take three passes of the position sorts behind the fused elimination; the
// separate stages sort nothing by position, and each was checked against its oracle above.
TEST(CandidatePhrases, FusedEliminationMatchesTheSeparateStagesOnALongText) {
  std::mt19937 rng(4096);
  std::vector<std::string> pieces(60);
  for (auto& piece : pieces) piece = random_text(rng);
  std::string text;
  while (text.size() < 70000) text += pieces[rng() % pieces.size()] + random_text(rng);
  const FinderParams params = with(2, 5);
  const Indexed indexed(text, {});
  const auto fused = df::detail::find_uncontained_candidates(indexed.index(), params, kKeyB);
  EXPECT_GT(fused.size(), 100U);
  EXPECT_EQ(fused, df::eliminate_contained_phrases(
                       df::detail::find_candidate_phrases(indexed.index(), params, kKeyB)));
}

// The parts of a log, spliced from partly filled chunks, visit its entries once, in order.
TEST(ChunkedLog, PartsVisitEveryEntryOnceInOrder) {
  constexpr std::size_t kChunk = std::size_t{1} << 16;
  for (const std::vector<std::size_t>& pieces : {std::vector<std::size_t>{},
                                                 {1},
                                                 {kChunk - 1},
                                                 {kChunk},
                                                 {kChunk + 1, 5},
                                                 {3, kChunk, 2 * kChunk + 7, 0, 1}}) {
    df::ChunkedLog<std::uint32_t> log;
    std::uint32_t next = 0;
    for (const std::size_t piece : pieces) {
      df::ChunkedLog<std::uint32_t> part;
      for (std::size_t k = 0; k < piece; ++k) part.push_back(next++);
      log.splice(std::move(part));
    }
    for (std::size_t parts = 1; parts <= 5; ++parts) {
      std::vector<std::uint32_t> seen;
      for (std::size_t part = 0; part < parts; ++part) {
        const std::size_t before = seen.size();
        log.for_each_in_part(part, parts, [&](std::uint32_t v) { seen.push_back(v); });
        EXPECT_LE(seen.size() - before, next / parts + 1);
      }
      std::vector<std::uint32_t> expected(next);
      std::iota(expected.begin(), expected.end(), 0U);
      ASSERT_EQ(seen, expected) << "parts " << parts << " entries " << next;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Substring elimination

// Short phrases over "ab " (equal, greater and smaller counts, containment not aligned to words,
// chains where only an unremoved container removes), and longer ones, many with a common head
// and some cut from one another, so that phrases are matched by head and tail, and heads (of 8
// bytes, and of 16) are shared by more phrases than are checked one by one.
TEST(SubstringElimination, MatchesPairwiseSearch) {
  std::mt19937 rng(47);
  for (int round = 0; round < 500; ++round) {
    std::vector<PhraseData> records;
    const bool short_phrases = round >= 200;
    const std::size_t n = 2 + rng() % (short_phrases ? 12 : round % 4 == 0 ? 200 : 20);
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < n; ++i) {
      std::string phrase(1 + rng() % (short_phrases ? 7 : 30), 'a');
      for (auto& c : phrase) c = "ab "[rng() % 3];
      if (short_phrases) {
        texts.push_back(phrase);
        continue;
      }
      if (rng() % 2 == 0) phrase = (rng() % 2 == 0 ? "shared h" : "shared head also") + phrase;
      if (!texts.empty() && rng() % 3 == 0) {
        const std::string& from = texts[rng() % texts.size()];
        const std::size_t at = rng() % from.size();
        phrase = from.substr(at, 1 + rng() % (from.size() - at));
      }
      // Every other round, phrases of eight bytes or more only.
      if (round % 2 == 1 && phrase.size() < 8) continue;
      texts.push_back(phrase);
    }
    std::sort(texts.begin(), texts.end());
    texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
    for (const auto& t : texts) records.push_back(counted(t, 1 + rng() % 3));
    std::stable_sort(records.begin(), records.end(), [](const auto& a, const auto& b) {
      return a.string_length > b.string_length;
    });
    ASSERT_EQ(df::eliminate_contained_phrases(records), naive_elimination(records)) << round;
  }
}

// ---------------------------------------------------------------------------------------------
// Blocks

std::string distinct_words_text(std::size_t bytes, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < bytes) {
    std::string word(2 + rng() % 6, 'a');
    for (auto& c : word) c = static_cast<char>('a' + rng() % 26);
    s += word + " ";
  }
  s.resize(bytes);
  s.back() = 'z';
  return s;
}

// Against the rule spelled out on a sorted list: only the last interval (by start, then end)
// starting at or before the offset is consulted. Starts are drawn from spans that reach every
// level of the bitmap, and clustered so that equal starts and near misses occur.
class CoveredIntervalsVersusSortedList : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(CoveredIntervalsVersusSortedList, AnswerTheSameQuestions) {
  const std::uint64_t text_length = GetParam();
  std::mt19937_64 rng(text_length);
  df::CoveredIntervals covered(text_length);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> sorted;
  const auto naive = [&](std::uint64_t start, std::uint64_t end) {
    const auto it = std::upper_bound(sorted.begin(), sorted.end(), std::pair{start, kMax});
    return it != sorted.begin() && end <= std::prev(it)->second;
  };
  const auto offset = [&] {
    const std::uint64_t centre = rng() % 4 == 0 ? 0 : text_length / 2;
    return std::min(text_length, centre + rng() % (rng() % 2 ? 300 : text_length + 1));
  };
  for (int round = 0; round < 3000; ++round) {
    const std::uint64_t start = offset();
    // Some intervals reach far, so that a distant last start can still cover.
    const std::uint64_t end = start + rng() % (rng() % 4 == 0 ? text_length + 1 : 500);
    if (rng() % 3 == 0) {
      covered.add(start, end);
      sorted.insert(std::upper_bound(sorted.begin(), sorted.end(), std::pair{start, end}),
                    {start, end});
    }
    ASSERT_EQ(covered.covers(start, end), naive(start, end)) << start << " " << end;
    const std::uint64_t probe = offset();
    const std::uint64_t reach = probe + rng() % 500;
    ASSERT_EQ(covered.covers(probe, reach), naive(probe, reach)) << probe << " " << reach;
  }
}

INSTANTIATE_TEST_SUITE_P(TextLengths, CoveredIntervalsVersusSortedList,
                         ::testing::Values(std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{700},
                                           std::uint64_t{5000}, std::uint64_t{1} << 20,
                                           std::uint64_t{1} << 25));

// The last start can lie many summary words back, or be a later, shorter interval that hides a
// longer one.
TEST(CoveredIntervals, OnlyTheLastStartDecidesHoweverFarBackItIs) {
  const std::uint64_t n = std::uint64_t{1} << 26;
  df::CoveredIntervals covered(n);
  covered.add(5, n);
  EXPECT_FALSE(covered.covers(4, 10));
  EXPECT_TRUE(covered.covers(5, n));
  EXPECT_TRUE(covered.covers(n - 10, n - 5));
  covered.add(n / 2, n / 2 + 10);
  EXPECT_TRUE(covered.covers(n / 2 - 1, n / 2 + 100));
  EXPECT_FALSE(covered.covers(n / 2 + 100, n / 2 + 101));
  EXPECT_FALSE(covered.covers(n - 1, n));
}

// Which blocks are found, their lengths and ends, and the phrases they drop are checked against
// the pipeline oracle in test_find_duplicates.py (test_block_detection_matches_oracle), which
// takes blocks of equal length in any order: the order is checked here. Saturated limits find
// nothing and do not crash.
TEST(Blocks, SaturatedLimitsFindNoneAndEqualLengthBlocksComeByFirstOffset) {
  const auto blocks_of = [](const std::string& text, const FinderParams& params) {
    const Indexed indexed(text, {});
    return df::detect_blocks({}, indexed.index(), params);
  };
  const std::string a = distinct_words_text(300, 6), b = distinct_words_text(300, 7);
  const std::string text = "1" + b + "2" + a + "3" + a + "4" + b + "5";
  const auto records = blocks_of(text, {});
  ASSERT_EQ(records.size(), 2U);
  EXPECT_EQ(std::pair(records[0].phrase, records[1].phrase), std::pair(b, a));
  for (int repeat = 0; repeat < 3; ++repeat) EXPECT_EQ(blocks_of(text, {}), records);
  const std::string paragraph = distinct_words_text(500, 8);
  for (const std::uint64_t max_words : {kMax, kMax / 4 + 1, kMax / 100 + 1}) {
    FinderParams params;
    params.max_words = max_words;
    EXPECT_TRUE(blocks_of("<" + paragraph + "> [" + paragraph + "]", params).empty()) << max_words;
  }
}

// ---------------------------------------------------------------------------------------------
// Offsets and results

// The limits derived from the parameters saturate instead of wrapping.
TEST(DerivedLimits, SaturateInsteadOfWrapping) {
  using A = std::array<std::uint64_t, 3>;
  for (const auto& [params, want] : std::vector<std::pair<FinderParams, A>>{
           {{}, {12, 200, 5000}},
           {with(0, 9, 50, 2), {9, 200, 5000}},
           {with(4, 900, 50, 2), {903, 900, 5000}},
           {with(kMax, kMax, kMax, 2), {kMax, kMax, kMax}},
           {with(kMax, 5, kMax / 4 + 1, 2), {kMax, kMax, kMax}},
           {with(2, kMax, kMax / 100, 2), {kMax, kMax, kMax / 100 * 100}}}) {
    EXPECT_EQ((A{df::phrase_threshold(params), df::block_minimum(params), df::block_cap(params)}),
              want);
  }
}

// Offsets pushed past the source by ranges that do not describe it pass through unchanged, and
// ranges in any shape never crash the finder.
TEST(Pipeline, RemovedRangesThatDoNotFitTheTextAreHarmless) {
  const std::string kBase = "alpha beta gamma delta and alpha beta gamma delta";
  const std::vector<RemovedRange> past_the_end{{0, 100}};
  const auto beyond = df::process_test_string(kBase, kBase, past_the_end, {});
  ASSERT_EQ(beyond.size(), 1U);
  EXPECT_EQ(beyond[0].occurrences, (std::vector<Occurrence>{{100, 122}, {127, 149}}));
  for (const auto& ranges : std::vector<std::vector<RemovedRange>>{
           {{30, 5}}, {{5, 30}, {10, 40}}, {{kMax - 1, kMax}}, {{0, kMax}}, {{40, 45}, {0, 3}}}) {
    const auto results = df::process_test_string(kBase, "short", ranges, {});
    ASSERT_EQ(results.size(), 1U);
    EXPECT_EQ(results[0].count, 2U);
  }
}

// Every step that can take the second thread takes it here, on texts far below the size where it
// would: the halves sort with sentences beside it, the scan by rank halves, the extension marks
// side by side, records and results by halves, and the block search beside the phrases.
TEST(Pipeline, EverySplitPathGivesTheOneThreadResult) {
  std::mt19937 rng(17);
  for (int round = 0; round < 60; ++round) {
    std::string text;
    std::vector<std::string> passages;
    for (int part = 0; part < 4 + static_cast<int>(rng() % 8); ++part) {
      passages.push_back(random_text(rng));
      // Passages pasted again make runs of two and the blocks to find.
      text += rng() % 2 == 0 ? passages.back() : pick(rng, passages);
    }
    FinderParams params = random_params(rng);
    params.max_words = std::min<std::uint64_t>(params.max_words, 6);
    params.enable_block_detection = rng() % 2 == 0;
    const auto one = df::detail::process_test_string(text, text, {}, params, df::detail::kNoSplit);
    ASSERT_EQ(df::detail::process_test_string(text, text, {}, params, df::detail::kEverySplit), one)
        << "round " << round << " text '" << text << "'";
  }
}

}  // namespace
