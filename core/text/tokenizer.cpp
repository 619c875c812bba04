#include "text/tokenizer.hpp"

namespace quarnel::core::tokenizer {
namespace {

// Prose averages about six bytes per word; one reservation avoids most regrowth.
constexpr std::size_t kBytesPerWordGuess = 6;

bool word_byte_at(std::string_view text, std::size_t i) {
  return is_word_byte(static_cast<unsigned char>(text[i]));
}

}  // namespace

std::vector<std::uint64_t> word_starts(std::string_view text) {
  std::vector<std::uint64_t> starts;
  starts.reserve(text.size() / kBytesPerWordGuess + 1);
  bool prev_is_word = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool is_word = word_byte_at(text, i);
    if (is_word && !prev_is_word) starts.push_back(i);
    prev_is_word = is_word;
  }
  return starts;
}

std::vector<std::uint64_t> word_ends(std::string_view text) {
  std::vector<std::uint64_t> ends;
  ends.reserve(text.size() / kBytesPerWordGuess + 1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (word_byte_at(text, i) && (i + 1 == text.size() || !word_byte_at(text, i + 1))) {
      ends.push_back(i + 1);
    }
  }
  return ends;
}

}  // namespace quarnel::core::tokenizer
