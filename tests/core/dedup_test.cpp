#include "dedup/dedup.hpp"

#include "test_support.hpp"
#include "text/normalize.hpp"
#include "text/tokenizer.hpp"
#include "text/utf.hpp"
#include "text/white_space.hpp"

namespace dd = quarnel::core::dedup;
using quarnel::test::random_corpus;
using quarnel::test::valid_utf8;
using quarnel::test::Vocabulary;

namespace {

struct Words {
  std::vector<std::uint64_t> starts, ends;
};

Words words_of(std::string_view text) {
  return {quarnel::core::tokenizer::word_starts(text), quarnel::core::tokenizer::word_ends(text)};
}

std::uint64_t chars_before(std::string_view text, std::size_t byte) {
  return quarnel::core::utf::count_code_points(text.substr(0, byte));
}

// The marks the rule gives, window by window: a window goes when its text (as compared) occurs
// in the reference, or earlier in corpus order.
struct Marks {
  std::vector<std::uint64_t> document, word, kept_document, kept_word, kept_start;
  std::vector<std::uint8_t> why;
  [[nodiscard]] dd::MarkColumns view() const {
    return {document, word, why, kept_document, kept_word, kept_start};
  }
  void add(std::uint64_t d, std::uint64_t w, dd::Why y, std::uint64_t kd, std::uint64_t kw,
           std::uint64_t ks) {
    document.push_back(d);
    word.push_back(w);
    why.push_back(static_cast<std::uint8_t>(y));
    kept_document.push_back(kd);
    kept_word.push_back(kw);
    kept_start.push_back(ks);
  }
  // The same marks in another order, as a shuffle delivers them.
  [[nodiscard]] Marks shuffled(std::mt19937& rng) const {
    std::vector<std::size_t> order(document.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::shuffle(order.begin(), order.end(), rng);
    Marks out;
    for (const std::size_t m : order) {
      out.add(document[m], word[m], static_cast<dd::Why>(why[m]), kept_document[m], kept_word[m],
              kept_start[m]);
    }
    return out;
  }
};

std::vector<std::string> windows_of(std::string_view text, const dd::Params& p) {
  const std::string compared =
      quarnel::core::normalize::normalize_text(text, p.ignore_case, p.collapse_whitespace).text;
  const Words w = words_of(compared);
  std::vector<std::string> out;
  for (std::size_t i = 0; i + p.min_words <= w.starts.size(); ++i) {
    out.push_back(compared.substr(w.starts[i], w.ends[i + p.min_words - 1] - w.starts[i]));
  }
  return out;
}

Marks oracle_marks(const std::vector<std::string>& docs, const std::vector<std::string>& refs,
                   const dd::Params& p) {
  std::set<std::string> in_reference;
  for (const auto& r : refs) {
    for (auto& key : windows_of(r, p)) in_reference.insert(std::move(key));
  }
  std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> first;
  Marks marks;
  for (std::uint64_t d = 0; d < docs.size(); ++d) {
    const auto keys = windows_of(docs[d], p);
    for (std::uint64_t w = 0; w < keys.size(); ++w) {
      const auto [at, fresh] = first.emplace(keys[w], std::pair{d, w});
      if (in_reference.contains(keys[w])) {
        marks.add(d, w, dd::Why::kReference, dd::kNoCopy, 0, dd::kNoCopy);
      } else if (!fresh) {
        const auto [kd, kw] = at->second;
        marks.add(d, w, dd::Why::kRepeat, kd, kw,
                  chars_before(docs[kd], words_of(docs[kd]).starts[kw]));
      }
    }
  }
  return marks;
}

// The marks a distributed run decides from fingerprints: the first place of each fingerprint
// is kept, and every place of one the reference has goes.
Marks fingerprint_marks(const std::vector<std::string>& docs, const std::vector<std::string>& refs,
                        const dd::Params& p) {
  const std::vector<std::string_view> dv(docs.begin(), docs.end()), rv(refs.begin(), refs.end());
  const auto f = dd::window_fingerprints(dv, p);
  const auto r = dd::window_fingerprints(rv, p);
  std::set<std::pair<std::uint64_t, std::uint64_t>> in_reference;
  for (std::size_t i = 0; i < r.high.size(); ++i) in_reference.insert({r.high[i], r.low[i]});
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> first;
  Marks marks;
  for (std::size_t i = 0; i < f.high.size(); ++i) {
    const std::pair key{f.high[i], f.low[i]};
    const auto [at, fresh] = first.emplace(key, i);
    if (in_reference.contains(key)) {
      marks.add(f.document[i], f.word[i], dd::Why::kReference, dd::kNoCopy, 0, dd::kNoCopy);
    } else if (!fresh) {
      const std::size_t k = at->second;
      marks.add(f.document[i], f.word[i], dd::Why::kRepeat, f.document[k], f.word[k], f.start[k]);
    }
  }
  return marks;
}

void expect_same(const dd::Cleaned& a, const dd::Cleaned& b) {
  const auto columns = [](const dd::Cleaned& c) {
    return std::tie(c.texts, c.text_ends, c.removed_words, c.dropped, c.span_document, c.span_start,
                    c.span_end, c.span_why, c.span_kept_document, c.span_kept_start);
  };
  EXPECT_EQ(columns(a), columns(b));
}

std::u32string decoded(std::string_view s) {
  std::u32string out;
  for (std::size_t i = 0; i < s.size();) out += quarnel::core::utf::decode_utf8(s, i);
  return out;
}

// What the cut must give, from the rule: removed words are those in a marked window; each run
// of them goes from its first word to the next kept word (to the end, with the white space
// before it, at the end); a span begins at a marked window and carries that window's reason.
void check_cut(const std::vector<std::string>& docs, const Marks& marks, const dd::Params& p,
               const dd::Cleaned& out) {
  std::size_t m = 0, s = 0;
  for (std::size_t d = 0; d < docs.size(); ++d) {
    const std::u32string text = decoded(docs[d]);
    const Words bytes = words_of(docs[d]);
    std::vector<std::uint64_t> starts;
    for (auto b : bytes.starts) starts.push_back(chars_before(docs[d], b));
    std::vector<bool> removed(starts.size(), false);
    std::map<std::uint64_t, std::size_t> mark_at;
    for (; m < marks.document.size() && marks.document[m] == d; ++m) {
      mark_at[marks.word[m]] = m;
      for (std::uint64_t w = marks.word[m]; w < marks.word[m] + p.min_words; ++w) removed[w] = true;
    }
    std::u32string kept;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
    std::uint64_t at = 0;
    for (std::size_t w = 0; w < starts.size(); ++w) {
      if (!removed[w] || (w > 0 && removed[w - 1])) continue;
      std::size_t e = w;
      while (e < starts.size() && removed[e]) ++e;
      std::uint64_t from = starts[w];
      const std::uint64_t to = e < starts.size() ? starts[e] : text.size();
      if (e == starts.size()) {
        const std::uint64_t floor = w == 0 ? 0 : chars_before(docs[d], bytes.ends[w - 1]);
        while (from > floor && quarnel::core::white_space::is_white_space(text[from - 1])) --from;
      }
      kept += text.substr(at, from - at);
      at = to;
      runs.push_back({from, to});
    }
    kept += text.substr(at);
    const std::uint64_t count = std::count(removed.begin(), removed.end(), true);
    ASSERT_EQ(out.removed_words[d], count);
    if (!out.dropped[d]) {
      EXPECT_EQ(decoded(out.text(d)), kept) << "document " << d;
    }
    EXPECT_EQ(out.dropped[d] != 0, starts.size() - count < p.drop_below);
    // The spans tile the runs, each beginning at a marked window with its reason.
    for (const auto& [from, to] : runs) {
      ASSERT_LT(s, out.span_start.size());
      EXPECT_EQ(out.span_start[s], from);
      std::uint64_t end = from;
      for (; s < out.span_start.size() && out.span_document[s] == d && out.span_start[s] < to;
           ++s) {
        EXPECT_EQ(out.span_start[s], end);
        end = out.span_end[s];
        const auto first = std::lower_bound(starts.begin(), starts.end(), out.span_start[s]);
        const auto mk = mark_at.find(first - starts.begin());
        ASSERT_NE(mk, mark_at.end()) << "span " << s << " begins at no window";
        EXPECT_EQ(out.span_why[s], marks.why[mk->second]);
        if (marks.why[mk->second] == 0) {
          EXPECT_EQ(out.span_kept_document[s], marks.kept_document[mk->second]);
          EXPECT_EQ(out.span_kept_start[s], marks.kept_start[mk->second]);
        }
      }
      EXPECT_EQ(end, to);
    }
  }
  EXPECT_EQ(s, out.span_start.size());
}

std::string describe(const std::vector<std::string>& docs, const std::vector<std::string>& refs,
                     const dd::Params& p) {
  std::string s = "min_words=" + std::to_string(p.min_words) +
                  " ignore_case=" + std::to_string(p.ignore_case) +
                  " collapse=" + std::to_string(p.collapse_whitespace) +
                  " drop_below=" + std::to_string(p.drop_below) + "\ndocs:";
  for (const auto& d : docs) s += "\n  [" + d + "]";
  s += "\nreference:";
  for (const auto& r : refs) s += "\n  [" + r + "]";
  return s;
}

const Vocabulary kWords{{"a", "A", "ab", "b", "\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac", "a1"},
                        {" ", "  ", ", ", ".\n", "\t", " \xc2\xa0"}};

class DedupRandom : public ::testing::TestWithParam<std::tuple<unsigned, int, int>> {};

// The exact engine, the fingerprint engine and the rule agree on every corpus; the cut follows
// the rule from the marks.
TEST_P(DedupRandom, EnginesAgreeWithTheRule) {
  const auto [seed, max_docs, max_words] = GetParam();
  std::mt19937 rng(seed);
  for (int n = 0; n < 300; ++n) {
    const auto docs = valid_utf8(random_corpus(rng, kWords, max_docs, max_words));
    const auto refs = rng() % 3 == 0 ? valid_utf8(random_corpus(rng, kWords, 2, max_words))
                                     : std::vector<std::string>{};
    dd::Params p;
    p.min_words = 1 + rng() % 5;
    p.ignore_case = rng() % 3 == 0;
    p.collapse_whitespace = rng() % 3 == 0;
    p.drop_below = rng() % 4 == 0 ? rng() % 6 : 0;
    SCOPED_TRACE(describe(docs, refs, p));
    const Marks expected = oracle_marks(docs, refs, p);
    const std::vector<std::string_view> dv(docs.begin(), docs.end()), rv(refs.begin(), refs.end());
    const dd::Cleaned from_rule = dd::cut(dv, expected.view(), p, 0);
    check_cut(docs, expected, p, from_rule);
    expect_same(dd::clean(dv, rv, p), from_rule);
    // The suffix array alone, and hashes of 3 bits: different windows share them, so the check
    // fails and the suffix array takes over (or, with few windows, every pair is checked).
    for (const dd::detail::Engine engine :
         {dd::detail::Engine{true, 61, 2}, dd::detail::Engine{false, 3, 1},
          dd::detail::Engine{false, 61, 2}}) {
      expect_same(dd::detail::clean(dv, rv, p, engine), from_rule);
    }
    expect_same(dd::cut(dv, fingerprint_marks(docs, refs, p).view(), p, 0), from_rule);
    expect_same(dd::cut(dv, expected.shuffled(rng).view(), p, 0), from_rule);
    if (HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Corpora, DedupRandom,
                         ::testing::Values(std::tuple{1u, 6, 12}, std::tuple{2u, 3, 40},
                                           std::tuple{3u, 8, 80}));

// Shapes with a window at every place: one word repeated, a document pasted many times. The
// first copy stays; the result does not grow with the square of the repeats.
TEST(Dedup, RepeatsOfAnyLengthKeepTheFirstCopy) {
  std::string word_run;
  for (int i = 0; i < 200000; ++i) word_run += "spam ";
  std::string pasted;
  const std::string page = "one two three four five six seven eight nine ten\n";
  for (int i = 0; i < 1000; ++i) pasted += page;
  const std::vector<std::string_view> docs{word_run, pasted};
  dd::Params p;
  p.min_words = 5;
  const dd::Cleaned out = dd::clean(docs, {}, p);
  EXPECT_EQ(out.text(0), "spam");
  EXPECT_EQ(out.text(1), page.substr(0, page.size() - 1));
  EXPECT_EQ(out.removed_words[0], 199999u);
  // One span for each window of the run (each names word 0), one for each later page.
  EXPECT_EQ(out.span_document.size(), (200000u - 5u) + 999u);
}

TEST(Dedup, MarksTwiceOrPastTheWindowsAreRefused) {
  const std::vector<std::string_view> docs{"a b c", "d e f"};
  dd::Params p;
  p.min_words = 2;
  using Places = std::vector<std::pair<std::uint64_t, std::uint64_t>>;  // (document, word)
  for (const Places& places : {Places{{0, 1}, {0, 1}}, Places{{1, 2}}, Places{{2, 0}}}) {
    Marks marks;
    for (const auto& [d, w] : places)
      marks.add(d, w, dd::Why::kReference, dd::kNoCopy, 0, dd::kNoCopy);
    EXPECT_THROW((void)dd::cut(docs, marks.view(), p, 0), quarnel::core::UsageError);
  }
  p.min_words = 0;
  EXPECT_THROW((void)dd::clean(docs, {}, p), quarnel::core::UsageError);
}

// Each fingerprint's places against a plain scan of all records: with a reference place every
// corpus place is marked with no copy, else all but the first corpus place in (document, word)
// order, each naming that first place. Few fingerprints, so that groups are large and mixed.
TEST(Dedup, DecideKeepsTheFirstPlaceOfEachFingerprint) {
  std::mt19937_64 rng(3);
  for (const std::size_t n : {0, 1, 7, 300}) {
    std::vector<std::uint64_t> high(n), low(n), document(n);
    std::vector<std::uint32_t> word(n);
    std::vector<std::uint8_t> reference(n);
    std::set<std::tuple<std::uint64_t, std::uint32_t, bool>> used;
    for (std::size_t r = 0; r < n; ++r) {
      do {
        high[r] = rng() % 5;
        low[r] = rng() % 2;  // equal highs with different lows are different fingerprints
        document[r] = rng() % 20;
        word[r] = static_cast<std::uint32_t>(rng() % 20);
        reference[r] = rng() % 6 == 0 ? 1 : 0;
      } while (!used.insert({document[r], word[r], reference[r] != 0}).second);
    }
    const dd::Decided got = dd::decide(high, low, document, word, reference);
    std::map<std::uint64_t, std::uint64_t> want;  // marked record -> deciding record
    for (std::size_t r = 0; r < n; ++r) {
      if (reference[r] != 0) continue;
      bool in_reference = false;
      std::size_t first = r;
      for (std::size_t q = 0; q < n; ++q) {
        if (high[q] != high[r] || low[q] != low[r]) continue;
        in_reference = in_reference || reference[q] != 0;
        if (reference[q] == 0 &&
            std::tie(document[q], word[q]) < std::tie(document[first], word[first])) {
          first = q;
        }
      }
      if (in_reference || first != r) want[r] = in_reference ? dd::kNoCopy : first;
    }
    ASSERT_EQ(got.marked.size(), got.kept.size());
    std::map<std::uint64_t, std::uint64_t> seen;
    for (std::size_t m = 0; m < got.marked.size(); ++m) seen[got.marked[m]] = got.kept[m];
    EXPECT_EQ(seen.size(), got.marked.size()) << "a record marked twice";
    EXPECT_EQ(seen, want) << n;
  }
}

// Against counts per slot: a slot is seen when one fingerprint takes it, repeated when two do.
TEST(Dedup, SketchSetsTheSlotsOneAndTwoFingerprintsTake) {
  std::mt19937_64 rng(5);
  for (const unsigned bits : {3U, 6U, 10U, 20U}) {
    std::vector<std::uint64_t> high(rng() % 300);
    for (auto& h : high) h = rng() >> 3;
    // the slots in two parts, as two partitions send them
    const std::vector<std::uint32_t> low(high.begin(), high.end());
    const std::size_t half = low.size() / 2;
    const std::vector<std::span<const std::uint32_t>> parts{std::span(low).first(half),
                                                            std::span(low).subspan(half)};
    const auto slot_of = [&](std::uint64_t h) { return h & ((std::uint64_t{1} << bits) - 1); };
    std::map<std::uint64_t, int> count;
    for (const auto h : high) ++count[slot_of(h)];
    const dd::Sketch sketch = dd::sketch(parts, bits);
    const std::size_t bytes = (std::size_t{1} << bits) / 8;  // no other slot set
    dd::Sketch want{std::vector<std::uint8_t>(bytes), std::vector<std::uint8_t>(bytes)};
    for (const auto& [slot, n] : count) {
      want.seen[slot / 8] |= static_cast<std::uint8_t>(1U << (slot % 8));
      want.repeated[slot / 8] |= static_cast<std::uint8_t>((n >= 2 ? 1U : 0U) << (slot % 8));
    }
    EXPECT_EQ(std::tie(sketch.seen, sketch.repeated), std::tie(want.seen, want.repeated)) << bits;
    const auto marked = dd::in_slots(high, sketch.repeated, bits);
    for (std::size_t r = 0; r < high.size(); ++r) {
      EXPECT_EQ(marked[r], count[slot_of(high[r])] >= 2 ? 1 : 0) << r;
    }
    EXPECT_THROW((void)dd::in_slots(high, sketch.repeated, bits + 1), quarnel::core::UsageError);
  }
  EXPECT_THROW((void)dd::sketch({}, 2), quarnel::core::UsageError);
  EXPECT_THROW((void)dd::sketch({}, 33), quarnel::core::UsageError);
}

TEST(Dedup, StopsWhenInterrupted) {
  const quarnel::test::StopRequested stop;
  const std::vector<std::string_view> docs{"a b c", "a b c"};
  EXPECT_THROW((void)dd::clean(docs, {}, dd::Params{}), quarnel::core::interrupt::Interrupted);
  EXPECT_THROW((void)dd::window_fingerprints(docs, dd::Params{}),
               quarnel::core::interrupt::Interrupted);
}

}  // namespace
