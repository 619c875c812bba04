// The command line's report rows, formatted from the result columns in one native pass: a run
// of groups becomes the UTF-8 bytes of its JSON, JSON Lines, table, HTML, CSV or SARIF text,
// byte for byte what the Python writers would produce, without one Python object per row. The
// file names come already in the form each style writes them (JSON literals, HTML-escaped,
// CSV fields or as they are), made once per report rather than once per row. A group's count
// is its own column: a report may show fewer of its places than it has.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "base/swar.hpp"
#include "buffers.hpp"
#include "converters.hpp"
#include "corpus_module.hpp"
#include "report_text.hpp"
#include "results.hpp"
#include "text/utf.hpp"

namespace quarnel::python {
namespace {

namespace text = core::report_text;

constexpr std::size_t kChunkBytes = std::size_t{1} << 20;  // a call returns after about this much
constexpr std::size_t kTextWidth = 60;  // table previews of a group's text
constexpr std::size_t kHtmlTextWidth = 100;
constexpr std::size_t kShownPlaces = 8;  // per phrase in the phrase table
constexpr std::int64_t kHtmlCards = 6;  // occurrences shown in context per group
constexpr std::int64_t kHtmlListed = 100;  // places listed after the cards
constexpr std::int64_t kHtmlContext = 160;  // characters of context on each side
constexpr std::int64_t kHtmlMarkLimit = 1200;  // longer occurrences show their two ends
constexpr std::int64_t kHtmlMarkEnd = 500;

enum class Style { kJson, kJsonLines, kPassageTable, kPhraseTable, kHtml, kCsv, kSarif };

Style to_style(const BoundArgs& args, std::size_t i) {
  const std::string_view name = to_text(args, i);
  if (name == "json") return Style::kJson;
  if (name == "jsonl") return Style::kJsonLines;
  if (name == "passages") return Style::kPassageTable;
  if (name == "phrases") return Style::kPhraseTable;
  if (name == "html") return Style::kHtml;
  if (name == "csv") return Style::kCsv;
  if (name == "sarif") return Style::kSarif;
  raise_value_error("style must be json, jsonl, passages, phrases, html, csv or sarif, not " +
                    std::string(name));
}

// Characters a block of the str's units holds, or 0 where blocks are not tried.
template <class Char>
constexpr Py_ssize_t kBlockChars = sizeof(Char) == 1 ? 8 : sizeof(Char) == 2 ? 4 : 0;

// Copies the block at `chars` as bytes when every character of it is ASCII.
template <class Char>
bool copy_ascii_block(const Char* chars, unsigned char*& p) {
  const std::uint64_t w = core::swar::load8(chars);
  if constexpr (sizeof(Char) == 1) {
    if ((w & core::swar::kHighBits) != 0) return false;
    std::memcpy(p, &w, 8);
  } else {
    if ((w & 0xFF80'FF80'FF80'FF80ULL) != 0) return false;
    for (int k = 0; k < 4; ++k) p[k] = static_cast<unsigned char>(w >> (16 * k));
  }
  p += kBlockChars<Char>;
  return true;
}

// Lone surrogates U+DC80..U+DCFF become the bytes they stand for, as the report's
// surrogateescape output writes them.
void encode_char(char32_t c, unsigned char*& p) {
  if (c >= 0xD800 && c <= 0xDFFF) {
    if (c < 0xDC80 || c > 0xDCFF) raise_value_error("a text has a lone surrogate");
    *p++ = static_cast<unsigned char>(c - 0xDC00);
    return;
  }
  p += core::utf::encode_utf8(c, reinterpret_cast<char*>(p));
}

// Appends the characters in UTF-8: mostly-ASCII text a block at a time, a block with any other
// character one by one.
template <class Char>
void append_chars_utf8(std::string& out, const Char* chars, Py_ssize_t begin, Py_ssize_t end) {
  constexpr std::size_t kMostBytes = sizeof(Char) == 1 ? 2 : sizeof(Char) == 2 ? 3 : 4;
  constexpr Py_ssize_t kBlock = kBlockChars<Char>;
  const std::size_t old = out.size();
  out.resize(old + static_cast<std::size_t>(end - begin) * kMostBytes);
  auto* p = reinterpret_cast<unsigned char*>(out.data() + old);
  Py_ssize_t i = begin;
  while (i < end) {
    if constexpr (kBlock > 0) {
      if (i + kBlock <= end && copy_ascii_block(chars + i, p)) {
        i += kBlock;
        continue;
      }
    }
    for (const Py_ssize_t stop = std::min(end, i + std::max<Py_ssize_t>(kBlock, 1)); i < stop;
         ++i) {
      encode_char(static_cast<char32_t>(chars[i]), p);
    }
  }
  out.resize(static_cast<std::size_t>(reinterpret_cast<char*>(p) - out.data()));
}

// The UTF-8 bytes of str[begin:end], clamped as slicing does: the str's own memory when it is
// ASCII, else encoded into `scratch`.
std::string_view str_utf8(PyObject* str, Py_ssize_t begin, Py_ssize_t end, std::string& scratch) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
  begin = std::clamp<Py_ssize_t>(begin, 0, length);
  end = std::clamp<Py_ssize_t>(end, begin, length);
  const void* data = PyUnicode_DATA(str);
  if (PyUnicode_IS_ASCII(str)) {
    return {static_cast<const char*>(data) + begin, static_cast<std::size_t>(end - begin)};
  }
  scratch.clear();
  visit_chars(str, [&](const auto* chars) { append_chars_utf8(scratch, chars, begin, end); });
  return scratch;
}

// A list of str or of bytes; held for the call.
struct Items {
  PyRef list;
  std::span<PyObject* const> items;

  Items(PyObject* obj, const char* what) {
    list = checked(PySequence_Fast(obj, what));
    items = {PySequence_Fast_ITEMS(list.get()),
             static_cast<std::size_t>(PySequence_Fast_GET_SIZE(list.get()))};
  }

  [[nodiscard]] PyObject* str(std::size_t i, const char* what) const {
    PyObject* item = items[i];
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "%s %zu is %.100s, not str", what, i, Py_TYPE(item)->tp_name);
      throw PythonErrorSet{};
    }
    return item;
  }
};

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
  std::array<HeldBuffer, kColumnCount> held;
  std::array<std::span<const std::int64_t>, kColumnCount> values;

