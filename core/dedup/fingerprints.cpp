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
#include "dedup/dedup.hpp"
#include "dedup/modular.hpp"
#include "dedup/words.hpp"

namespace quarnel::core::dedup {
namespace {

using modular::add;
using modular::hash_bytes;
using modular::kPrime;
using modular::mul;
using modular::sub;

struct Half {
  std::uint64_t seed;
  std::uint64_t base;
};
constexpr std::array<Half, 2> kHalves = {{{0x243f6a8885a308d3ULL, 0x0d2a4b7c3b1e5f67ULL},
                                          {0x13198a2e03707344ULL, 0x17c5e2a9d1b3f481ULL}}};
static_assert(kHalves[0].base < kPrime && kHalves[1].base < kPrime);

// Rolls one half of every window of a document whose tokens and last words are hashed into
// `token` and `word` (per word index), appending to `out`.
void roll(const std::vector<std::uint64_t>& token, const std::vector<std::uint64_t>& word,
          std::uint64_t k, std::uint64_t base, std::vector<std::uint64_t>& out) {
  const std::uint64_t n = word.size();
  if (n < k) return;
  // lead = B^(k-2): the weight of a window's first token in the sum over its k - 1 tokens.
  std::uint64_t lead = 1;
  for (std::uint64_t i = 0; i + 2 < k; ++i) lead = mul(lead, base);
  std::uint64_t sum = 0;  // over tokens w .. w + k - 2
  for (std::uint64_t i = 0; i + 1 < k; ++i) sum = add(mul(sum, base), token[i]);
  for (std::uint64_t w = 0;; ++w) {
    out.push_back(add(mul(sum, base), word[w + k - 1]));
    if (w + k >= n) break;
    if (k > 1) sum = add(mul(sub(sum, mul(token[w], lead)), base), token[w + k - 1]);
  }
}

}  // namespace

Fingerprints window_fingerprints(std::span<const std::string_view> documents,
                                 const Params& params) {
  if (params.min_words == 0) throw UsageError("min_words must be at least 1");
  const std::uint64_t k = params.min_words;
  Fingerprints out;
  detail::WordBounds source_words;
  detail::WordBounds words;
  std::string copy;
  std::vector<std::uint64_t> token, word, starts;
  for (std::size_t d = 0; d < documents.size(); ++d) {
    interrupt::checkpoint();
    const std::string_view text = documents[d];
    source_words.of(text);
    const std::uint64_t n = source_words.size();
    if (n < k) continue;
    const std::string_view compared = detail::prepared(text, params, copy);
    words.of(compared);
    if (words.size() != n) throw InternalError("dedup: preparation changed the words");
    for (std::size_t h = 0; h < kHalves.size(); ++h) {
      token.resize(n);
      word.resize(n);
      for (std::uint64_t w = 0; w < n; ++w) {
        const std::uint64_t from = words.starts[w];
        const std::uint64_t to = w + 1 < n ? words.starts[w + 1] : compared.size();
        token[w] = hash_bytes(compared.substr(from, to - from), kHalves[h].seed);
        word[w] = hash_bytes(compared.substr(from, words.ends[w] - from), ~kHalves[h].seed);
      }
      roll(token, word, k, kHalves[h].base, h == 0 ? out.high : out.low);
    }
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
