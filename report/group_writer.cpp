#include "group_writer.hpp"

#include <algorithm>

#include "base/errors.hpp"
#include "html_page.hpp"
#include "report_text.hpp"

namespace quarnel::report {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{1} << 20;  // a call returns after about this much
constexpr std::size_t kTextWidth = 60;                     // table previews of a group's text
constexpr std::size_t kShownPlaces = 8;                    // per phrase in the phrase table

[[noreturn]] void usage_error(std::string message) {
  throw core::UsageError(std::move(message));
}

class GroupWriter {
 public:
  GroupWriter(const Columns& columns, Texts& texts, std::size_t expected)
      : columns_(columns), texts_(texts) {
    out_.reserve(expected + expected / 4);  // most chunks end within a quarter more
  }

  void json_group(std::int64_t g, std::string_view prefix) {
    out_ += '{';
    out_ += prefix;
    out_ += "\"text\":";
    append_json_string(out_, texts_.text(group(g), 0, texts_.text_length(group(g)), scratch_));
    append_field(",\"count\":", count(g));
    append_field(",\"words\":", columns_.at(kWords, g));
    append_field(",\"chars\":", columns_.at(kChars, g));
    out_ += ",\"occurrences\":[";
    for (std::int64_t r = row(g); r < row(g + 1); ++r) {
      out_ += r > row(g) ? ",{\"file\":" : "{\"file\":";
      out_ += texts_.name(document(r));
      ShortText fields;
      fields << ",\"document\":" << columns_.at(kDocument, r)
             << ",\"start\":" << columns_.at(kStart, r) << ",\"end\":" << columns_.at(kEnd, r)
             << ",\"line\":" << columns_.at(kLine, r) << ",\"column\":" << columns_.at(kColumn, r)
             << ",\"end_line\":" << columns_.at(kEndLine, r)
             << ",\"end_column\":" << columns_.at(kEndColumn, r) << '}';
      out_ += fields.view();
    }
    out_ += "]}";
  }

  // "  words  count  text" then one indented place a line.
  void passage_table_group(std::int64_t g) {
    append_int_padded(out_, columns_.at(kWords, g), 7);
    out_ += "  ";
    append_int_padded(out_, count(g), 5);
    out_ += "  ";
    append_flat_text(out_, g, kTextWidth);
    out_ += '\n';
    for (std::int64_t r = row(g); r < row(g + 1); ++r) {
      out_.append(16, ' ');
      append_place(r, true, "\n");
    }
    if (count(g) > rows(g)) {
      out_.append(16, ' ');
      out_ += "+";
      append_grouped(out_, count(g) - rows(g));
      out_ += " more places\n";
    }
  }

  // "  chars  count  words  text  places", the first few places on the line.
  void phrase_table_group(std::int64_t g) {
    append_int_padded(out_, columns_.at(kChars, g), 7);
    out_ += "  ";
    append_int_padded(out_, count(g), 5);
    out_ += "  ";
    append_int_padded(out_, columns_.at(kWords, g), 5);
    out_ += "  ";
    const std::size_t shown_chars = append_flat_text(out_, g, kTextWidth);
    out_.append(kTextWidth - shown_chars, ' ');
    out_ += "  ";
    const std::int64_t shown = std::min<std::int64_t>(rows(g), kShownPlaces);
    for (std::int64_t r = row(g); r < row(g) + shown; ++r) {
      if (r > row(g)) out_ += ", ";
      append_place(r, false);
    }
    if (count(g) > shown) {
      out_ += ", +";
      append_int(out_, count(g) - shown);
      out_ += " more";
    }
    out_ += '\n';
  }

  // A <details> block: the first occurrences in context, then the next ones listed.
  void html_group(std::int64_t g) {
    const std::int64_t n = count(g);
    out_ += "<details class=\"group\" id=\"g";
    append_int(out_, g);
    out_ += "\"><summary><b>";
    append_grouped(out_, columns_.at(kWords, g));
    out_ += " words</b>, ";
    append_grouped(out_, n);
    out_ += " places <span class=\"meta\">";
    flat_.clear();
    append_flat_text(flat_, g, html::kTextWidth);
    append_html_escaped(out_, flat_);
    out_ += "</span></summary><div class=\"cards\">";
    const std::int64_t cards_end = row(g) + std::min(rows(g), html::kCards);
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
      ShortText head;
      head << g << ',' << count(g) << ',' << columns_.at(kWords, g) << ',' << columns_.at(kChars, g)
           << ',';
      out_ += head.view();
      out_ += texts_.name(document(r));
      ShortText fields;
      fields << ',' << columns_.at(kDocument, r) << ',' << columns_.at(kStart, r) << ','
             << columns_.at(kEnd, r) << ',' << columns_.at(kLine, r) << ','
             << columns_.at(kColumn, r) << ',' << columns_.at(kEndLine, r) << ','
             << columns_.at(kEndColumn, r) << ',';
      out_ += fields.view();
      if (r == row(g)) {
        append_csv_field(texts_.text(group(g), 0, texts_.text_length(group(g)), scratch_));
      }
      out_ += "\r\n";
    }
  }