  [[nodiscard]] std::int64_t at(Column c, std::int64_t row) const {
    return values[c][static_cast<std::size_t>(row)];
  }
};

bool is_8_byte_integer(const Py_buffer& view) {
  const std::string_view format = view.format == nullptr ? "" : view.format;
  return view.ndim == 1 && view.itemsize == 8 && !format.empty() &&
         std::string_view("qQlLnN").find(format.back()) != std::string_view::npos &&
         format.front() != '>' && format.front() != '!';
}

// Checks the columns fit together: `first` has one more entry than there are groups and ends at
// the row count that every occurrence column has.
void read_columns(PyObject* tuple, std::size_t groups, Columns& columns) {
  Items items(tuple, "columns: expected a sequence of arrays");
  if (items.items.size() != kColumnCount) raise_value_error("columns: expected 11 arrays");
  for (std::size_t c = 0; c < kColumnCount; ++c) {
    columns.held[c].acquire(items.items[c]);
    const Py_buffer& view = columns.held[c].view();
    if (!is_8_byte_integer(view)) raise_value_error("columns: expected 1-d 8-byte integer arrays");
    columns.values[c] = {static_cast<const std::int64_t*>(view.buf),
                         static_cast<std::size_t>(view.shape[0])};
  }
  const auto first = columns.values[kFirst];
  if (first.size() != groups + 1 || first.back() < 0) {
    raise_value_error("columns: first must have one entry per group and one more");
  }
  const auto rows = static_cast<std::size_t>(first.back());
  for (const Column c : {kDocument, kStart, kEnd, kLine, kColumn, kEndLine, kEndColumn}) {
    if (columns.values[c].size() != rows) raise_value_error("columns: row counts differ");
  }
  for (const Column c : {kWords, kChars, kCount}) {
    if (columns.values[c].size() != groups) raise_value_error("columns: group counts differ");
  }
}

