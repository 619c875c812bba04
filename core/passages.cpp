#include "passages.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/prefetch.hpp"
#include "text/utf.hpp"
#include "word_tokens.hpp"

namespace quarnel::core::passages {
namespace {

using word_tokens::kUnset;
using word_tokens::TokenText;

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
        occurrence_limit_(kOccurrencesPerToken * sa.size() + kOccurrenceFloor),
        reference_begin_(params.reference_from < documents.size()
                             ? t.doc_begin[params.reference_from]
                             : std::numeric_limits<std::uint64_t>::max()) {}

  // Bottom-up traversal of the lcp-intervals, each carrying what precedes its suffixes; a child's
  // summary merges into its parent when it closes. Merging is idempotent, so the suffix at the
  // left end of a new interval may be counted in both it and its parent.
  std::vector<Found> run() {
    const std::size_t n = sa_.size();
    if (n == 0) return std::move(found_);
    stack_.push_back({0, 0, left_of(0), side_of(0)});
    for (std::size_t r = 1; r < n; ++r) {
      interrupt::checkpoint_every(r);
      if (r + kAhead < n) {
        prefetch_read(plcp_.data() + sa_[r + kAhead]);
        prefetch_read(t_.ids.data() + sa_[r + kAhead] - (sa_[r + kAhead] > 0 ? 1 : 0));
      }
      const std::uint64_t h = plcp_[sa_[r]];
      std::uint64_t lb = r - 1;
      std::uint32_t carried = kNoLeft;
      std::uint8_t carried_sides = 0;
      while (h < stack_.back().lcp) {
        const Open node = stack_.back();
        stack_.pop_back();
        close(node, r - 1);
        lb = node.lb;
        if (stack_.back().lcp >= h) {
          stack_.back().left = merge_left(stack_.back().left, node.left);
          stack_.back().sides |= node.sides;
        } else {
          carried = node.left;
          carried_sides = node.sides;
        }
      }
      if (h > stack_.back().lcp) {
        stack_.push_back({h, lb, carried == kNoLeft ? left_of(r - 1) : carried,
                          carried == kNoLeft ? side_of(r - 1) : carried_sides});
      }
      stack_.back().left = merge_left(stack_.back().left, left_of(r));
      stack_.back().sides |= side_of(r);
    }
    while (!stack_.empty()) {
      const Open node = stack_.back();
      stack_.pop_back();
      close(node, n - 1);
      if (!stack_.empty()) {
        stack_.back().left = merge_left(stack_.back().left, node.left);
        stack_.back().sides |= node.sides;
      }
    }
    return std::move(found_);
  }

 private:
  static constexpr std::size_t kAhead = 16;

  struct Open {
    std::uint64_t lcp;
    std::uint64_t lb;
    std::uint32_t left;
    std::uint8_t sides;  // kCorpus and kReference: which sides the suffixes lie on
  };
  static constexpr std::uint8_t kCorpus = 1;
  static constexpr std::uint8_t kReference = 2;

  [[nodiscard]] std::uint8_t side_of(std::size_t rank) const {
    return sa_[rank] < reference_begin_ ? kCorpus : kReference;
  }

  [[nodiscard]] std::uint32_t left_of(std::size_t rank) const {
    const std::uint64_t p = sa_[rank];
    return p == 0 ? kTextStart : t_.ids[p - 1];
  }

  void close(const Open& node, std::uint64_t rb) {
    if (node.lcp < params_.min_words || node.left != kMixedLeft) return;
    if (reference_begin_ != std::numeric_limits<std::uint64_t>::max() &&
        node.sides != (kCorpus | kReference)) {
      return;
    }
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
  std::uint64_t reference_begin_;  // the first position of the reference's tokens
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
                   const PassageParams& params, parallel::Lanes lanes) {
  const std::vector<Idx> sa = word_tokens::token_suffix_array<Idx>(t, lanes);
  std::vector<Found> found;
  {
    // The LCP goes before the output is built.
    const std::vector<Idx> plcp = word_tokens::permuted_word_lcp<Idx>(t, sa);
    found = IntervalScan<Idx>(documents, t, sa, plcp, params).run();
  }
  interrupt::checkpoint();
  return columnar<Idx>(t, sa, found);
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
  const std::vector<Idx> sa = word_tokens::token_suffix_array<Idx>(t);
  const std::vector<Idx> plcp = word_tokens::permuted_word_lcp<Idx>(t, sa);
  detail::WordSuffixArray out;
  out.sa.assign(sa.begin(), sa.end());
  out.word_lcp.resize(sa.size());
  for (std::size_t r = 1; r < sa.size(); ++r) out.word_lcp[r] = plcp[sa[r]];
  return out;
}

}  // namespace

Passages find_passages(std::span<const std::string_view> documents, const PassageParams& params,
                       parallel::Lanes lanes) {
  check_arguments(documents, params);
  const TokenText t = word_tokens::tokenize(documents);
  return word_tokens::fits_narrow(t) ? find_with<std::uint32_t>(documents, t, params, lanes)
                                     : find_with<std::uint64_t>(documents, t, params, lanes);
}

namespace detail {

WordSuffixArray word_suffix_array(std::span<const std::string_view> documents) {
  check_document_count(documents);
  const TokenText t = word_tokens::tokenize(documents);
  return word_tokens::fits_narrow(t) ? widened<std::uint32_t>(t) : widened<std::uint64_t>(t);
}

Passages find_passages_wide(std::span<const std::string_view> documents,
                            const PassageParams& params) {
  check_arguments(documents, params);
  return find_with<std::uint64_t>(documents, word_tokens::tokenize(documents), params,
                                  parallel::Lanes::one());
}

}  // namespace detail

}  // namespace quarnel::core::passages
