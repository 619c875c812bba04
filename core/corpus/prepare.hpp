#pragma once
// The corpus as the analysis reads it: each document without its removed ranges, normalised
// when asked, joined like the source, with the way back from each to the document as given.
// Cost: O(n) time; the analysis text (none when the source is analysed as it is) and one delta
// table entry per removed range and per run of white space collapsed.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "corpus.hpp"
#include "duplicate_finder/documents.hpp"
#include "text/text_positions.hpp"

namespace quarnel::core::corpus {

struct PreparedCorpus {
  std::string owned;  // empty when the source is analysed as it is
  std::string_view text;
  std::vector<std::uint64_t> starts;
  std::vector<std::uint64_t> ends;
  std::vector<text_positions::WayBack> ways_back;  // per document, or none when not prepared

  [[nodiscard]] std::size_t documents() const { return starts.size(); }
  [[nodiscard]] duplicate_finder::DocumentLayout layout() const { return {starts, ends}; }
  [[nodiscard]] std::string_view document(std::size_t d) const {
    return text.substr(starts[d], ends[d] - starts[d]);
  }
};

[[nodiscard]] PreparedCorpus prepare(const SourceCorpus& source, const Preparation& preparation);

}  // namespace quarnel::core::corpus
