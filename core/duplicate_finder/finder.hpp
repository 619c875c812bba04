#pragma once
// The duplicate-phrase finder: every phrase of enough words and characters that occurs at two or
// more places of a text, with its occurrences as UTF-16 offsets of the caller's source text.
// The stages live in duplicate_finder/ (see DESIGN.md there); the seams the tests use are in
// duplicate_finder/detail.hpp.

#include <span>
#include <string_view>
#include <vector>

#include "duplicate_finder/documents.hpp"
#include "duplicate_finder/params.hpp"
#include "duplicate_finder/phrase_records.hpp"
#include "text/normalize.hpp"

namespace quarnel::core::duplicate_finder {

// Analyses `analysis_text` and reports offsets into `source_text`, which `analysis_text` was made
// from by deleting `removed_ranges` (empty when both are the same text). Results are ordered by
// phrase length in code points, longest first; the same input always gives the same output.
// On texts of a megabyte or more a second thread takes part, unless QUARNEL_NUM_THREADS=1.
[[nodiscard]] std::vector<phrase_records::PhraseResult> process_test_string(
    std::string_view analysis_text, std::string_view source_text,
    std::span<const normalize::RemovedRange> removed_ranges, const FinderParams& params);

// Stages 1 to 10 over documents joined in `analysis_text` as `documents` describes (separated by
// kDocumentSeparator): merged records, blocks appended when asked for, with every occurrence
// inside one document, in analysis-text byte offsets; ends are start + phrase bytes as in the
// single-text finder. Records come in merge order (count descending, first start ascending).
[[nodiscard]] std::vector<phrase_records::PhraseData> find_document_records(
    std::string_view analysis_text, const DocumentLayout& documents, const FinderParams& params);

}  // namespace quarnel::core::duplicate_finder