  // A SARIF result for each place after a group's first, which is its related location. Each
  // result starts with a comma; the caller drops the report's first. What every result of the
  // group shares (its message, the related location) is written once, then copied.
  void sarif_group(std::int64_t g, std::string_view noun) {
    if (rows(g) < 2) return;
    flat_.clear();
    append_flat_text(flat_, g, kTextWidth);
    std::string message = "Repeated " + std::string(noun) + " of ";
    append_grouped(message, columns_.at(kWords, g));
    message += " words, ";
    append_grouped(message, count(g));
    message += " places; the first is [here](1): ";
    message += flat_;
    std::string head = ",\n{\"ruleId\":\"repeated-";
    head += noun;
    head += "\",\"level\":\"warning\",\"message\":{\"text\":";
    append_json_string(head, message);
    head += "},\"locations\":[";
    std::string related = "}],\"relatedLocations\":[{\"id\":1,";
    append_sarif_location(related, row(g), false);
    related += ",\"message\":{\"text\":\"the first place\"}}]}";
    for (std::int64_t r = row(g) + 1; r < row(g + 1); ++r) {
      out_ += head;
      append_sarif_location(out_, r);
      out_ += related;
    }
  }

  // The group's rows in `style`.
  void write_group(Style style, std::int64_t g, std::string_view prefix) {
    if (row(g) < 0 || row(g + 1) < row(g) || row(g + 1) > columns_.values[kFirst].back()) {
      usage_error("columns: first must be ascending from 0 to the row count");
    }
    switch (style) {
      case Style::kJson:
        out_ += g == 0 ? "\n" : ",\n";
        json_group(g, prefix);
        break;
      case Style::kJsonLines:
        json_group(g, prefix);
        out_ += '\n';
        break;
      case Style::kPassageTable:
        passage_table_group(g);
        break;
      case Style::kPhraseTable:
        phrase_table_group(g);
        break;
      case Style::kHtml:
        html_group(g);
        break;
      case Style::kCsv:
        csv_group(g);
        break;
      case Style::kSarif:
        sarif_group(g, prefix);
        break;
    }
  }

  // Groups begin.. until `end` or until `budget` bytes are passed; returns the next group.
  std::int64_t groups(Style style, std::int64_t begin, std::int64_t end, std::string_view prefix,
                      std::size_t budget) {
    std::int64_t g = begin;
    for (; g < end && out_.size() < budget; ++g) write_group(style, g, prefix);
    return g;
  }

  // About what group g writes in `style`, in rows: the places written (cards count four, a SARIF
  // group's first place none) and a row for the group itself and each 64 characters of its text.
  [[nodiscard]] std::size_t weight(Style style, std::int64_t g) {
    std::int64_t places = std::max<std::int64_t>(rows(g), 0);
    if (style == Style::kSarif) places = std::max<std::int64_t>(places - 1, 0);
    if (style == Style::kPhraseTable) places = std::min<std::int64_t>(places, kShownPlaces);
    if (style == Style::kHtml) {
      const std::int64_t cards = std::min(places, html::kCards);
      places = 4 * cards + std::min(places - cards, html::kListed);
    }
    return static_cast<std::size_t>(1 + places + texts_.text_length(group(g)) / 64);
  }

  [[nodiscard]] std::string& out() { return out_; }

 private:
  [[nodiscard]] std::int64_t row(std::int64_t g) const { return columns_.at(kFirst, g); }
  [[nodiscard]] std::int64_t count(std::int64_t g) const { return columns_.at(kCount, g); }
  [[nodiscard]] std::int64_t rows(std::int64_t g) const { return row(g + 1) - row(g); }
  [[nodiscard]] static std::size_t group(std::int64_t g) { return static_cast<std::size_t>(g); }

