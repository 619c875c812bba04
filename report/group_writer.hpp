#pragma once
// The command line's report rows, formatted from the result columns in one pass: a run of groups
// becomes the UTF-8 bytes of its JSON, JSON Lines, table, HTML, CSV or SARIF text, byte for byte
// what the Python writers would produce. The file names come already in the form each style
// writes them (JSON literals, HTML-escaped, CSV fields or as they are), made once per report
// rather than once per row. A group's count is its own column: a report may show fewer of its
// places than it has.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/parallel.hpp"

namespace quarnel::report {

enum class Style { kJson, kJsonLines, kPassageTable, kPhraseTable, kHtml, kCsv, kSarif };

// "json", "jsonl", "passages", "phrases", "html", "csv" or "sarif"; any other name is a
// UsageError.
Style parse_style(std::string_view name);

// The occurrence columns in the order the Python layer passes them.
enum Column : std::size_t {
  kFirst,
  kWords,
  kChars,
  kDocument,
  kStart,
  kEnd,
  kLine,
  kColumn,
  kEndLine,
  kEndColumn,
  kCount,  // per group: its places, of which the rows may be fewer
  kColumnCount
};

struct Columns {
  std::array<std::span<const std::int64_t>, kColumnCount> values;

  [[nodiscard]] std::int64_t at(Column c, std::int64_t row) const {
    return values[c][static_cast<std::size_t>(row)];
  }
};

// Checks the columns fit together: `first` has one more entry than there are groups and ends at
// the row count that every occurrence column has. UsageError otherwise.
void check_columns(const Columns& columns, std::size_t groups);

// What the writer reads besides the columns, by character offsets; strings come back as UTF-8,
// either the source's own memory or written into `scratch`. With two lanes two writers read at
// once: the methods must not change shared state.
class Texts {
 public:
  virtual ~Texts() = default;
  // Characters of group g's text, and [begin, end) of them clamped as slicing does.
  virtual std::int64_t text_length(std::size_t g) = 0;
  virtual std::string_view text(std::size_t g, std::int64_t begin, std::int64_t end,
                                std::string& scratch) = 0;
  // Document d's name in the form the style writes it.
  virtual std::string_view name(std::size_t d) = 0;
  [[nodiscard]] virtual std::size_t name_count() const = 0;
  // The documents themselves, for the HTML cards (not given for the other styles).
  [[nodiscard]] virtual bool has_documents() const = 0;
  [[nodiscard]] virtual std::size_t document_count() const = 0;
  virtual std::int64_t document_length(std::size_t d) = 0;
  virtual std::string_view document(std::size_t d, std::int64_t begin, std::int64_t end,
                                    std::string& scratch) = 0;
};

struct Rows {
  std::vector<std::string> pieces;  // the bytes, in order
  std::size_t next;                 // the first group not written

  [[nodiscard]] std::size_t size() const;
};

// The rows of groups begin.. in `style`; they end before `end` or after about a megabyte a lane.
// `prefix` starts each JSON object (the type field of JSON Lines); for SARIF it is the noun of the
// rule ("phrase" or "passage"), and each result starts with a comma the caller drops first.
// A group whose rows are not inside the columns (`first` descending, or past the row count) is a
// UsageError when it is reached. With two lanes the first groups are written alone, and what they
// wrote for what they weigh (their rows and text) sizes two parts of the rest, written at once; the
// bytes do not depend on the lanes. Cost: linear in the bytes written.
Rows write_groups(Style style, const Columns& columns, Texts& texts, std::size_t begin,
                  std::size_t end, std::string_view prefix,
                  core::parallel::Lanes lanes = core::parallel::Lanes::one());

}  // namespace quarnel::report
