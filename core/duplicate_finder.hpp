#pragma once
// The duplicate-phrase finder: every phrase of enough words and characters that occurs at two or
// more places of a text, with its occurrences as UTF-16 offsets of the caller's source text.
//
// Stages, in pipeline order: candidate phrases cut from runs of suffix-array neighbours, removal
// of phrases contained in longer ones that occur at least as often, merging of phrases that
// follow one another (interval_merger), optional detection of long repeated blocks, translation
// of offsets through the removed ranges, conversion to UTF-16 offsets and the final order.

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "normalize.hpp"
#include "string_interner.hpp"
#include "types.hpp"

namespace quarnel::core::duplicate_finder {

// Analyses `analysis_text` and reports offsets into `source_text`, which `analysis_text` was made
// from by deleting `removed_ranges` (empty when both are the same text). Results are ordered by
// phrase length in code points, longest first; the same input always gives the same output.
[[nodiscard]] std::vector<types::PhraseResult> process_test_string(
    std::string_view analysis_text, std::string_view source_text,
    std::span<const normalize::RemovedRange> removed_ranges, const types::FinderParams& params);

// ---- Stages, callable one by one so that each can be checked against its own rules. ----

// The analysis text with everything the stages look up in it. Words need no lists: a word starts
// wherever a word byte follows a non-word byte and ends where a non-word byte (or the end of the
// text) follows a word byte, exactly the tokenizer's word starts and ends.
// `Idx` is the entry type of the suffix array and the LCP array: 32 bits halve the memory
// traffic of every stage on texts below 4 GiB.
template <class Idx>
struct BasicAnalysisIndex {
  std::string_view text;
  std::span<const Idx> suffix_array;
  std::span<const Idx> lcp;
  std::span<const std::uint64_t> sentence_boundaries;  // ascending byte offsets
};
using AnalysisIndex = BasicAnalysisIndex<std::uint64_t>;

// Every run of neighbours sharing at least the phrase threshold is cut, at each of its word
// starts, into whitespace-normalised phrases of min_words..max_words words that stay inside one
// sentence and within the run's longest shared prefix. Phrases seen at two or more offsets
// become records, ordered by byte length descending, then first start ascending, and filtered by
// min_words_in_substring. `hash_key` only seeds the phrase table; the result does not depend on
// it.
[[nodiscard]] std::vector<types::PhraseData> find_candidate_phrases(
    const AnalysisIndex& index, const types::FinderParams& params,
    const string_interner::HashKey& hash_key);

// Drops every record whose phrase occurs (byte-wise) inside the phrase of an earlier, not yet
// dropped record with at least its count. Expects records ordered by byte length descending.
[[nodiscard]] std::vector<types::PhraseData> eliminate_contained_phrases(
    std::vector<types::PhraseData> records);

// find_candidate_phrases followed by eliminate_contained_phrases (when it yields two or more
// records), without building records for the eliminated phrases.
[[nodiscard]] std::vector<types::PhraseData> find_uncontained_candidates(
    const AnalysisIndex& index, const types::FinderParams& params,
    const string_interner::HashKey& hash_key);

// Finds repeated blocks of block_minimum..block_cap bytes, drops the records whose occurrences
// all lie inside blocks, and appends one record per block (longest first, then by first offset).
[[nodiscard]] std::vector<types::PhraseData> detect_blocks(std::vector<types::PhraseData> records,
                                                           const AnalysisIndex& index,
                                                           const types::FinderParams& params);

// The covered intervals of block selection (and of dropping the phrases inside the chosen
// blocks), for the one question asked of them: whether the last interval (ordered by start, then
// end) that starts at or before `start` reaches `end`.
// Starts are text offsets, so a bitmap with two summary levels finds the nearest start at or
// before an offset, and the largest end of each start is kept by start.
class CoveredIntervals {
 public:
  explicit CoveredIntervals(std::uint64_t text_length);
  void add(std::uint64_t start, std::uint64_t end);
  [[nodiscard]] bool covers(std::uint64_t start, std::uint64_t end) const;

 private:
  static std::uint64_t bit(std::uint64_t i) { return std::uint64_t{1} << (i & 63); }
  // The largest marked index <= i in `level`, looking no further back than its word.
  static std::optional<std::uint64_t> in_word(const std::vector<std::uint64_t>& level,
                                              std::uint64_t i) {
    if ((i >> 6) >= level.size()) return std::nullopt;
    const std::uint64_t word = level[i >> 6] & (bit(i) | (bit(i) - 1));
    if (word == 0) return std::nullopt;
    return (i & ~std::uint64_t{63}) + 63 - static_cast<std::uint64_t>(std::countl_zero(word));
  }
  [[nodiscard]] std::optional<std::uint64_t> last_start_at_or_before(std::uint64_t p) const;
  [[nodiscard]] std::optional<std::uint64_t> last_group_at_or_before(std::uint64_t g) const;

  // The largest end of each start: open addressing with linear probing, starts mixed under the
  // process's secret key, so that no text can make its offsets collide.
  class EndByStart {
   public:
    EndByStart();
    // Returns whether `start` is new.
    bool raise(std::uint64_t start, std::uint64_t end);
    [[nodiscard]] std::uint64_t at(std::uint64_t start) const;  // `start` was raised

   private:
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};  // never a start: see add()
    struct Slot {
      std::uint64_t start = kEmpty;
      std::uint64_t end = 0;
    };
    [[nodiscard]] std::size_t home(std::uint64_t start) const;
    void grow();

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
    string_interner::HashKey key_;
  };

  std::vector<std::uint64_t> level0_, level1_, level2_;  // starts; non-empty words; groups
  EndByStart end_of_;
};

// Maps every start and end from the analysis text to the source text.
void translate_offsets(std::vector<types::PhraseData>& records,
                       std::span<const normalize::RemovedRange> removed_ranges);

// Byte offset of the source text -> UTF-16 code units before the first character that starts at
// or after it. Offsets past the text pass through unchanged.
class Utf16PositionTable {
 public:
  explicit Utf16PositionTable(std::string_view source);
  [[nodiscard]] std::uint64_t operator()(std::uint64_t byte_offset) const;
  // Requests the memory a later lookup of `byte_offset` reads.
  void prefetch(std::uint64_t byte_offset) const;
  [[nodiscard]] static bool is_ascii(std::string_view bytes);

 private:
  // One checkpoint per block of bytes; a lookup counts the rest of its block unless the block
  // is ASCII. No checkpoints at all when the whole text is ASCII.
  static constexpr std::size_t kBlockShift = 6;
  static constexpr std::uint64_t kAsciiBlock = std::uint64_t{1} << 63;
  std::string_view source_;
  std::vector<std::uint64_t> checkpoints_;
};

// Converts records to results in UTF-16 offsets of `source_text` and sorts them stably by
// phrase length in code points, descending.
[[nodiscard]] std::vector<types::PhraseResult> to_sorted_results(
    std::vector<types::PhraseData> records, std::string_view source_text);

// Whitespace normalisation of a phrase: every run of Unicode white space becomes one space,
// leading and trailing white space is dropped.
[[nodiscard]] std::string normalize_phrase(std::string_view raw);

}  // namespace quarnel::core::duplicate_finder
