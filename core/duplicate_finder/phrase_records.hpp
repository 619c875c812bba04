#pragma once
// The records that pass between the duplicate finder's stages and the one it reports.

#include <cstdint>
#include <string>
#include <vector>

namespace quarnel::core::phrase_records {

// One repeated phrase while the pipeline runs; offsets are bytes of the analysis text.
struct PhraseData {
  std::string phrase;
  std::vector<std::uint64_t> starts;
  std::vector<std::uint64_t> ends;
  std::uint64_t count = 0;
  std::uint64_t string_length = 0;  // bytes of `phrase`
  std::uint64_t number_of_words = 0;
  friend bool operator==(const PhraseData&, const PhraseData&) = default;
};

// Half-open span of the source text in UTF-16 code units.
struct Occurrence {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  friend bool operator==(const Occurrence&, const Occurrence&) = default;
};

struct PhraseResult {
  std::string phrase;
  std::uint64_t count = 0;
  std::uint64_t string_length = 0;  // code points of `phrase`
  std::uint64_t number_of_words = 0;
  std::vector<Occurrence> occurrences;
  friend bool operator==(const PhraseResult&, const PhraseResult&) = default;
};

}  // namespace quarnel::core::phrase_records
