#include "text/tokenizer.hpp"

namespace quarnel::core::tokenizer {
namespace {

// Prose averages about six bytes per word; one reservation avoids most regrowth.
constexpr std::size_t kBytesPerWordGuess = 6;

}  // namespace

std::vector<std::uint64_t> word_starts(std::string_view text) {
  std::vector<std::uint64_t> starts;
  starts.reserve(text.size() / kBytesPerWordGuess + 1);
  visit_word_bounds(
      text, [&](std::size_t i) { starts.push_back(i); }, [](std::size_t) {});
  return starts;
}

std::vector<std::uint64_t> word_ends(std::string_view text) {
  std::vector<std::uint64_t> ends;
  ends.reserve(text.size() / kBytesPerWordGuess + 1);
  visit_word_bounds(
      text, [](std::size_t) {}, [&](std::size_t i) { ends.push_back(i); });
  return ends;
}

}  // namespace quarnel::core::tokenizer
