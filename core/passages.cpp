#include "passages.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/large_array.hpp"
#include "base/prefetch.hpp"
#include "base/string_interner.hpp"
#include "suffix_array/sais_impl.hpp"
#include "text/tokenizer.hpp"
#include "text/utf.hpp"

namespace quarnel::core::passages {
namespace {

using string_interner::StringInterner;

constexpr std::uint32_t kUnset = std::numeric_limits<std::uint32_t>::max();
// Byte offsets are kept for every 2^kSampleShift-th position only; the rest are summed from the
// lengths of the tokens in between.
constexpr unsigned kSampleShift = 6;

bool word_byte(std::string_view text, std::size_t i) {
  return tokenizer::is_word_byte(static_cast<unsigned char>(text[i]));
}

// The corpus as one token sequence: each document's tokens (a word with the gap after it, up to
// the next word or the document end), then the document's own separator. Separators take ids
// [0, documents), all distinct, so that no two suffixes agree across a document end; token ids
// follow, numbered so that the tokens of one word form a contiguous range.
struct TokenText {
  std::uint32_t separators = 0;
  std::vector<std::uint32_t> ids;           // per position
  std::vector<std::uint64_t> doc_begin;     // position of each document's first token; D + 1
  std::vector<std::uint64_t> lead;          // per document: byte offset of its first word
  std::vector<std::uint64_t> sample;        // byte offset of every 2^kSampleShift-th position
  std::vector<std::uint32_t> word_class;    // per token id: equal exactly for equal words
  std::vector<std::uint32_t> word_length;   // per token id: bytes of its word
  std::vector<std::uint32_t> token_length;  // per token id: bytes of its word and gap

