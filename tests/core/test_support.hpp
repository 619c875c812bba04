#pragma once
// What the core tests share: the test framework and the standard headers most of them use,
// brute-force references, generators and record builders.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/parallel.hpp"
#include "duplicate_finder/documents.hpp"
#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"
#include "text/utf.hpp"

namespace quarnel::test {

inline std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Documents joined by the separator the finder puts between them, with where each lies.
struct Joined {
  std::string text;
  std::vector<std::uint64_t> starts, ends;
  [[nodiscard]] core::duplicate_finder::DocumentLayout layout() const { return {starts, ends}; }
};

inline Joined join_documents(const std::vector<std::string>& docs) {
  Joined j;
  for (const auto& doc : docs) {
    if (!j.starts.empty()) j.text += core::duplicate_finder::kDocumentSeparator;
    j.starts.push_back(j.text.size());
    j.text += doc;
    j.ends.push_back(j.text.size());
  }
  return j;
}

// List k of a flattened result: positions[offsets[k], offsets[k + 1]).
template <class Flat>
std::vector<std::uint64_t> list_of(const Flat& f, std::size_t k) {
  return {f.positions.begin() + f.offsets[k], f.positions.begin() + f.offsets[k + 1]};
}

// A path in the temporary directory that no other process running the tests uses.
inline std::string temp_path(const std::string& name) {
  return (std::filesystem::temp_directory_path() / (std::to_string(::getpid()) + name)).string();
}

template <class Bytes>
void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// A stop already requested: the first checkpoint on this thread throws.
struct StopRequested {
  core::interrupt::Shared shared{true};
  core::interrupt::Adopt adopt{&shared};
};

// Suffix start positions in lexicographic order (a proper prefix sorts first).
template <class T>
std::vector<std::uint64_t> sorted_suffixes(const std::vector<T>& s) {
  std::vector<std::uint64_t> idx(s.size());
  std::iota(idx.begin(), idx.end(), 0);
  std::sort(idx.begin(), idx.end(), [&](std::uint64_t a, std::uint64_t b) {
    return std::lexicographical_compare(s.begin() + a, s.end(), s.begin() + b, s.end());
  });
  return idx;
}

// The ranks, among `suffixes` in order, of the suffixes whose first |p| symbols sort below p, up
// to those of the suffixes that begin with it; (0, 0) for an empty pattern or one longer than the
// text.
template <class Interval, class T, class P>
Interval brute_interval(const std::vector<T>& text, const std::vector<std::uint64_t>& suffixes,
                        const std::vector<P>& p) {
  Interval out{0, 0};
  if (p.empty() || p.size() > text.size()) return out;
  for (const auto s : suffixes) {
    const auto key = text.begin() + static_cast<std::ptrdiff_t>(s);
    const auto key_end = key + static_cast<std::ptrdiff_t>(std::min(text.size() - s, p.size()));
    out.lo += std::lexicographical_compare(key, key_end, p.begin(), p.end()) ? 1 : 0;
    out.hi += std::lexicographical_compare(p.begin(), p.end(), key, key_end) ? 0 : 1;
  }
  return out;
}

// `n` symbols drawn from the `alphabet` values first, first + stride, first + 2 * stride, ...
template <class T = std::uint8_t>
std::vector<T> random_symbols(std::mt19937_64& rng, std::size_t n, std::uint64_t alphabet,
                              std::uint64_t first = 0, std::uint64_t stride = 1) {
  std::vector<T> out(n);
  for (auto& c : out) c = static_cast<T>(first + rng() % alphabet * stride);
  return out;
}

// `n` bytes drawn from `alphabet`.
inline std::vector<std::uint8_t> random_bytes(std::mt19937_64& rng, std::size_t n,
                                              std::string_view alphabet) {
  std::vector<std::uint8_t> out(n);
  for (auto& c : out) c = static_cast<std::uint8_t>(alphabet[rng() % alphabet.size()]);
  return out;
}

// `block` repeated up to length `n`.
template <class Seq>
Seq cycled(const Seq& block, std::size_t n) {
  Seq out(n, {});
  for (std::size_t i = 0; i < n; ++i) out[i] = block[i % block.size()];
  return out;
}

// Every place of `p` in `t`, overlapping ones included; every place for an empty `p`.
template <class T, class P>
std::vector<std::uint64_t> occurrences(const T& t, const P& p) {
  std::vector<std::uint64_t> out;
  for (std::size_t i = 0; i + p.size() <= t.size(); ++i) {
    if (i < t.size() && std::equal(p.begin(), p.end(), t.begin() + i)) out.push_back(i);
  }
  return out;
}

// Documents (and the parameters they were run with) for a failure message.
inline std::string describe(std::string head, const std::vector<std::string>& docs) {
  for (const auto& d : docs) head += "\n  [" + d + "]";
  return head;
}

// The first `n` letters of the Fibonacci word over 'a' and 'b': aperiodic, yet full of repeats.
inline std::vector<std::uint8_t> fibonacci_bytes(std::size_t n) {
  std::string a = "a", b = "ab";
  while (b.size() < n) a = std::exchange(b, b + a);
  return {b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(n, b.size()))};
}

