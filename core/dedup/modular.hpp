#pragma once
// Arithmetic modulo the Mersenne prime 2^61 - 1, for polynomial hashes of word sequences that
// roll along a document in O(1) per window, and a 64-bit mixer that turns ids and byte strings
// into such hash values.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace quarnel::core::dedup::modular {

inline constexpr std::uint64_t kPrime = (std::uint64_t{1} << 61) - 1;

// x mod 2^61 - 1 for x below 2^122 (a product of two values below 2^61).
constexpr std::uint64_t reduce(unsigned __int128 x) {
  const std::uint64_t folded =
      static_cast<std::uint64_t>(x & kPrime) + static_cast<std::uint64_t>(x >> 61);
  const std::uint64_t once = (folded & kPrime) + (folded >> 61);
  return once >= kPrime ? once - kPrime : once;
}
constexpr std::uint64_t mul(std::uint64_t a, std::uint64_t b) {
  return reduce(static_cast<unsigned __int128>(a) * b);
}
constexpr std::uint64_t add(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t s = a + b;
  return s >= kPrime ? s - kPrime : s;
}
constexpr std::uint64_t sub(std::uint64_t a, std::uint64_t b) {
  return a >= b ? a - b : a + kPrime - b;
}

constexpr std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 31;
  x *= 0x7fb5d329728ea185ULL;
  x ^= x >> 27;
  x *= 0x81dadef4bc2dd44dULL;
  x ^= x >> 33;
  return x;
}

// x mod 2^61 - 1 for any 64-bit x, without a division.
constexpr std::uint64_t reduce64(std::uint64_t x) {
  const std::uint64_t folded = (x & kPrime) + (x >> 61);
  return folded >= kPrime ? folded - kPrime : folded;
}

// The last 1-7 bytes of a string as one value: two overlapping loads of four, or the bytes one
// by one below four, so that no load reaches past the string (words are short: this is most of
// a word's hash).
inline std::uint64_t short_tail(const char* p, std::size_t n) {
  if (n >= 4) {
    std::uint32_t low = 0, high = 0;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + n - 4, 4);
    return low | (std::uint64_t{high} << 32);
  }
  std::uint64_t tail = 0;
  for (std::size_t i = 0; i < n; ++i)
    tail |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  return tail;
}

// Seeded hashes of a byte string, one per seed in one pass (the loads shared, the seeds'
// chains independent, so two cost little more than one): eight bytes at a time, each folded in
// through a multiply and a full mix, the tail and the length last; reduced below 2^61 - 1.
template <std::size_t N>
inline std::array<std::uint64_t, N> hash_bytes_each(std::string_view s,
                                                    const std::array<std::uint64_t, N>& seeds) {
  std::array<std::uint64_t, N> h = seeds;
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, s.data() + i, 8);
    for (auto& x : h) x = mix(x ^ (word * 0x9e3779b97f4a7c15ULL)) + i;
  }
  const std::uint64_t tail = short_tail(s.data() + i, s.size() - i);
  for (auto& x : h) {
    x = mix(x ^ (tail * 0xc2b2ae3d27d4eb4fULL) ^ (s.size() << 56)) ^ s.size();
    x = reduce64(mix(x));
  }
  return h;
}
inline std::uint64_t hash_bytes(std::string_view s, std::uint64_t seed) {
  return hash_bytes_each<1>(s, {seed})[0];
}

// B^e mod 2^61 - 1.
constexpr std::uint64_t power(std::uint64_t base, std::uint64_t e) {
  std::uint64_t result = 1;
  for (; e != 0; e >>= 1, base = mul(base, base)) {
    if ((e & 1) != 0) result = mul(result, base);
  }
  return result;
}

// The hash of every window of k words of a document: for w = 0 .. n - k,
//   token[w] B^(k-1) + token[w + 1] B^(k-2) + ... + token[w + k - 2] B + word(w + k - 1),
// rolled in O(1) per window and handed to emit(w, hash) in order. `token` holds the hashes of
// the document's n tokens (a word with the gap after it; the last is never read), word(i) gives
// the hash of word i alone. Nothing for n < k. `roll_windows_each` rolls N such hashes at once
// (token arrays, bases, word(i) and emit's hashes as arrays of N), their chains interleaved.
template <std::size_t N, class Word, class Emit>
void roll_windows_each(const std::array<std::span<const std::uint64_t>, N>& token, std::uint64_t k,
                       const std::array<std::uint64_t, N>& base, Word&& word, Emit&& emit) {
  const std::uint64_t n = token[0].size();
  if (n < k) return;
  std::array<std::uint64_t, N> lead{};  // a window's first token's weight
  std::array<std::uint64_t, N> sum{};   // over tokens w .. w + k - 2
  for (std::size_t h = 0; h < N; ++h) {
    lead[h] = k >= 2 ? power(base[h], k - 2) : 0;
    for (std::uint64_t i = 0; i + 1 < k; ++i) sum[h] = add(mul(sum[h], base[h]), token[h][i]);
  }
  for (std::uint64_t w = 0;; ++w) {
    const std::array<std::uint64_t, N> last = word(w + k - 1);
    std::array<std::uint64_t, N> hash;
    for (std::size_t h = 0; h < N; ++h) hash[h] = add(mul(sum[h], base[h]), last[h]);
    emit(w, hash);
    if (w + k >= n) break;
    if (k >= 2) {
      for (std::size_t h = 0; h < N; ++h) {
        sum[h] = add(mul(sub(sum[h], mul(token[h][w], lead[h])), base[h]), token[h][w + k - 1]);
      }
    }
  }
}
template <class Word, class Emit>
void roll_windows(std::span<const std::uint64_t> token, std::uint64_t k, std::uint64_t base,
                  Word&& word, Emit&& emit) {
  roll_windows_each<1>(
      {token}, k, {base}, [&](std::uint64_t i) { return std::array<std::uint64_t, 1>{word(i)}; },
      [&](std::uint64_t w, const std::array<std::uint64_t, 1>& hash) { emit(w, hash[0]); });
}

}  // namespace quarnel::core::dedup::modular