// The rows of groups begin..end are inside the columns: `first` ascends over them from 0 or more
// to the row count or less.
void check_group_rows(const Columns& columns, std::size_t begin, std::size_t end) {
  const auto first = columns.values[kFirst];
  bool ascending = first[begin] >= 0 && first[end] <= first.back();
  for (std::size_t g = begin; g < end && ascending; ++g) ascending = first[g] <= first[g + 1];
  if (!ascending) raise_value_error("columns: first must be ascending from 0 to the row count");
}

class ReportWriter {
 public:
  ReportWriter(const Columns& columns, const Items& names, const Items& texts,
               const Items* documents)
      : columns_(columns), names_(names), texts_(texts), documents_(documents) {
    out_.reserve(kChunkBytes + kChunkBytes / 4);  // most chunks end within a quarter more
  }

  void json_group(std::int64_t g, std::string_view prefix) {
    out_ += '{';
    out_ += prefix;
    out_ += "\"text\":";
    text::append_json_string(out_, str_utf8(text(g), 0, PY_SSIZE_T_MAX, scratch_));
    append_field(",\"count\":", count(g));
    append_field(",\"words\":", columns_.at(kWords, g));
    append_field(",\"chars\":", columns_.at(kChars, g));
    out_ += ",\"occurrences\":[";
    for (std::int64_t r = row(g); r < row(g + 1); ++r) {
      out_ += r > row(g) ? ",{\"file\":" : "{\"file\":";
      out_ += name(document(r));
      text::ShortText fields;
      fields << ",\"document\":" << columns_.at(kDocument, r) << ",\"start\":"
             << columns_.at(kStart, r) << ",\"end\":" << columns_.at(kEnd, r) << ",\"line\":"
             << columns_.at(kLine, r) << ",\"column\":" << columns_.at(kColumn, r)
             << ",\"end_line\":" << columns_.at(kEndLine, r)
             << ",\"end_column\":" << columns_.at(kEndColumn, r) << '}';
      out_ += fields.view();
    }
    out_ += "]}";
  }

  // "  words  count  text" then one indented place a line.
  void passage_table_group(std::int64_t g) {
    text::append_int_padded(out_, columns_.at(kWords, g), 7);
    out_ += "  ";
    text::append_int_padded(out_, count(g), 5);
    out_ += "  ";
    append_flat_text(g, kTextWidth);
    out_ += '\n';
    for (std::int64_t r = row(g); r < row(g + 1); ++r) {
      out_.append(16, ' ');
      append_place(r, true, "\n");
    }
    if (count(g) > rows(g)) {
      out_.append(16, ' ');
      out_ += "+";
      text::append_grouped(out_, count(g) - rows(g));
      out_ += " more places\n";
    }
  }

  // "  chars  count  words  text  places", the first few places on the line.
  void phrase_table_group(std::int64_t g) {
    text::append_int_padded(out_, columns_.at(kChars, g), 7);
    out_ += "  ";
    text::append_int_padded(out_, count(g), 5);
    out_ += "  ";
    text::append_int_padded(out_, columns_.at(kWords, g), 5);
    out_ += "  ";
    const std::size_t shown_chars = append_flat_text(g, kTextWidth);
    out_.append(kTextWidth - shown_chars, ' ');
    out_ += "  ";
    const std::int64_t shown = std::min<std::int64_t>(rows(g), kShownPlaces);
    for (std::int64_t r = row(g); r < row(g) + shown; ++r) {
      if (r > row(g)) out_ += ", ";
      append_place(r, false);
    }
    if (count(g) > shown) {
      out_ += ", +";
      text::append_int(out_, count(g) - shown);
      out_ += " more";
    }
    out_ += '\n';
  }

