#pragma once
// Documents analysed together. The caller's documents arrive joined in one UTF-8 text; each may
// have ranges left out of the analysis and be lower-cased and whitespace-collapsed on its own.
// Phrases (the duplicate finder's) and passages (maximal repeated runs of words) are found over
// all documents at once, never across a document end, and come back as columns: per group its
// text and words, per occurrence its document, its span in characters of that document as given,
// and the line and column of its first and last character.
// Time: the finder's or the passage search's, plus one pass over the texts for the position
// tables and a sort of the occurrences; memory beyond those: about 0.4 bytes per text byte.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "normalize.hpp"
#include "passages.hpp"
#include "types.hpp"

namespace quarnel::core::corpus {

// The caller's documents: [starts[d], ends[d]) of `text`, separated by
// duplicate_finder::kDocumentSeparator. `removed` is empty, or holds one list per document of
// byte ranges of that document (offsets from its start) to leave out of the analysis.
struct SourceCorpus {
  std::string_view text;
  std::span<const std::uint64_t> starts;
  std::span<const std::uint64_t> ends;
  std::span<const std::vector<normalize::RemovedRange>> removed;
};

struct Preparation {
  bool case_insensitive = false;
  bool collapse_whitespace = false;
};

// Group g owns occurrence rows [first[g], first[g + 1]). Offsets count characters (code points)
// of the document as given; lines are split at line feeds, and lines and columns count from 1.
struct Matches {
  std::vector<std::string> texts;
  std::vector<std::uint64_t> words;
  std::vector<std::uint64_t> chars;  // characters of the group's text
  std::vector<std::uint64_t> first{0};
  std::vector<std::uint64_t> document;
  std::vector<std::uint64_t> start;
  std::vector<std::uint64_t> end;
  std::vector<std::uint64_t> line;
  std::vector<std::uint64_t> column;
  std::vector<std::uint64_t> end_line;  // of the last character
  std::vector<std::uint64_t> end_column;
  // Per document: its words, those inside some occurrence, and its characters.
  std::vector<std::uint64_t> document_words;
  std::vector<std::uint64_t> covered_words;
  std::vector<std::uint64_t> document_chars;
};

// The finder's phrases over all documents, in its order (characters descending, then count
// descending, then first occurrence). The text of a group is the finder's phrase; an occurrence
// ends where the phrase's last word ends in the document, also where its white space differs.
[[nodiscard]] Matches find_phrases(const SourceCorpus& source, const Preparation& preparation,
                                   const types::FinderParams& params);

// Passages over all documents, longest first; the text of a group is its first occurrence as
// the document gives it.
[[nodiscard]] Matches find_passages(const SourceCorpus& source, const Preparation& preparation,
                                    const passages::PassageParams& params);

}  // namespace quarnel::core::corpus