  [[nodiscard]] std::uint64_t size() const { return ids.size(); }
  [[nodiscard]] std::uint64_t alphabet() const { return word_class.size(); }
  // Whether the tokens at positions i and j are real tokens of the same word.
  [[nodiscard]] bool same_word(std::uint64_t i, std::uint64_t j) const {
    const std::uint32_t a = ids[i], b = ids[j];
    return a >= separators && b >= separators && word_class[a] == word_class[b];
  }
  [[nodiscard]] std::uint32_t document_of(std::uint64_t position) const {
    return static_cast<std::uint32_t>(
        std::upper_bound(doc_begin.begin(), doc_begin.end(), position) - doc_begin.begin() - 1);
  }
  // Byte offset in document d of the word at position p (a token of d).
  [[nodiscard]] std::uint64_t offset_of(std::uint64_t p, std::uint32_t d) const {
    std::uint64_t q = p >> kSampleShift << kSampleShift;
    std::uint64_t at = 0;
    if (q <= doc_begin[d]) {
      q = doc_begin[d];
      at = lead[d];
    } else {
      at = sample[p >> kSampleShift];
    }
    for (; q < p; ++q) at += token_length[ids[q]];
    return at;
  }
};

std::uint64_t count_positions(std::span<const std::string_view> documents) {
  std::uint64_t n = documents.size();  // one separator each
  for (std::size_t d = 0; d < documents.size(); ++d) {
    const std::string_view text = documents[d];
    bool prev = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const bool cur = word_byte(text, i);
      n += cur && !prev;
      prev = cur;
    }
    interrupt::checkpoint();
  }
  return n;
}

// Fills ids with first-seen token numbers (separators left kUnset), the document starts and the
// sampled offsets; `tokens` keeps the distinct tokens.
void intern_tokens(std::span<const std::string_view> documents, TokenText& t,
                   StringInterner& tokens) {
  std::uint64_t p = 0;
  const auto place = [&](std::uint32_t id, std::uint64_t offset) {
    if ((p & ((std::uint64_t{1} << kSampleShift) - 1)) == 0) t.sample[p >> kSampleShift] = offset;
    t.ids[p++] = id;
  };
  for (std::size_t d = 0; d < documents.size(); ++d) {
    const std::string_view text = documents[d];
    t.doc_begin[d] = p;
    std::size_t i = 0;
    while (i < text.size() && !word_byte(text, i)) ++i;
    t.lead[d] = i;
    while (i < text.size()) {
      interrupt::checkpoint_every(p);
      const std::size_t start = i;
      while (i < text.size() && word_byte(text, i)) ++i;
      while (i < text.size() && !word_byte(text, i)) ++i;
      if (i - start >= kUnset) throw UsageError("a word with its gap spans 4 GiB or more");
      place(static_cast<std::uint32_t>(tokens.intern_borrowed(text.substr(start, i - start)).id),
            start);
    }
    place(kUnset, text.size());
  }
  t.doc_begin[documents.size()] = p;
}

// Renumbers first-seen token numbers so that each word's tokens are contiguous, after the
// separators, and records each id's word.
void number_by_word(TokenText& t, const StringInterner& tokens) {
  const std::size_t distinct = tokens.size();
  StringInterner words(string_interner::process_hash_key(), StringInterner::Storage::Borrow);
  std::vector<std::uint64_t> keys(distinct);
  std::vector<std::uint32_t> length(distinct);
  for (std::size_t k = 0; k < distinct; ++k) {
    const std::string_view token = tokens.key(k);
    std::size_t len = 0;
    while (len < token.size() && word_byte(token, len)) ++len;
    const std::uint64_t word = words.intern_borrowed(token.substr(0, len)).id;
    keys[k] = (word << 32) | k;
    length[k] = static_cast<std::uint32_t>(len);
  }
  std::sort(keys.begin(), keys.end());
  std::vector<std::uint32_t> renumber(distinct);
  t.word_class.assign(t.separators + distinct, kUnset);
  t.word_length.assign(t.separators + distinct, 0);
  t.token_length.assign(t.separators + distinct, 0);
  for (std::size_t rank = 0; rank < distinct; ++rank) {
    const auto k = static_cast<std::uint32_t>(keys[rank]);
    const auto id = static_cast<std::uint32_t>(t.separators + rank);
    renumber[k] = id;
    t.word_class[id] = static_cast<std::uint32_t>(keys[rank] >> 32);
    t.word_length[id] = length[k];
    t.token_length[id] = static_cast<std::uint32_t>(tokens.key(k).size());
  }
  interrupt::checkpoint();
  for (std::uint32_t d = 0; d < t.separators; ++d) {
    const std::uint64_t last = t.doc_begin[d + 1] - 1;
    for (std::uint64_t p = t.doc_begin[d]; p < last; ++p) t.ids[p] = renumber[t.ids[p]];
    t.ids[last] = d;
  }
}

TokenText tokenize(std::span<const std::string_view> documents) {
  TokenText t;
  t.separators = static_cast<std::uint32_t>(documents.size());
  const std::uint64_t n = count_positions(documents);
  t.ids = large_array<std::uint32_t>(n);
  t.doc_begin.assign(documents.size() + 1, 0);
  t.lead.assign(documents.size(), 0);
  t.sample.assign((n >> kSampleShift) + 1, 0);
  {
    StringInterner tokens(string_interner::process_hash_key(), StringInterner::Storage::Borrow);
    intern_tokens(documents, t, tokens);
    if (std::uint64_t{t.separators} + tokens.size() >= kUnset) {
      throw UsageError("too many documents and distinct words for one call");
    }
    interrupt::checkpoint();
    number_by_word(t, tokens);
  }
  interrupt::checkpoint();
  return t;
}

template <class Idx>
std::vector<Idx> token_suffix_array(const TokenText& t) {
  std::vector<Idx> sa = large_array<Idx>(t.size());
  suffix_array::sais::sort<std::uint32_t, Idx>(t.ids.data(), sa.data(), static_cast<Idx>(t.size()),
                                               static_cast<Idx>(t.alphabet()));
  interrupt::checkpoint();
  return sa;
}

// Whole-word LCP of each position with the suffix one rank below it, in text order (the phi
// method). The token LCP h drops by at most one per position as in Kasai's method; the word LCP
// adds the next word when the first differing tokens differ only in their gaps. Distinct
// separators stop every comparison at a document end.
template <class Idx>
std::vector<Idx> permuted_word_lcp(const TokenText& t, const std::vector<Idx>& sa) {
  constexpr Idx kNone = std::numeric_limits<Idx>::max();
  constexpr std::size_t kAhead = 32;
  const std::size_t n = sa.size();
  std::vector<Idx> plcp = large_array<Idx>(n);
  if (n == 0) return plcp;
  for (std::size_t r = 1; r < n; ++r) plcp[sa[r]] = sa[r - 1];
  plcp[sa[0]] = kNone;
  interrupt::checkpoint();
  const std::uint32_t* ids = t.ids.data();
  std::size_t h = 0;
  for (std::size_t i = 0; i < n; ++i) {
    interrupt::checkpoint_every(i);
    if (i + kAhead < n && plcp[i + kAhead] != kNone) prefetch_read(ids + plcp[i + kAhead]);
    const Idx j = plcp[i];
    if (j == kNone) {
      h = 0;
      plcp[i] = 0;
      continue;
    }
    // The last position is a separator found nowhere else, so no match runs off the end.
    while (ids[i + h] == ids[j + h]) ++h;
    plcp[i] = static_cast<Idx>(h + (t.same_word(i + h, j + h) ? 1 : 0));
    if (h > 0) --h;
  }
  interrupt::checkpoint();
  return plcp;
}

// A passage found as an lcp-interval [lb, rb] of the suffix array.
struct Found {
  std::uint64_t words = 0;
  std::uint64_t bytes = 0;
  std::uint64_t first_position = 0;
  std::uint64_t lb = 0;
  std::uint64_t rb = 0;
};

// What precedes a set of suffixes: nothing yet, one token shared by all, or not one token.
constexpr std::uint32_t kNoLeft = kUnset;
constexpr std::uint32_t kMixedLeft = kUnset - 1;
constexpr std::uint32_t kTextStart = kUnset - 2;

std::uint32_t merge_left(std::uint32_t a, std::uint32_t b) {
  if (a == kNoLeft) return b;
  if (b == kNoLeft || a == b) return a;
  return kMixedLeft;
}

// Whether the run of `bytes` bytes at `start` of `text` has at least `min` code points.
bool has_code_points(std::string_view text, std::uint64_t start, std::uint64_t bytes,
                     std::uint64_t min) {
  if (bytes < min) return false;
  std::uint64_t count = 0;
  for (std::uint64_t i = start; i < start + bytes && count < min; ++i) {
    count += utf::is_continuation_byte(static_cast<unsigned char>(text[i])) ? 0 : 1;
  }
  return count >= min;
}

template <class Idx>
class IntervalScan {
 public:
  IntervalScan(std::span<const std::string_view> documents, const TokenText& t,
               const std::vector<Idx>& sa, const std::vector<Idx>& plcp,
               const PassageParams& params)
      : documents_(documents),
        t_(t),
        sa_(sa),
        plcp_(plcp),
        params_(params),
        occurrence_limit_(kOccurrencesPerToken * sa.size() + kOccurrenceFloor) {}