  [[nodiscard]] std::size_t document(std::int64_t r) const {
    const std::int64_t d = columns_.at(kDocument, r);
    if (d < 0 || static_cast<std::size_t>(d) >= texts_.name_count() ||
        (texts_.has_documents() && static_cast<std::size_t>(d) >= texts_.document_count())) {
      usage_error("columns: a document number is out of range");
    }
    return static_cast<std::size_t>(d);
  }

  // "physicalLocation": file and region; SARIF's end column is the one after the last character.
  void append_sarif_location(std::string& out, std::int64_t r, bool open = true) {
    if (open) out += '{';
    out += "\"physicalLocation\":{\"artifactLocation\":{\"uri\":";
    out += texts_.name(document(r));
    ShortText region;
    region << "},\"region\":{\"startLine\":" << columns_.at(kLine, r)
           << ",\"startColumn\":" << columns_.at(kColumn, r)
           << ",\"endLine\":" << columns_.at(kEndLine, r)
           << ",\"endColumn\":" << columns_.at(kEndColumn, r) + 1 << "}}";
    out += region.view();
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
    append_int(out_, value);
  }

  // name:line:column, with -end_line:end_column when `with_end`, then `after`. In HTML the
  // name is escaped already and the rest needs no escape.
  void append_place(std::int64_t r, bool with_end, std::string_view after = {}) {
    out_ += texts_.name(document(r));
    ShortText numbers;
    numbers << ':' << columns_.at(kLine, r) << ':' << columns_.at(kColumn, r);
    if (with_end) numbers << '-' << columns_.at(kEndLine, r) << ':' << columns_.at(kEndColumn, r);
    numbers << after;
    out_ += numbers.view();
  }

  // The preview of a group's text. Its start is tried first: a long text is cut within it, so
  // only a text mostly of white space has the rest of its first width * 8 characters read.
  std::size_t append_flat_text(std::string& out, std::int64_t g, std::size_t width) {
    const auto limit = static_cast<std::int64_t>(width);
    const std::int64_t whole = std::min(texts_.text_length(group(g)), limit * 8);
    const std::int64_t start = std::min(whole, limit * 2 + 2);
    const std::size_t mark = out.size();
    FlatPreview preview = append_flat(out, texts_.text(group(g), 0, start, head_), width);
    if (!preview.cut && start < whole) {
      out.resize(mark);
      preview = append_flat(out, texts_.text(group(g), 0, whole, head_), width);
    }
    return preview.chars;
  }

  // document[begin:end], HTML-escaped.
  void append_escaped_slice(std::size_t d, std::int64_t begin, std::int64_t end) {
    append_html_escaped(out_, texts_.document(d, begin, end, scratch_));
  }

  void html_card(std::int64_t r) {
    const std::size_t d = document(r);
    const std::int64_t start = columns_.at(kStart, r);
    const std::int64_t end = columns_.at(kEnd, r);
    if (start < 0 || end < start || end > texts_.document_length(d)) {
      usage_error("columns: an occurrence is outside its document");
    }
    out_ += "<div class=\"card\"><h3>";
    append_place(r, true);
    out_ += "</h3><pre class=\"occurrence\" data-document=\"";
    append_int(out_, static_cast<std::int64_t>(d));
    append_field("\" data-start=\"", start);
    append_field("\" data-end=\"", end);
    out_ += "\">";
    append_escaped_slice(d, std::max<std::int64_t>(0, start - html::kContext), start);
    if (end - start <= html::kMarkLimit) {
      out_ += "<mark>";
      append_escaped_slice(d, start, end);
      out_ += "</mark>";
    } else {
      out_ += "<mark>";
      append_escaped_slice(d, start, start + html::kMarkEnd);
      out_ += "</mark><span class=\"gap\">[\u2026 ";
      append_grouped(out_, end - start - 2 * html::kMarkEnd);
      out_ += " characters \u2026]</span><mark>";
      append_escaped_slice(d, end - html::kMarkEnd, end);
      out_ += "</mark>";
    }
    append_escaped_slice(d, end, end + html::kContext);
    out_ += "</pre></div>";
  }