// Unicode White_Space, as listed in PropList.txt.
constexpr bool listed_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// A text prepared as the engines prepare it, byte by byte: the bytes not `gone`, ASCII capitals
// lowered when asked, and when collapsing each run of the five collapsible bytes one space at
// its first byte, none at either end. With the source byte of each byte kept.
struct Prepared {
  std::string text;
  std::vector<std::uint64_t> origin;
};

inline Prepared prepare(std::string_view s, bool lower, bool collapse,
                        const std::vector<bool>& gone = {}) {
  Prepared out;
  bool in_run = true;  // a run at the start is dropped whole
  for (std::uint64_t b = 0; b < s.size(); ++b) {
    if (!gone.empty() && gone[b]) continue;
    const char c = s[b];
    const bool space = collapse && (c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ');
    if (space && in_run) continue;
    in_run = space;
    out.text += space ? ' ' : lower && c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c;
    out.origin.push_back(b);
  }
  if (collapse && !out.text.empty() && out.text.back() == ' ') {
    out.text.pop_back();
    out.origin.pop_back();
  }
  return out;
}

// A candidate record as the candidate stage makes it: ends are starts plus the phrase length.
inline core::phrase_records::PhraseData phrase_record(std::string phrase,
                                                      std::vector<std::uint64_t> starts,
                                                      std::uint64_t words) {
  core::phrase_records::PhraseData r;
  r.phrase = std::move(phrase);
  r.starts = std::move(starts);
  for (auto s : r.starts) r.ends.push_back(s + r.phrase.size());
  r.count = r.starts.size();
  r.string_length = r.phrase.size();
  r.number_of_words = words;
  return r;
}

// What random documents are made of.
struct Vocabulary {
  std::vector<std::string> words;
  std::vector<std::string> gaps;
};

// A document of random words and gaps, sometimes empty, wordless, or holding a copy of a run of
// an earlier document (so that long repeats are common).
inline std::string random_document(std::mt19937& rng, const Vocabulary& v,
                                   const std::vector<std::string>& earlier, int max_words) {
  const auto pick = [&](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
  const auto kind = rng() % 8;
  if (kind < 2) return kind == 0 ? "" : pick(v.gaps);
  std::string doc = rng() % 3 == 0 ? pick(v.gaps) : "";
  const int words = 1 + static_cast<int>(rng() % max_words);
  for (int w = 0; w < words; ++w) {
    if (w > 0) doc += pick(v.gaps);
    if (!earlier.empty() && rng() % 6 == 0) {
      const std::string& src = earlier[rng() % earlier.size()];
      const std::size_t a = rng() % (src.size() + 1), b = rng() % (src.size() + 1);
      doc += src.substr(std::min(a, b), std::max(a, b) - std::min(a, b));
    }
    doc += pick(v.words);
  }
  if (rng() % 3 == 0) doc += pick(v.gaps);
  return doc;
}

inline std::vector<std::string> random_corpus(std::mt19937& rng, const Vocabulary& all,
                                              int max_docs, int max_words) {
  Vocabulary v{{}, {}};
  const std::size_t nw = 2 + rng() % 3;
  while (v.words.size() < nw) v.words.push_back(all.words[rng() % all.words.size()]);
  const std::size_t ng = 1 + rng() % all.gaps.size();
  while (v.gaps.size() < ng) v.gaps.push_back(all.gaps[rng() % all.gaps.size()]);
  std::vector<std::string> docs(1 + rng() % max_docs);
  for (std::size_t d = 0; d < docs.size(); ++d) {
    const std::vector<std::string> earlier(docs.begin(), docs.begin() + d);
    docs[d] = random_document(rng, v, earlier, max_words);
  }
  return docs;
}

// The corpora with every ill-formed sequence a copied run may cut replaced, for the engines that
// take valid UTF-8, as every str is.
inline std::vector<std::string> valid_utf8(std::vector<std::string> docs) {
  for (auto& doc : docs) {
    std::string fixed;
    for (std::size_t i = 0; i < doc.size();) {
      core::utf::append_utf8(fixed, core::utf::decode_utf8(doc, i));
    }
    doc = std::move(fixed);
  }
  return docs;
}

inline const Vocabulary kAll{{"a", "ab", "b", "\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac", "a1"},
                             {" ", ", ", ".\n", "  "}};

}  // namespace quarnel::test

// The names most tests use.
namespace quarnel::core::suffix_array {}
namespace df = quarnel::core::duplicate_finder;
namespace parallel = quarnel::core::parallel;
namespace sa = quarnel::core::suffix_array;
using quarnel::core::duplicate_finder::FinderParams;
using quarnel::core::parallel::Lanes;
using quarnel::core::phrase_records::PhraseData;
using Bytes = std::vector<std::uint8_t>;
using Offsets = std::vector<std::uint64_t>;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
