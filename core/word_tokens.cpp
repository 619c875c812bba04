#include "word_tokens.hpp"

#include <array>
#include <string>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/large_array.hpp"
#include "base/prefetch.hpp"
#include "base/string_interner.hpp"
#include "suffix_array/sais_impl.hpp"
#include "text/tokenizer.hpp"

namespace quarnel::core::word_tokens {
namespace {

using string_interner::StringInterner;

bool word_byte(std::string_view text, std::size_t i) {
  return tokenizer::is_word_byte(static_cast<unsigned char>(text[i]));
}

// A token found but not yet looked up.
struct Pending {
  std::size_t start = 0;
  std::size_t length = 0;
  std::uint64_t hash = 0;
};
constexpr std::size_t kLookAhead = 8;

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
    // Tokens are hashed kLookAhead ahead of their lookup, their slots prefetched meanwhile; they
    // are placed in text order all the same.
    std::array<Pending, kLookAhead> ahead;
    std::size_t first = 0;
    std::size_t held = 0;
    const auto place_first = [&] {
      const Pending& token = ahead[first];
      const std::string_view key = text.substr(token.start, token.length);
      place(static_cast<std::uint32_t>(tokens.intern_borrowed(key, token.hash).id), token.start);
      first = (first + 1) % kLookAhead;
      --held;
    };
    while (i < text.size()) {
      interrupt::checkpoint_every(p);
      const std::size_t start = i;
      while (i < text.size() && word_byte(text, i)) ++i;
      while (i < text.size() && !word_byte(text, i)) ++i;
      if (i - start >= kUnset) throw UsageError("a word with its gap spans 4 GiB or more");
      const std::uint64_t hash = tokens.hash(text.substr(start, i - start));
      tokens.prefetch(hash);
      if (held == kLookAhead) place_first();
      ahead[(first + held) % kLookAhead] = {start, i - start, hash};
      ++held;
    }
    while (held > 0) place_first();
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

}  // namespace

std::vector<std::uint64_t> document_positions(std::span<const std::string_view> documents,
                                              parallel::Lanes lanes) {
  std::vector<std::uint64_t> doc_begin(documents.size() + 1, 0);
  // Documents split where their bytes are halved.
  std::uint64_t bytes = 0;
  for (const std::string_view text : documents) bytes += text.size();
  std::size_t half = 0;
  for (std::uint64_t seen = 0; half < documents.size() && seen < bytes / 2; ++half) {
    seen += documents[half].size();
  }
  parallel::over_parts(lanes, documents.size(), half, [&](parallel::Part part) {
    for (std::size_t d = part.begin; d < part.end; ++d) {
      const std::string_view text = documents[d];
      std::uint64_t words = 0;
      bool previous = false;
      for (std::size_t i = 0; i < text.size(); ++i) {
        const bool current = word_byte(text, i);
        words += current && !previous ? 1 : 0;
        previous = current;
      }
      doc_begin[d + 1] = words + 1;  // and its separator
      interrupt::checkpoint();
    }
  });
  for (std::size_t d = 0; d < documents.size(); ++d) doc_begin[d + 1] += doc_begin[d];
  return doc_begin;
}

TokenText tokenize(std::span<const std::string_view> documents) {
  TokenText t;
  t.separators = static_cast<std::uint32_t>(documents.size());
  const std::uint64_t n = document_positions(documents).back();
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
std::vector<Idx> token_suffix_array(const TokenText& t, parallel::Lanes lanes) {
  std::vector<Idx> sa = large_array<Idx>(t.size());
  suffix_array::sais::Threads threads;
  threads.count = lanes.count();
  suffix_array::sais::sort<std::uint32_t, Idx>(t.ids.data(), sa.data(), static_cast<Idx>(t.size()),
                                               static_cast<Idx>(t.alphabet()), threads);
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
  // Scattered writes: asking for the line ahead keeps several misses in flight.
  for (std::size_t r = 1; r < n; ++r) {
    if (r + kAhead < n) prefetch_read(plcp.data() + sa[r + kAhead]);
    plcp[sa[r]] = sa[r - 1];
  }
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

bool fits_narrow(std::uint64_t positions) {
  return positions <= suffix_array::sais::kMaxLength<std::uint32_t>;
}

template std::vector<std::uint32_t> token_suffix_array(const TokenText&, parallel::Lanes);
template std::vector<std::uint64_t> token_suffix_array(const TokenText&, parallel::Lanes);
template std::vector<std::uint32_t> permuted_word_lcp(const TokenText&,
                                                      const std::vector<std::uint32_t>&);
template std::vector<std::uint64_t> permuted_word_lcp(const TokenText&,
                                                      const std::vector<std::uint64_t>&);

}  // namespace quarnel::core::word_tokens