  // Bottom-up traversal of the lcp-intervals, each carrying what precedes its suffixes; a child's
  // summary merges into its parent when it closes. Merging is idempotent, so the suffix at the
  // left end of a new interval may be counted in both it and its parent.
  std::vector<Found> run() {
    const std::size_t n = sa_.size();
    if (n == 0) return std::move(found_);
    stack_.push_back({0, 0, left_of(0)});
    for (std::size_t r = 1; r < n; ++r) {
      interrupt::checkpoint_every(r);
      if (r + kAhead < n) {
        prefetch_read(plcp_.data() + sa_[r + kAhead]);
        prefetch_read(t_.ids.data() + sa_[r + kAhead] - (sa_[r + kAhead] > 0 ? 1 : 0));
      }
      const std::uint64_t h = plcp_[sa_[r]];
      std::uint64_t lb = r - 1;
      std::uint32_t carried = kNoLeft;
      while (h < stack_.back().lcp) {
        const Open node = stack_.back();
        stack_.pop_back();
        close(node, r - 1);
        lb = node.lb;
        if (stack_.back().lcp >= h) {
          stack_.back().left = merge_left(stack_.back().left, node.left);
        } else {
          carried = node.left;
        }
      }
      if (h > stack_.back().lcp) {
        stack_.push_back({h, lb, carried == kNoLeft ? left_of(r - 1) : carried});
      }
      stack_.back().left = merge_left(stack_.back().left, left_of(r));
    }
    while (!stack_.empty()) {
      const Open node = stack_.back();
      stack_.pop_back();
      close(node, n - 1);
      if (!stack_.empty()) stack_.back().left = merge_left(stack_.back().left, node.left);
    }
    return std::move(found_);
  }

 private:
  static constexpr std::size_t kAhead = 16;

  struct Open {
    std::uint64_t lcp;
    std::uint64_t lb;
    std::uint32_t left;
  };

  [[nodiscard]] std::uint32_t left_of(std::size_t rank) const {
    const std::uint64_t p = sa_[rank];
    return p == 0 ? kTextStart : t_.ids[p - 1];
  }

  void close(const Open& node, std::uint64_t rb) {
    if (node.lcp < params_.min_words || node.left != kMixedLeft) return;
    count_occurrences(rb - node.lb + 1);
    const std::uint64_t p = sa_[node.lb];
    const std::uint64_t last = p + node.lcp - 1;
    const std::uint32_t d = t_.document_of(p);
    const std::uint64_t start = t_.offset_of(p, d);
    const std::uint64_t bytes = t_.offset_of(last, d) + t_.word_length[t_.ids[last]] - start;
    if (params_.min_chars > 0 && !has_code_points(documents_[d], start, bytes, params_.min_chars)) {
      return;
    }
    const auto first = *std::min_element(sa_.begin() + node.lb, sa_.begin() + rb + 1);
    found_.push_back({node.lcp, bytes, first, node.lb, rb});
  }

