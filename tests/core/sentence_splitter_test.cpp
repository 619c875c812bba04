#include "text/sentence_splitter.hpp"

#include "test_support.hpp"
#include "text/sentence_walk.hpp"

namespace ss = quarnel::core::sentence_splitter;

namespace {

// Cases are written with '|' where an inner boundary is expected; line feeds always are one.
void expect_boundaries(std::string_view marked) {
  std::string text;
  std::vector<std::uint64_t> offsets;
  for (char c : marked) {
    if (c == '|' || c == '\n') offsets.push_back(text.size());
    if (c != '|') text.push_back(c);
  }
  EXPECT_EQ(ss::sentence_boundary_offsets(text), offsets) << "text: " << text;
}

class Boundaries : public ::testing::TestWithParam<const char*> {};
TEST_P(Boundaries, AtMarkedPlaces) {
  expect_boundaries(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Boundaries,
    ::testing::Values(
        // documented examples
        "", "Hello world", "Hello world.| This is a test.", "Dr. Smith went home.| He slept.",
        "I met the Dr.| The next day he left.", "It was 5 p.m.| The store closed.",
        "Etc.| More text.", "He works at Acme Inc.| The company grew.",
        "He works at Acme Inc. and more.", "It cost 3.50 dollars.| Then it rose.",
        "Chapter 2. the end", "Ver 2. 5 items.", "See www.example.xyz. Then more. Still the same",
        "Mail bob@example.org. Then later", "Open report.pdf now.| Then close it.",
        "The U.S. Army is big.| Yes.", "J.R.R. Tolkien wrote.| Yes.",
        "Wait...| What happened?| Nothing!", "Wait... and then.",
        "He said \u201CStop.\u201D| Then he left.", "He said \u201Cstop.\u201D then left.",
        "Don't go? Yes.", "Really?!| Yes.", "Wait\u2026| what now", "one.|  two", "one. two",
        "Line one\nLine two.| Still two\n\nLine four", "x.\n",
        "\u6211\u5F88\u597D\u3002|\u4F60\u5462\uFF1F|\u597D\uFF01",
        // initial inside a dotted abbreviation, ASCII or not
        "It was the end.A. then", "It was the end.\u00C4. then", "It was the end.|Ab. then",
        // numbers
        "Pay 5.| Then go", "Pay 5.  6 more",
        // e-mail, URL (also after lower-casing; a split resets the buffer)
        "Mail bob.example.org.| Then later", "Visit HTTPS://x.y. Now!| Then go.| Again",
        // domain: plain substring test on the fully lower-cased word
        "Go to site.com.Au now.", "Go to site.xyz.|Au now.", "Go to a.community.Org now.",
        "Go to a.xommunity.|Org now.", "Go x.A\u0130.Yes now",
        // file names: the extension must end at whitespace, after an alphanumeric character
        "Open report.PDF now.", "Open report.|PDQ now.", "Open report.|PDF, now",
        "Open (xy).|PDF now",
        // abbreviations, dotted abbreviations, initials
        "Acme Inc.|  and more.", "Acme Inc. Xylophone rang.", "by J.K. Rowling", "by J.K.| The end",
        "Meet at 5 P.M. then leave", "See e.g.| Then more", "the U.S.-based firm",
        "Acme Inc.| TA\u212AE it.",
        // next-word test after closers and openers
        "He said \"go.\"| Then left", "It ended.| \"Then we left.\"", "It ended. \"then we left.\"",
        "He said \"no.\"| 4 men left.", "He said \"go.\" then left", "He said \"go.\"|  then left",
        // quote balance
        "\"Why? he asked.\"", "He asked \u2018why? then left", "It's John's?| Yes",
        "Go!| Don't stop? Now", "Don't? go.| Stop?| Yes", "He asked \"why?\" and left",
        "He asked \"why?\"| And left",
        // ellipses
        "Wait....|  What", "Wait..| What", "He said... \"Go\"", "Wait\u2026\u201D what",
        "Wait\u2026\u201D| What", "Wait...   what",
        // other scripts
        "\u300C\u597D\u3002\u300D\u4ED6\u8BF4", "3\uFF0E|5",
        // line structure and whitespace
        "One.\r\nTwo.| Three\r\n", "\n\n \t\r\n\u3000\n", "One.| Two.   ", "   One.| Two",
        "One.|\u3000Two", "one.\u00A0two", "one.|\u2003\u2003two", "one.\vtwo"));

const std::vector<std::string> kOtherTerminators{"\u0964", "\u0965", "\u061F", "\u06D4", "\u104A",
                                                 "\u104B", "\u1362", "\u1367", "\u1368", "\u2026",
                                                 "\u3002", "\uFF01", "\uFF0E", "\uFF1F"};
const std::string kClosers[] = {".", "!", "?",      "\"",     "'",      ")",
                                "]", "}", "\u2019", "\u201D", "\u300D", "\u300F"};

template <class List>
bool contains(const List& list, std::string_view w) {
  return std::find(list.begin(), list.end(), w) != list.end();
}

// Each entry of every word table the period rules consult. The other terminators end sentences
// whatever follows. An abbreviation's (or a single letter's) period holds before a capitalised
// word that neither starts sentences nor is a common word, and the same word with a letter
// appended does not; a capitalised common word confirms the end unless the abbreviation is a
// title. Sentence starters confirm case-sensitively, capitalised common words when longer than
// two bytes; file extensions, domains and dotted prefixes hold.
TEST(WordTables, EveryEntryActsAsItsTableSays) {
  for (const std::string& t : kOtherTerminators) {
    expect_boundaries("ab" + t + "|cd");
    expect_boundaries("ab" + t + "| cd");
  }
  std::vector<std::string> abbreviations(ss::kAbbreviationWords.begin(),
                                         ss::kAbbreviationWords.end());
  for (char c = 'A'; c <= 'Z'; ++c) {
    abbreviations.insert(abbreviations.end(), {{c}, {static_cast<char>(c | 0x20)}});
  }
  for (auto title : ss::kTitleAbbreviations) EXPECT_TRUE(contains(ss::kAbbreviationWords, title));
  for (const std::string& w : abbreviations) {
    expect_boundaries("Met " + w + ". Xylophone rang.");
    expect_boundaries("Met " + w + "q.| Xylophone rang.");
    const bool title = contains(ss::kTitleAbbreviations, w);
    expect_boundaries("Met " + w + (title ? "." : ".|") + " Then we left.");
  }
  for (std::string_view s : ss::kSentenceStarters) {
    expect_boundaries("Acme Inc.| " + std::string(s) + " more.");
    std::string lower(s);
    lower[0] = static_cast<char>(lower[0] | 0x20);
    expect_boundaries("Acme Inc. " + lower + " more.");
  }
  for (std::string_view c : ss::kCommonWords) {
    std::string cap(c);
    cap[0] = static_cast<char>(cap[0] - 'a' + 'A');
    EXPECT_TRUE(ss::is_common_word(c));
    EXPECT_FALSE(ss::is_common_word(cap));
    const bool splits = contains(ss::kSentenceStarters, cap) || c.size() > 2;
    expect_boundaries("Acme Inc." + std::string(splits ? "|" : "") + " " + cap + " more.");
  }
  for (std::string_view ext : ss::kFileExtensions) {
    std::string upper(ext);
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    expect_boundaries("Open report." + upper + " now.");
    expect_boundaries("Open report.|" + upper + "Q now.");
  }
  for (std::string_view sfx : ss::kDomainSuffixes) {
    expect_boundaries("Go to site." + std::string(sfx) + ".Au now.");
  }
  for (std::string_view prefix : ss::kDottedPrefixes) {
    const std::string word =
        prefix.ends_with('.') ? std::string(prefix) : std::string(prefix) + ".";
    expect_boundaries("Go " + word + " Xylophone.");
    expect_boundaries("Go " + word + "| Then.");
  }
  // A title is read from the last word's letters.
  for (const auto* title : {"Dr.", "see Dr.", "(Dr.)", "Dr.\t ", "M1r"}) {
    EXPECT_TRUE(ss::is_title_abbreviation(title)) << title;
  }
  for (const auto* other : {"", " \u3000", "dr.", "Drs.", "Dr. Smith"}) {
    EXPECT_FALSE(ss::is_title_abbreviation(other)) << other;
  }
}

// Texts of few distinct pieces, so that rare combinations recur, drawn from every character class
// and word table the period rules look at, ill-formed UTF-8 included.
std::string random_punctuated(std::mt19937& rng, std::size_t pieces_in_text) {
  static const std::vector<std::string> pieces = {
      "a",      "A",      "Z",      "Dr",     "Inc",    "etc",     "approx",    "U.S",    "e.g",
      "et.al",  "v",      "The",    "the",    "please", "Should",  "T\u212AKE", "com",    "CO",
      "io",     "ai",     "pdf",    "DOCX",   "www",    "http://", "WWW",       "h",      "@",
      "1",      "0",      ".",      ".",      ".",      "..",      "...",       "!",      "?",
      "\u2026", "\uFF0E", "\"",     "'",      "(",      ")",       "\u201C",    "\u201D", "\u2019",
      "\u00E9", "\u00C9", "\u0130", "\u03A3", "\u2126", "\u0661",  "\u2163",    " ",      " ",
      "  ",     "\t",     "\u00A0", "\u3000", "\n",     "-",       "/",         "\xFF",   "\xC3",
      "\r",     "\u3002", "\u00C4", "A.",     "3.50",   "x"};
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::vector<std::size_t> palette(2 + rng() % 10);
  for (auto& p : palette) p = pick(rng);
  std::string s;
  for (std::size_t k = 0; k < pieces_in_text; ++k) {
    s += pieces[rng() % 4 == 0 ? pick(rng) : palette[rng() % palette.size()]];
  }
  return s;
}

bool is_closer_or_terminator_end(const std::string& text, std::uint64_t at) {
  const auto ends_with = [&](const std::string& e) {
    return at >= e.size() && text.compare(at - e.size(), e.size(), e) == 0;
  };
  return std::any_of(kOtherTerminators.begin(), kOtherTerminators.end(), ends_with) ||
         std::any_of(std::begin(kClosers), std::end(kClosers), ends_with);
}

TEST(SentenceBoundaryOffsets, PropertiesOnRandomTexts) {
  std::mt19937 rng(11);
  for (int round = 0; round < 3000; ++round) {
    const std::string text = random_punctuated(rng, 1 + round % 40);
    const std::vector<std::uint64_t> got = ss::sentence_boundary_offsets(text);
    ASSERT_TRUE(std::adjacent_find(got.begin(), got.end(), std::greater_equal<>()) == got.end());

    std::vector<std::uint64_t> expected_lines;  // line independence: splice per-line results
    std::uint64_t start = 0;
    for (std::uint64_t k = 0; k <= text.size(); ++k) {
      if (k < text.size() && text[k] != '\n') continue;
      for (std::uint64_t off : ss::sentence_boundary_offsets(text.substr(start, k - start))) {
        expected_lines.push_back(start + off);
      }
      if (k < text.size()) expected_lines.push_back(k);
      start = k + 1;
    }
    ASSERT_EQ(got, expected_lines) << text;

    for (std::uint64_t off : got) {
      ASSERT_LT(off, text.size());
      if (text[off] == '\n') continue;
      EXPECT_NE(static_cast<unsigned char>(text[off]) & 0xC0, 0x80) << text << " @" << off;
      EXPECT_TRUE(is_closer_or_terminator_end(text, off)) << text << " @" << off;
    }
    // Bytes that are not UTF-8 mixed in: the offsets stay inside, line feeds still end lines.
    std::string bad = random_punctuated(rng, 6);
    for (int k = 0; k < 6; ++k) bad.push_back(static_cast<char>(rng() % 256));
    std::shuffle(bad.begin(), bad.end(), rng);
    const auto offsets = ss::sentence_boundary_offsets(bad);
    ASSERT_TRUE(
        std::all_of(offsets.begin(), offsets.end(), [&](auto o) { return o < bad.size(); }));
    EXPECT_GE(offsets.size(), static_cast<std::size_t>(std::count(bad.begin(), bad.end(), '\n')));
  }
}

// The reference for the walk's carried lookups: every rule looks at its word and token afresh at
// each period, quadratic in the length of a token.
struct FreshLookups {
  static void start_word(std::span<const char32_t> c, std::size_t buf_begin, std::size_t end,
                         ss::detail::WordFacts& word) {
    word.reset(ss::detail::last_word(c, buf_begin, end).begin);
  }
  static bool keeps(const ss::detail::Token&, std::size_t) { return false; }
};

// The walk keeps what the rules ask about the current word as it goes; looking at the word
// afresh at every period must give the same boundaries, on random texts and on long tokens.
TEST(SentenceBoundaryOffsets, WordBookkeepingAgreesWithRescanning) {
  const auto rescanning_boundaries = ss::detail::boundary_offsets<FreshLookups>;
  std::mt19937 rng(23);
  for (int round = 0; round < 20000; ++round) {
    const std::string text = random_punctuated(rng, 1 + rng() % (round % 10 == 0 ? 300 : 40));
    ASSERT_EQ(ss::sentence_boundary_offsets(text), rescanning_boundaries(text)) << text;
  }
  for (const char* unit : {"a.", "\u00E9.", "A.", "a.b", "x.com.", "Dr.", "U.S.", "1.", "a@b.",
                           "www.", "J.R.", ".com", ".A", "a.\u0130", "a!.", "a.\"", ". "}) {
    std::string token;
    for (int k = 0; k < 400; ++k) token += unit;
    for (const std::string& text : {token, "Go " + token + " Then.", token + " the " + token}) {
      EXPECT_EQ(ss::sentence_boundary_offsets(text), rescanning_boundaries(text))
          << text.substr(0, 40);
    }
  }
}

}  // namespace