  // A <details> block: the first occurrences in context, then the next ones listed.
  void html_group(std::int64_t g) {
    const std::int64_t n = count(g);
    out_ += "<details class=\"group\" id=\"g";
    text::append_int(out_, g);
    out_ += "\"><summary><b>";
    text::append_grouped(out_, columns_.at(kWords, g));
    out_ += " words</b>, ";
    text::append_grouped(out_, n);
    out_ += " places <span class=\"meta\">";
    flat_.clear();
    append_flat_text_to(flat_, g, kHtmlTextWidth);
    text::append_html_escaped(out_, flat_);
    out_ += "</span></summary><div class=\"cards\">";
    const std::int64_t cards_end = row(g) + std::min(rows(g), kHtmlCards);
    for (std::int64_t r = row(g); r < cards_end; ++r) html_card(r);
    out_ += "</div>";
    if (n > cards_end - row(g)) html_more(g, cards_end);
    out_ += "</details>\n";
  }

  // One line per place: group, count, words, chars, file, document, start, end, line,
  // column, end_line, end_column, text; the text only on a group's first line, as a group
  // shared by many files would otherwise repeat it on each.
  void csv_group(std::int64_t g) {
    for (std::int64_t r = row(g); r < row(g + 1); ++r) {
      text::ShortText head;
      head << g << ',' << count(g) << ',' << columns_.at(kWords, g) << ','
           << columns_.at(kChars, g) << ',';
      out_ += head.view();
      out_ += name(document(r));
      text::ShortText fields;
      fields << ',' << columns_.at(kDocument, r) << ',' << columns_.at(kStart, r) << ','
             << columns_.at(kEnd, r) << ',' << columns_.at(kLine, r) << ','
             << columns_.at(kColumn, r) << ',' << columns_.at(kEndLine, r) << ','
             << columns_.at(kEndColumn, r) << ',';
      out_ += fields.view();
      if (r == row(g)) append_csv_field(str_utf8(text(g), 0, PY_SSIZE_T_MAX, scratch_));
      out_ += "\r\n";
    }
  }

  // A SARIF result for each place after a group's first, which is its related location. Each
  // result starts with a comma; the caller drops the report's first.
  void sarif_group(std::int64_t g, std::string_view noun) {
    if (rows(g) < 2) return;
    flat_.clear();
    append_flat_text_to(flat_, g, kTextWidth);
    std::string message = "Repeated " + std::string(noun) + " of ";
    text::append_grouped(message, columns_.at(kWords, g));
    message += " words, ";
    text::append_grouped(message, count(g));
    message += " places; the first is [here](1): ";
    message += flat_;
    for (std::int64_t r = row(g) + 1; r < row(g + 1); ++r) {
      out_ += ",\n{\"ruleId\":\"repeated-";
      out_ += noun;
      out_ += "\",\"level\":\"warning\",\"message\":{\"text\":";
      text::append_json_string(out_, message);
      out_ += "},\"locations\":[";
      append_sarif_location(r);
      out_ += "}],\"relatedLocations\":[{\"id\":1,";
      append_sarif_location(row(g), false);
      out_ += ",\"message\":{\"text\":\"the first place\"}}]}";
    }
  }

  [[nodiscard]] std::string& out() { return out_; }
  [[nodiscard]] bool full() const { return out_.size() >= kChunkBytes; }

 private:
  [[nodiscard]] std::int64_t row(std::int64_t g) const { return columns_.at(kFirst, g); }
  [[nodiscard]] std::int64_t count(std::int64_t g) const { return columns_.at(kCount, g); }
  [[nodiscard]] std::int64_t rows(std::int64_t g) const { return row(g + 1) - row(g); }
  [[nodiscard]] PyObject* text(std::int64_t g) const {
    return texts_.str(static_cast<std::size_t>(g), "texts: item");
  }

  [[nodiscard]] std::size_t document(std::int64_t r) const {
    const std::int64_t d = columns_.at(kDocument, r);
    if (d < 0 || static_cast<std::size_t>(d) >= names_.items.size() ||
        (documents_ != nullptr && static_cast<std::size_t>(d) >= documents_->items.size())) {
      raise_value_error("columns: a document number is out of range");
    }
    return static_cast<std::size_t>(d);
  }

