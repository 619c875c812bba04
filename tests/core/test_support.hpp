#pragma once
// Brute-force references and record builders shared by the core tests.

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"

namespace quarnel::test {

// Suffix start positions in lexicographic order (a proper prefix sorts first).
template <class T>
std::vector<std::uint64_t> sorted_suffixes(const std::vector<T>& s) {
  std::vector<std::uint64_t> idx(s.size());
  std::iota(idx.begin(), idx.end(), 0);
  std::sort(idx.begin(), idx.end(), [&](std::uint64_t a, std::uint64_t b) {
    return std::lexicographical_compare(s.begin() + a, s.end(), s.begin() + b, s.end());
  });
  return idx;
}

// A candidate record as the candidate stage makes it: ends are starts plus the phrase length.
inline core::phrase_records::PhraseData phrase_record(std::string phrase, std::vector<std::uint64_t> starts,
                                             std::uint64_t words) {
  core::phrase_records::PhraseData r;
  r.phrase = std::move(phrase);
  r.starts = std::move(starts);
  for (auto s : r.starts) r.ends.push_back(s + r.phrase.size());
  r.count = r.starts.size();
  r.string_length = r.phrase.size();
  r.number_of_words = words;
  return r;
}

}  // namespace quarnel::test
