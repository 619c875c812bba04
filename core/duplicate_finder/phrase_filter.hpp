#pragma once
// A Bloom filter over phrases, for the rare question whether a phrase was rewritten by
// normalisation. Memory: about 2 bytes per phrase added, plus one bit per possible length.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quarnel::core::duplicate_finder {

// False positives possible, false negatives not. Its hash need not
// resist crafted input: a collision only costs one exact lookup.
class PhraseFilter {
 public:
  void add(std::string_view phrase) {
    keys_.push_back(quick_hash(phrase));
    lengths_.push_back(phrase.size());
  }

  // Sizes the bit array for the phrases added so far, about 16 bits per phrase, and notes their
  // lengths: a length test needs no access to the phrase's bytes.
  void seal() {
    if (keys_.empty()) return;
    std::size_t bits = 64;
    while (bits < 16 * keys_.size()) bits *= 2;
    words_.assign(bits / 64, 0);
    mask_ = bits - 1;
    for (const std::uint64_t h : keys_) {
      set(h);
      set(h >> 32);
    }
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
    if (words_.empty() || !may_have_length(phrase.size())) return false;
    const std::uint64_t h = quick_hash(phrase);
    return test(h) && test(h >> 32);
  }

 private:
  static std::uint64_t bit(std::size_t k) { return std::uint64_t{1} << (k & 63); }

  static std::uint64_t load_up_to_8(std::string_view s) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < s.size() && i < 8; ++i) {
      v = (v << 8) | static_cast<unsigned char>(s[i]);
    }
    return v;
  }

  static std::uint64_t quick_hash(std::string_view s) {
    const std::uint64_t head = load_up_to_8(s);
    const std::uint64_t tail = load_up_to_8(s.substr(s.size() > 8 ? s.size() - 8 : 0));
    std::uint64_t h = head * 0x9E3779B97F4A7C15ULL ^ (tail + s.size()) * 0xC2B2AE3D27D4EB4FULL;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ULL;
    return h ^ (h >> 32);
  }

  void set(std::uint64_t h) { words_[(h & mask_) >> 6] |= std::uint64_t{1} << (h & 63); }
  [[nodiscard]] bool test(std::uint64_t h) const {
    return (words_[(h & mask_) >> 6] >> (h & 63)) & 1U;
  }

  std::vector<std::uint64_t> keys_;
  std::vector<std::size_t> lengths_;
  std::vector<std::uint64_t> words_;
  std::vector<std::uint64_t> length_bits_;
  std::uint64_t mask_ = 0;
};

}  // namespace quarnel::core::duplicate_finder