  // "physicalLocation": file and region; SARIF's end column is the one after the last character.
  void append_sarif_location(std::int64_t r, bool open = true) {
    if (open) out_ += '{';
    out_ += "\"physicalLocation\":{\"artifactLocation\":{\"uri\":";
    out_ += name(document(r));
    text::ShortText region;
    region << "},\"region\":{\"startLine\":" << columns_.at(kLine, r) << ",\"startColumn\":"
           << columns_.at(kColumn, r) << ",\"endLine\":" << columns_.at(kEndLine, r)
           << ",\"endColumn\":" << columns_.at(kEndColumn, r) + 1 << "}}";
    out_ += region.view();
  }

  // A CSV field: quoted, its quotes doubled, when it holds a comma, a quote or a line break.
  void append_csv_field(std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
      out_ += field;
      return;
    }
    out_ += '"';
    for (const char c : field) {
      if (c == '"') out_ += '"';
      out_ += c;
    }
    out_ += '"';
  }

  void append_field(std::string_view key, std::int64_t value) {
    out_ += key;
    text::append_int(out_, value);
  }

  // The name of document d in the form the style writes it.
  [[nodiscard]] std::string_view name(std::size_t d) const {
    PyObject* item = names_.items[d];
    if (!PyBytes_Check(item)) {
      PyErr_Format(PyExc_TypeError, "names: item %zu is %.100s, not bytes", d,
                   Py_TYPE(item)->tp_name);
      throw PythonErrorSet{};
    }
    return {PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item))};
  }

  // name:line:column, with -end_line:end_column when `with_end`, then `after`. In HTML the
  // name is escaped already and the rest needs no escape.
  void append_place(std::int64_t r, bool with_end, std::string_view after = {}) {
    out_ += name(document(r));
    text::ShortText numbers;
    numbers << ':' << columns_.at(kLine, r) << ':' << columns_.at(kColumn, r);
    if (with_end) numbers << '-' << columns_.at(kEndLine, r) << ':' << columns_.at(kEndColumn, r);
    numbers << after;
    out_ += numbers.view();
  }

  // The preview of a group's text. Its start is tried first: a long text is cut within it, so
  // only a text mostly of white space has the rest of its first width * 8 characters encoded.
  std::size_t append_flat_text_to(std::string& out, std::int64_t g, std::size_t width) {
    PyObject* str = text(g);
    const Py_ssize_t whole =
        std::min(PyUnicode_GET_LENGTH(str), static_cast<Py_ssize_t>(width * 8));
    const Py_ssize_t start = std::min(whole, static_cast<Py_ssize_t>(width * 2 + 2));
    const std::size_t mark = out.size();
    text::FlatPreview preview = text::append_flat(out, str_utf8(str, 0, start, head_), width);
    if (!preview.cut && start < whole) {
      out.resize(mark);
      preview = text::append_flat(out, str_utf8(str, 0, whole, head_), width);
    }
    return preview.chars;
  }

  std::size_t append_flat_text(std::int64_t g, std::size_t width) {
    return append_flat_text_to(out_, g, width);
  }

  // document[begin:end], HTML-escaped.
  void append_escaped_slice(PyObject* doc, std::int64_t begin, std::int64_t end) {
    const std::string_view slice =
        str_utf8(doc, static_cast<Py_ssize_t>(begin), static_cast<Py_ssize_t>(end), scratch_);
    text::append_html_escaped(out_, slice);
  }

  void html_card(std::int64_t r) {
    const std::size_t d = document(r);
    const std::int64_t start = columns_.at(kStart, r);
    const std::int64_t end = columns_.at(kEnd, r);
    PyObject* doc = documents_->str(d, "documents: item");
    if (start < 0 || end < start || end > PyUnicode_GET_LENGTH(doc)) {
      raise_value_error("columns: an occurrence is outside its document");
    }
    out_ += "<div class=\"card\"><h3>";
    append_place(r, true);
    out_ += "</h3><pre class=\"occurrence\" data-document=\"";
    text::append_int(out_, static_cast<std::int64_t>(d));
    append_field("\" data-start=\"", start);
    append_field("\" data-end=\"", end);
    out_ += "\">";
    append_escaped_slice(doc, std::max<std::int64_t>(0, start - kHtmlContext), start);
    if (end - start <= kHtmlMarkLimit) {
      out_ += "<mark>";
      append_escaped_slice(doc, start, end);
      out_ += "</mark>";
    } else {
      out_ += "<mark>";
      append_escaped_slice(doc, start, start + kHtmlMarkEnd);
      out_ += "</mark><span class=\"gap\">[\u2026 ";
      text::append_grouped(out_, end - start - 2 * kHtmlMarkEnd);
      out_ += " characters \u2026]</span><mark>";
      append_escaped_slice(doc, end - kHtmlMarkEnd, end);
      out_ += "</mark>";
    }
    append_escaped_slice(doc, end, end + kHtmlContext);
    out_ += "</pre></div>";
  }

  void html_more(std::int64_t g, std::int64_t listed_begin) {
    out_ += "<p>";
    text::append_grouped(out_, count(g) - (listed_begin - row(g)));
    out_ += " more places:</p><ul class=\"more\">";
    const std::int64_t listed_end = std::min(row(g + 1), listed_begin + kHtmlListed);
    for (std::int64_t r = listed_begin; r < listed_end; ++r) {
      out_ += "<li>";
      append_place(r, true, "</li>");
    }
    if (row(g) + count(g) > listed_end) {
      out_ += "<li>\u2026 and ";
      text::append_grouped(out_, row(g) + count(g) - listed_end);
      out_ += " more (all are in --format json)</li>";
    }
    out_ += "</ul>";
  }

  const Columns& columns_;
  const Items& names_;
  const Items& texts_;
  const Items* documents_;
  std::string out_;
  std::string scratch_;  // a text encoded before it is escaped
  std::string head_;  // the start of a group's text before it is flattened
  std::string flat_;  // a flattened text before it is escaped
};