  void html_more(std::int64_t g, std::int64_t listed_begin) {
    out_ += "<p>";
    append_grouped(out_, count(g) - (listed_begin - row(g)));
    out_ += " more places:</p><ul class=\"more\">";
    const std::int64_t listed_end = std::min(row(g + 1), listed_begin + html::kListed);
    for (std::int64_t r = listed_begin; r < listed_end; ++r) {
      out_ += "<li>";
      append_place(r, true, "</li>");
    }
    if (row(g) + count(g) > listed_end) {
      out_ += "<li>\u2026 and ";
      append_grouped(out_, row(g) + count(g) - listed_end);
      out_ += " more (all are in --format json)</li>";
    }
    out_ += "</ul>";
  }

  const Columns& columns_;
  Texts& texts_;
  std::string out_;
  std::string scratch_;  // a text encoded before it is escaped
  std::string head_;     // the start of a group's text before it is flattened
  std::string flat_;     // a flattened text before it is escaped
};

}  // namespace

Style parse_style(std::string_view name) {
  if (name == "json") return Style::kJson;
  if (name == "jsonl") return Style::kJsonLines;
  if (name == "passages") return Style::kPassageTable;
  if (name == "phrases") return Style::kPhraseTable;
  if (name == "html") return Style::kHtml;
  if (name == "csv") return Style::kCsv;
  if (name == "sarif") return Style::kSarif;
  usage_error("style must be json, jsonl, passages, phrases, html, csv or sarif, not " +
              std::string(name));
}

void check_columns(const Columns& columns, std::size_t groups) {
  const auto first = columns.values[kFirst];
  if (first.size() != groups + 1 || first.back() < 0) {
    usage_error("columns: first must have one entry per group and one more");
  }
  const auto rows = static_cast<std::size_t>(first.back());
  for (const Column c : {kDocument, kStart, kEnd, kLine, kColumn, kEndLine, kEndColumn}) {
    if (columns.values[c].size() != rows) usage_error("columns: row counts differ");
  }
  for (const Column c : {kWords, kChars, kCount}) {
    if (columns.values[c].size() != groups) usage_error("columns: group counts differ");
  }
}

std::size_t Rows::size() const {
  std::size_t bytes = 0;
  for (const std::string& piece : pieces) bytes += piece.size();
  return bytes;
}

Rows write_groups(Style style, const Columns& columns, Texts& texts, std::size_t begin,
                  std::size_t end, std::string_view prefix, core::parallel::Lanes lanes) {
  const auto first = static_cast<std::int64_t>(begin);
  const auto last = static_cast<std::int64_t>(end);
  const std::size_t probe_bytes = lanes.has_second() ? kChunkBytes / 16 : kChunkBytes;
  GroupWriter probe(columns, texts, probe_bytes);
  const std::int64_t probed = probe.groups(style, first, last, prefix, probe_bytes);
  Rows rows{{}, static_cast<std::size_t>(probed)};
  rows.pieces.push_back(std::move(probe.out()));
  if (probed == last || !lanes.has_second()) return rows;

  // The rest of two chunks, by the bytes the probe wrote per unit of weight, in two halves; each
  // aims at seven eighths of a chunk, so that a part rarely meets its limit below.
  std::size_t probe_weight = 0;
  for (std::int64_t g = first; g < probed; ++g) probe_weight += probe.weight(style, g);
  const double bytes_per_unit =
      static_cast<double>(std::max<std::size_t>(rows.pieces[0].size(), 1)) /
      static_cast<double>(probe_weight);
  const auto wanted = static_cast<std::size_t>(
      static_cast<double>(kChunkBytes * 7 / 4 - rows.pieces[0].size()) / bytes_per_unit);
  std::int64_t cut = probed;
  std::int64_t stop = probed;
  for (std::size_t weight = 0; stop < last && weight < wanted; ++stop) {
    weight += probe.weight(style, stop);
    if (weight < wanted / 2) cut = stop + 1;
  }
  // Each part still stops after a megabyte, so a wrong estimate costs time, not memory: when the
  // first part stops early, the second is dropped.
  auto part = [&](std::int64_t from, std::int64_t to) {
    GroupWriter writer(columns, texts, kChunkBytes);
    const std::int64_t next = writer.groups(style, from, to, prefix, kChunkBytes);
    return std::pair{std::move(writer.out()), next};
  };
  auto [head, tail] = core::parallel::both(
      lanes, [&] { return part(probed, cut); }, [&] { return part(cut, stop); });
  rows.pieces.push_back(std::move(head.first));
  rows.next = static_cast<std::size_t>(head.second);
  if (head.second == cut) {
    rows.pieces.push_back(std::move(tail.first));
    rows.next = static_cast<std::size_t>(tail.second);
  }
  return rows;
}

}  // namespace quarnel::report
