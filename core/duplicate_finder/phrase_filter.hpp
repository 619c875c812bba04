#pragma once
// A Bloom filter over phrases, for the rare question whether a phrase was rewritten by
// normalisation, and the phrase key it and set-aside recovery share. Memory: about 2 bytes per
// phrase added, plus one bit per possible length.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace quarnel::core::duplicate_finder {

// A 64-bit key of a phrase read at its two ends and its length: cheap however long the phrase.
// Every use of it is confirmed on the bytes, so it needs to spread keys, not to resist crafted
// input (collisions cost time only).
[[nodiscard]] inline std::uint64_t phrase_key(std::string_view phrase) {
  const auto load = [&](std::size_t at) {
    std::uint64_t v = 0;
    std::memcpy(&v, phrase.data() + at, sizeof v);
    return v;
  };
  const std::size_t n = phrase.size();
  std::uint64_t words[4] = {0, 0, 0, 0};
  if (n >= 16) {
    words[0] = load(0), words[1] = load(8), words[2] = load(n - 16), words[3] = load(n - 8);
  } else if (n >= 8) {
    words[0] = load(0), words[1] = load(n - 8);
  } else {
    std::memcpy(&words[0], phrase.data(), n);
  }
  std::uint64_t h = n * 0x9E3779B97F4A7C15ULL;
  for (const std::uint64_t v : words) {
    h = (h ^ v) * 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 31;
  }
  return h ^ (h >> 29);
}

// False positives possible, false negatives not. Both bits of a phrase lie in one word, so a
// test costs one cache miss; callers that key the phrase anyway pass the key in.
class PhraseFilter {
 public:
  void add(std::string_view phrase) {
    keys_.push_back(phrase_key(phrase));
    lengths_.push_back(phrase.size());
  }

  // Sizes the bit array for the phrases added so far, about 16 bits per phrase, and notes their
  // lengths: a length test needs no access to the phrase's bytes.
  void seal() {
    if (keys_.empty()) return;
    std::size_t words = 1;
    while (64 * words < 16 * keys_.size()) words *= 2;
    words_.assign(words, 0);
    mask_ = words - 1;
    for (const std::uint64_t h : keys_) words_[h & mask_] |= bits_of(h);
    const std::size_t longest = *std::max_element(lengths_.begin(), lengths_.end());
    length_bits_.assign(longest / 64 + 1, 0);
    for (const std::size_t length : lengths_) length_bits_[length / 64] |= bit(length);
    std::vector<std::uint64_t>().swap(keys_);
    std::vector<std::size_t>().swap(lengths_);
  }

  [[nodiscard]] bool empty() const { return words_.empty(); }

  [[nodiscard]] bool may_have_length(std::size_t length) const {
    return length / 64 < length_bits_.size() && (length_bits_[length / 64] & bit(length)) != 0;
  }

  [[nodiscard]] bool may_contain(std::string_view phrase) const {
    return may_hold(phrase) && has_key(phrase_key(phrase));
  }

  // The same, for a caller that has phrase_key(phrase) already.
  [[nodiscard]] bool may_contain(std::string_view phrase, std::uint64_t key) const {
    return may_hold(phrase) && has_key(key);
  }

 private:
  static std::uint64_t bit(std::size_t k) { return std::uint64_t{1} << (k & 63); }
  [[nodiscard]] bool may_hold(std::string_view phrase) const {
    return !words_.empty() && may_have_length(phrase.size());
  }
  [[nodiscard]] bool has_key(std::uint64_t h) const {
    const std::uint64_t want = bits_of(h);
    return (words_[h & mask_] & want) == want;
  }
  // Two bits from the key's top bits; its low bits pick the word.
  static std::uint64_t bits_of(std::uint64_t h) { return bit(h >> 52) | bit(h >> 58); }

  std::vector<std::uint64_t> keys_;
  std::vector<std::size_t> lengths_;
  std::vector<std::uint64_t> words_;
  std::vector<std::uint64_t> length_bits_;
  std::uint64_t mask_ = 0;
};

}  // namespace quarnel::core::duplicate_finder