PyObject* format_groups(PyObject*, const BoundArgs& args) {
  const Style style = to_style(args, 0);
  const Items names(args[2], "names: expected a list of bytes");
  const Items texts(args[3], "texts: expected a list of str");
  Columns columns;
  read_columns(args[1], texts.items.size(), columns);
  std::optional<Items> documents;
  if (style == Style::kHtml) documents.emplace(args[4], "documents: expected a list of str");
  const std::uint64_t begin = to_unsigned_index(args, 5);
  const std::uint64_t end = to_unsigned_index(args, 6);
  if (begin > end || end > texts.items.size()) raise_value_error("groups: range out of bounds");
  check_group_rows(columns, begin, end);
  const std::string_view prefix = to_text(args, 7);

  ReportWriter writer(columns, names, texts, documents ? &*documents : nullptr);
  auto g = static_cast<std::int64_t>(begin);
  for (; g < static_cast<std::int64_t>(end) && !writer.full(); ++g) {
    switch (style) {
      case Style::kJson:
        writer.out() += g == 0 ? "\n" : ",\n";
        writer.json_group(g, prefix);
        break;
      case Style::kJsonLines:
        writer.json_group(g, prefix);
        writer.out() += '\n';
        break;
      case Style::kPassageTable:
        writer.passage_table_group(g);
        break;
      case Style::kPhraseTable:
        writer.phrase_table_group(g);
        break;
      case Style::kHtml:
        writer.html_group(g);
        break;
      case Style::kCsv:
        writer.csv_group(g);
        break;
      case Style::kSarif:
        writer.sarif_group(g, prefix);
        break;
    }
  }
  PyRef data = py_bytes(writer.out());
  return py_pair(std::move(data), py_int(static_cast<std::uint64_t>(g))).release();
}

}  // namespace

const FunctionDescriptor kFormatGroups =
    describe("_format_groups",
             {{"style"},
              {"columns"},
              {"names"},
              {"texts"},
              {"documents"},
              {"start"},
              {"end"},
              {"prefix"}},
             "Report rows (json, jsonl, passages, phrases, html, csv or sarif) of groups from "
             "start on, as "
             "UTF-8 bytes, and the group after them: they end at end or after about a megabyte.",
             format_groups);

}  // namespace quarnel::python
