// Throughput of text preparation: normalize_text (both flags, each alone) and
// sentence_boundary_offsets on about 8 MB of English prose. The prose is generated
// deterministically unless a file path is given as the first argument.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "text/normalize.hpp"
#include "text/sentence_splitter.hpp"

namespace {

constexpr std::size_t kTargetBytes = 8u << 20;
constexpr int kRuns = 7;

// Raw generator output reduced with '%' keeps the text identical across standard libraries.
class Prose {
 public:
  std::string generate(std::size_t bytes) {
    std::string out;
    out.reserve(bytes + 1024);
    while (out.size() < bytes) {
      paragraph(out);
      out += pick(4) == 0 ? "\n\n\n" : "\n\n";
    }
    return out;
  }

 private:
  std::size_t pick(std::size_t n) { return rng_() % n; }

  template <std::size_t N>
  const char* any(const char* const (&list)[N]) {
    return list[pick(N)];
  }

  void paragraph(std::string& out) {
    const std::size_t sentences = 3 + pick(6);
    for (std::size_t s = 0; s < sentences; ++s) {
      if (s > 0) out += pick(12) == 0 ? "  " : " ";
      sentence(out);
    }
  }

  void sentence(std::string& out) {
    static const char* const kOpeners[] = {
        "The",  "A",     "In",   "When",      "After", "Although", "Many",       "Our", "Some",
        "This", "Every", "Most", "Yesterday", "Later", "However,", "Meanwhile,", "Then"};
    static const char* const kEndings[] = {".", ".", ".", ".", ".", ".", "?", "!", "...", "?!"};
    const bool quoted = pick(10) == 0;
    if (quoted) out += pick(2) ? "\xE2\x80\x9C" : "\"";
    out += any(kOpeners);
    const std::size_t words = 5 + pick(16);
    for (std::size_t w = 0; w < words; ++w) {
      out += ' ';
      word(out);
      if (w + 1 < words && pick(9) == 0) out += ',';
    }
    out += any(kEndings);
    if (quoted) out += out.ends_with('"') ? "\"" : "\xE2\x80\x9D";
  }

  void word(std::string& out) {
    static const char* const kWords[] = {
        "time",       "people", "year",    "way",       "day",     "man",      "thing",
        "woman",      "life",   "child",   "world",     "school",  "state",    "family",
        "student",    "group",  "country", "problem",   "hand",    "part",     "place",
        "case",       "week",   "company", "system",    "program", "question", "work",
        "government", "number", "night",   "point",     "home",    "water",    "room",
        "mother",     "area",   "money",   "story",     "fact",    "month",    "lot",
        "right",      "study",  "book",    "eye",       "job",     "word",     "business",
        "said",       "went",   "found",   "thought",   "came",    "gave",     "told",
        "became",     "left",   "felt",    "brought",   "began",   "kept",     "held",
        "and",        "but",    "or",      "because",   "while",   "with",     "from",
        "into",       "over",   "after",   "before",    "under",   "between",  "through",
        "quickly",    "slowly", "often",   "never",     "always",  "rather",   "quite",
        "the",        "a",      "an",      "this",      "that",    "their",    "its",
        "old",        "new",    "good",    "small",     "large",   "long",     "great",
        "little",     "own",    "other",   "important", "early",   "young",    "public"};
    static const char* const kNames[] = {"Smith", "Jones", "Brown", "Taylor", "Wilson", "Evans"};
    static const char* const kTitles[] = {"Dr.", "Mr.", "Mrs.", "Prof.", "St."};
    static const char* const kSpecial[] = {"U.S.",
                                           "e.g.",
                                           "i.e.",
                                           "etc.",
                                           "Inc.",
                                           "a.m.",
                                           "p.m.",
                                           "J.R.R.",
                                           "report.pdf",
                                           "www.example.com",
                                           "info@example.org",
                                           "vs.",
                                           "approx.",
                                           "Jan.",
                                           "No."};
    switch (pick(40)) {
      case 0:
      case 1:
        out += any(kTitles);
        out += ' ';
        out += any(kNames);
        return;
      case 2:
        out += any(kSpecial);
        return;
      case 3:
        out += std::to_string(pick(1000));
        return;
      case 4:
        out += std::to_string(pick(100));
        out += '.';
        out += std::to_string(10 + pick(90));
        return;
      case 5:
        out += any(kNames);
        return;
      default:
        out += any(kWords);
    }
  }

  std::mt19937_64 rng_{20240611};
};

std::string load(int argc, char** argv) {
  if (argc < 2) return Prose().generate(kTargetBytes);
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    std::exit(1);
  }
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Best of several runs; `sink` keeps the optimiser from discarding the work.
double best_mb_per_s(const std::string& text, const std::function<std::size_t()>& work) {
  double best = 0;
  std::size_t sink = 0;
  for (int run = 0; run < kRuns; ++run) {
    const auto t0 = std::chrono::steady_clock::now();
    sink += work();
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    best = std::max(best, static_cast<double>(text.size()) / 1e6 / dt.count());
  }
  if (sink == 0 && !text.empty()) std::fprintf(stderr, "unexpected empty result\n");
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  namespace nz = quarnel::core::normalize;
  namespace ss = quarnel::core::sentence_splitter;
  const std::string text = load(argc, argv);
  std::printf("input: %.2f MB\n", static_cast<double>(text.size()) / 1e6);

  struct Case {
    const char* name;
    std::function<std::size_t()> work;
  };
  const Case cases[] = {
      {"normalize_text lower+collapse",
       [&] { return nz::normalize_text(text, true, true).text.size() + 1; }},
      {"normalize_text lower only",
       [&] { return nz::normalize_text(text, true, false).text.size() + 1; }},
      {"normalize_text collapse only",
       [&] { return nz::normalize_text(text, false, true).text.size() + 1; }},
      {"sentence_boundary_offsets", [&] { return ss::sentence_boundary_offsets(text).size() + 1; }},
  };
  for (const Case& c : cases) {
    std::printf("%-32s %9.1f MB/s\n", c.name, best_mb_per_s(text, c.work));
  }
  std::printf("sentence boundaries: %zu\n", ss::sentence_boundary_offsets(text).size());
  return 0;
}
