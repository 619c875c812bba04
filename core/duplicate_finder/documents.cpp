#include "duplicate_finder/documents.hpp"

#include <limits>

#include "text/sentence_splitter.hpp"

namespace quarnel::core::duplicate_finder {

DocumentEnds::DocumentEnds(const DocumentLayout& layout, std::uint64_t text_size)
    : starts_(layout.starts.begin(), layout.starts.end()),
      ends_(layout.ends.begin(), layout.ends.end()) {
  constexpr auto kPast = std::numeric_limits<std::uint64_t>::max();
  starts_.push_back(kPast);
  ends_.push_back(kPast);
  first_end_.resize((text_size >> kShift) + 1);
  std::uint32_t d = 0;
  for (std::size_t block = 0; block < first_end_.size(); ++block) {
    while (ends_[d] < (std::uint64_t{block} << kShift)) ++d;
    first_end_[block] = d;
  }
}

std::vector<std::uint64_t> document_sentence_boundaries(std::string_view text,
                                                        const DocumentLayout& layout) {
  std::vector<std::uint64_t> boundaries;
  for (std::size_t d = 0; d < layout.starts.size(); ++d) {
    const std::uint64_t start = layout.starts[d];
    const std::uint64_t end = layout.ends[d];
    for (const std::uint64_t b :
         sentence_splitter::sentence_boundary_offsets(text.substr(start, end - start))) {
      boundaries.push_back(start + b);
    }
    if (boundaries.empty() || boundaries.back() != end) boundaries.push_back(end);
  }
  return boundaries;
}

}  // namespace quarnel::core::duplicate_finder