  // A word, or a few, repeated k times in a row is a passage at every length up to k, with
  // about k * k / 2 places in all: the output, not the search, would take the time and memory.
  // Such a corpus is refused before its places are gathered.
  void count_occurrences(std::uint64_t places) {
    occurrences_ += places;
    if (occurrences_ > occurrence_limit_) {
      throw UsageError(
          "the documents have more than " + std::to_string(occurrence_limit_) +
          " passage occurrences (" + std::to_string(kOccurrencesPerToken) +
          " per word): text that repeats a word or a few words many times in a row has a "
          "passage for every length of the run; raise min_words or leave such text out");
    }
  }

  static constexpr std::uint64_t kOccurrencesPerToken = 4;
  static constexpr std::uint64_t kOccurrenceFloor = std::uint64_t{1} << 24;

  std::span<const std::string_view> documents_;
  const TokenText& t_;
  const std::vector<Idx>& sa_;
  const std::vector<Idx>& plcp_;
  const PassageParams& params_;
  std::vector<Open> stack_;
  std::vector<Found> found_;
  std::uint64_t occurrence_limit_;
  std::uint64_t occurrences_ = 0;
};

template <class Idx>
Passages columnar(const TokenText& t, const std::vector<Idx>& sa, std::vector<Found>& found) {
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    if (a.words != b.words) return a.words > b.words;
    if (a.bytes != b.bytes) return a.bytes > b.bytes;
    return a.first_position < b.first_position;
  });
  interrupt::checkpoint();
  Passages out;
  std::uint64_t total = 0;
  for (const Found& f : found) total += f.rb - f.lb + 1;
  out.words.reserve(found.size());
  out.first.reserve(found.size() + 1);
  out.document.reserve(total);
  out.start.reserve(total);
  out.end.reserve(total);
  out.first.push_back(0);
  std::vector<Idx> places;
  for (const Found& f : found) {
    interrupt::checkpoint_every(out.words.size());
    places.assign(sa.begin() + f.lb, sa.begin() + f.rb + 1);
    std::sort(places.begin(), places.end());
    for (const Idx p : places) {
      const std::uint32_t d = t.document_of(p);
      const std::uint64_t start = t.offset_of(p, d);
      out.document.push_back(d);
      out.start.push_back(start);
      out.end.push_back(start + f.bytes);
    }
    out.words.push_back(f.words);
    out.first.push_back(out.document.size());
  }
  return out;
}

template <class Idx>
Passages find_with(std::span<const std::string_view> documents, const TokenText& t,
                   const PassageParams& params) {
  const std::vector<Idx> sa = token_suffix_array<Idx>(t);
  std::vector<Found> found;
  {
    // The LCP goes before the output is built.
    const std::vector<Idx> plcp = permuted_word_lcp<Idx>(t, sa);
    found = IntervalScan<Idx>(documents, t, sa, plcp, params).run();
  }
  interrupt::checkpoint();
  return columnar<Idx>(t, sa, found);
}

bool fits_narrow(const TokenText& t) {
  return t.size() <= suffix_array::sais::kMaxLength<std::uint32_t>;
}

void check_document_count(std::span<const std::string_view> documents) {
  if (documents.size() >= kUnset) throw UsageError("at most 4294967294 documents per call");
}

void check_arguments(std::span<const std::string_view> documents, const PassageParams& params) {
  if (params.min_words == 0) throw UsageError("min_words must be at least 1");
  check_document_count(documents);
}

template <class Idx>
detail::WordSuffixArray widened(const TokenText& t) {
  const std::vector<Idx> sa = token_suffix_array<Idx>(t);
  const std::vector<Idx> plcp = permuted_word_lcp<Idx>(t, sa);
  detail::WordSuffixArray out;
  out.sa.assign(sa.begin(), sa.end());
  out.word_lcp.resize(sa.size());
  for (std::size_t r = 1; r < sa.size(); ++r) out.word_lcp[r] = plcp[sa[r]];
  return out;
}

}  // namespace

Passages find_passages(std::span<const std::string_view> documents, const PassageParams& params) {
  check_arguments(documents, params);
  const TokenText t = tokenize(documents);
  return fits_narrow(t) ? find_with<std::uint32_t>(documents, t, params)
                        : find_with<std::uint64_t>(documents, t, params);
}

namespace detail {

WordSuffixArray word_suffix_array(std::span<const std::string_view> documents) {
  check_document_count(documents);
  const TokenText t = tokenize(documents);
  return fits_narrow(t) ? widened<std::uint32_t>(t) : widened<std::uint64_t>(t);
}

Passages find_passages_wide(std::span<const std::string_view> documents,
                            const PassageParams& params) {
  check_arguments(documents, params);
  return find_with<std::uint64_t>(documents, tokenize(documents), params);
}

}  // namespace detail

}  // namespace quarnel::core::passages
