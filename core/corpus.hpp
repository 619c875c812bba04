#pragma once
// Documents analysed together. The caller's documents arrive joined in one UTF-8 text; each may
// have ranges left out of the analysis and be lower-cased and whitespace-collapsed on its own.
// Phrases (the duplicate finder's) and passages (maximal repeated runs of words) are found over
// all documents at once, never across a document end, and come back as columns: per group its
// text and words, per occurrence its document, its span in characters of that document as given,
// and the line and column of its first and last character.
// Time: the finder's or the passage search's, plus one pass over the texts for the position
// tables and a radix sort of the groups; memory beyond those: the position tables (about 1 byte
// per text byte while occurrences are located) and 36 bytes per occurrence in the result.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/parallel.hpp"
#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"
#include "passages.hpp"
#include "text/normalize.hpp"

namespace quarnel::core::corpus {

// The caller's documents: [starts[d], ends[d]) of `text`, separated by
// duplicate_finder::kDocumentSeparator. `removed` is empty, or holds one list per document of
// ranges of that document in characters (code points, as a str indexes it) to leave out of the
// analysis; any other count of lists is a UsageError.
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

// The order of the groups returned: as found, or by a key, largest first with ties as found.
// kShare is words times places; kFiles the distinct documents among a group's places.
enum class Order : std::uint8_t { kFound, kWords, kCount, kShare, kFiles };

// Which of the groups found are returned, and how many places of each: the groups with at least
// `min_count` places and more than `visible_chars_over` characters other than white space (0:
// any), in `order`, the first `top`, each with its first `max_places` places (its count still
// exact). Groups and places left out are never located, so a capped result of a large corpus
// costs the search and the per-document counts, not the whole result.
struct Selection {
  static constexpr std::uint64_t kAll = ~std::uint64_t{0};
  std::uint64_t top = kAll;
  Order order = Order::kFound;
  std::uint64_t min_count = 2;
  std::uint64_t max_places = kAll;
  std::uint64_t visible_chars_over = 0;

  [[nodiscard]] bool keeps_all() const {
    return top == kAll && order == Order::kFound && min_count <= 2 && max_places == kAll &&
           visible_chars_over == 0;
  }
};

// A column whose values fit 32 bits for every row but rare ones (a line or column number past
// 2^32 - 1 needs a document of 4 GiB): 4 bytes a row, the wider values kept aside by row.
class CompactColumn {
 public:
  void resize(std::size_t rows) { narrow_.resize(rows); }
  void set(std::size_t row, std::uint64_t value);
  // Sets a value the narrow entries hold and returns true; returns false for a wider one, which
  // `set` must then take (rows' narrow entries may be set from several threads, `set` from one).
  [[nodiscard]] bool set_narrow(std::size_t row, std::uint64_t value);
  [[nodiscard]] std::uint64_t operator[](std::size_t row) const;
  [[nodiscard]] std::size_t size() const { return narrow_.size(); }
  // Every row's value into `out` (of size() entries).
  void copy_to(std::span<std::uint64_t> out) const;
  void clear();

 private:
  static constexpr std::uint32_t kAside = 0xFFFFFFFFu;
  std::vector<std::uint32_t> narrow_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> aside_;  // (row, value), rows ascending
};

// Group g owns occurrence rows [first[g], first[g + 1]) and has counts[g] places in all (more
// than its rows when a selection caps them). Offsets count characters (code points)
// of the document as given; lines are split at line feeds, and lines and columns count from 1.
// The groups' texts lie end to end in one buffer: a string per group would leave millions of
// small blocks scattered among the freed records, holding their pages.
struct Matches {
  std::string texts;  // group g's: [text_ends[g - 1] (0 for g = 0), text_ends[g])
  std::vector<std::uint64_t> text_ends;
  std::vector<std::uint64_t> words;
  std::vector<std::uint64_t> chars;  // characters of the group's text
  std::vector<std::uint64_t> first{0};
  std::vector<std::uint64_t> counts;
  std::vector<std::uint32_t> document;
  std::vector<std::uint64_t> start;
  std::vector<std::uint64_t> end;
  CompactColumn line;
  CompactColumn column;
  CompactColumn end_line;  // of the last character
  CompactColumn end_column;
  // The groups and places found, before the selection.
  std::uint64_t found_groups = 0;
  std::uint64_t found_places = 0;
  // Per document: its words, those inside some occurrence (of all found), and its characters.
  std::vector<std::uint64_t> document_words;
  std::vector<std::uint64_t> covered_words;
  std::vector<std::uint64_t> document_chars;

  [[nodiscard]] std::size_t groups() const { return text_ends.size(); }
  [[nodiscard]] std::string_view text(std::size_t g) const {
    const std::uint64_t from = g == 0 ? 0 : text_ends[g - 1];
    return std::string_view(texts).substr(from, text_ends[g] - from);
  }
};

// The finder's phrases over all documents, in its order (characters descending, then count
// descending, then first occurrence), as `selection` keeps them. The text of a group is the
// finder's phrase; an occurrence ends where the phrase's last word ends in the document, also
// where its white space differs.
[[nodiscard]] Matches find_phrases(const SourceCorpus& source, const Preparation& preparation,
                                   const duplicate_finder::FinderParams& params,
                                   const Selection& selection = {});

// Passages over all documents, longest first, as `selection` keeps them; the text of a group is
// its first occurrence as the document gives it.
[[nodiscard]] Matches find_passages(const SourceCorpus& source, const Preparation& preparation,
                                    const passages::PassageParams& params,
                                    const Selection& selection = {});

namespace detail {

// The same, with the work after the finder's (or the passage search's) on `lanes`, whatever the
// corpus's size: tests take both paths on small corpora.
[[nodiscard]] Matches find_phrases(const SourceCorpus& source, const Preparation& preparation,
                                   const duplicate_finder::FinderParams& params,
                                   const Selection& selection, parallel::Lanes lanes);
[[nodiscard]] Matches find_passages(const SourceCorpus& source, const Preparation& preparation,
                                    const passages::PassageParams& params,
                                    const Selection& selection, parallel::Lanes lanes);

}  // namespace detail

}  // namespace quarnel::core::corpus
