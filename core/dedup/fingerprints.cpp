// Window fingerprints: a polynomial hash over token hashes, rolled along each document.
//
// A window of k words is its first k - 1 tokens (a word with the gap after it) and its last word
// alone. Each token and each word gets a 61-bit hash per half; a window's half is
//   h(t_0) B^(k-1) + h(t_1) B^(k-2) + ... + h(t_{k-2}) B + h(w_{k-1})   mod 2^61 - 1,
// rolled in O(1) per window. The two halves use different seeds and bases. The constants are
// fixed, so that every process and machine computes the same fingerprint for the same window.

#include <array>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/large_array.hpp"
#include "dedup/dedup.hpp"
#include "dedup/modular.hpp"
#include "dedup/words.hpp"

namespace quarnel::core::dedup {
namespace {

using modular::kPrime;

struct Half {
  std::uint64_t seed;
  std::uint64_t base;
};
constexpr std::array<Half, 2> kHalves = {{{0x243f6a8885a308d3ULL, 0x0d2a4b7c3b1e5f67ULL},
                                          {0x13198a2e03707344ULL, 0x17c5e2a9d1b3f481ULL}}};
static_assert(kHalves[0].base < kPrime && kHalves[1].base < kPrime);
constexpr std::array<std::uint64_t, 2> kTokenSeeds = {kHalves[0].seed, kHalves[1].seed};
constexpr std::array<std::uint64_t, 2> kWordSeeds = {~kHalves[0].seed, ~kHalves[1].seed};
constexpr std::array<std::uint64_t, 2> kBases = {kHalves[0].base, kHalves[1].base};

// Windows of k words over the documents: their words counted first, so that the columns are
// sized once rather than grown, on huge pages (a partition's columns are hundreds of megabytes,
// and first-touch faults on small pages cost more than the hashing).
std::size_t count_windows(std::span<const std::string_view> documents, std::uint64_t k) {
  std::size_t windows = 0;
  for (const std::string_view text : documents) {
    const std::size_t words = tokenizer::count_words(text);
    windows += words >= k ? words - k + 1 : 0;
  }
  return windows;
}

}  // namespace

Fingerprints window_fingerprints(std::span<const std::string_view> documents,
                                 const Params& params) {
  if (params.min_words == 0) throw UsageError("min_words must be at least 1");
  const std::uint64_t k = params.min_words;
  Fingerprints out;
  const std::size_t windows = count_windows(documents, k);
  for (auto* column : {&out.high, &out.low, &out.document, &out.word, &out.start}) {
    column->reserve(windows);
    advise_huge_pages(column->data(), windows * sizeof(std::uint64_t));
  }
  detail::WordBounds source_words;
  detail::WordBounds words;
  std::string copy;
  std::array<std::vector<std::uint64_t>, 2> token;
  std::vector<std::uint64_t> starts;
  for (std::size_t d = 0; d < documents.size(); ++d) {
    interrupt::checkpoint();
    const std::string_view text = documents[d];
    source_words.of(text);
    const std::uint64_t n = source_words.size();
    if (n < k) continue;
    const std::string_view compared = detail::prepared(text, params, copy);
    if (detail::prepares(params)) {
      words.of(compared);
      if (words.size() != n) throw InternalError("dedup: preparation changed the words");
    }
    const detail::WordBounds& compared_words = detail::prepares(params) ? words : source_words;
    // Both halves in one pass: their multiply chains are independent and overlap.
    detail::token_hashes_each<2>(compared, compared_words, kTokenSeeds, token);
    modular::roll_windows_each<2>(
        {token[0], token[1]}, k, kBases,
        [&](std::uint64_t w) {
          return detail::word_hash_each<2>(compared, compared_words, w, kWordSeeds);
        },
        [&](std::uint64_t, const std::array<std::uint64_t, 2>& hash) {
          out.high.push_back(hash[0]);
          out.low.push_back(hash[1]);
        });
    starts.assign(source_words.starts.begin(), source_words.starts.begin() + (n - k + 1));
    detail::bytes_to_chars(text, starts);
    for (std::uint64_t w = 0; w + k <= n; ++w) {
      out.document.push_back(d);
      out.word.push_back(w);
      out.start.push_back(starts[w]);
    }
  }
  return out;
}

}  // namespace quarnel::core::dedup
