// The binding of the command line's report rows: the result columns and the tuples of names,
// texts and documents are read in place and handed to the report library, which writes the rows
// with the interpreter lock released (tuples and their str and bytes items cannot change
// meanwhile). Only the reading of str objects (by character offsets, in UTF-8) is done here.

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
#include "gil.hpp"
#include "group_writer.hpp"
#include "html_page.hpp"
#include "results.hpp"
#include "text/utf.hpp"

namespace quarnel::python {
namespace {

// A bad item met while the rows are written without the interpreter lock: raised once it is held.
struct ItemError {
  PyObject* type;
  std::string message;
};

// Characters a block of the str's units holds, or 0 where blocks are not tried.
template <class Char>
constexpr Py_ssize_t kBlockChars = sizeof(Char) == 1   ? 8
                                   : sizeof(Char) == 2 ? 4
                                                       : 0;

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
    if (c < 0xDC80 || c > 0xDCFF) throw ItemError{PyExc_ValueError, "a text has a lone surrogate"};
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

// "what i is T, not str" for an item of another type.
[[noreturn]] void wrong_item(const char* what, std::size_t i, PyObject* item, const char* wanted) {
  throw ItemError{PyExc_TypeError, std::string(what) + " " + std::to_string(i) + " is " +
                                       Py_TYPE(item)->tp_name + ", not " + wanted};
}

// A sequence of str or of bytes as a tuple (a tuple given is taken as it is); held for the call.
struct Items {
  PyRef tuple;
  std::span<PyObject* const> items;

  Items(PyObject* obj, const char* what) {
    if (!PyTuple_Check(obj) && !PyList_Check(obj)) {
      PyErr_Format(PyExc_TypeError, "%s", what);
      throw PythonErrorSet{};
    }
    tuple = checked(PySequence_Tuple(obj));
    items = {PySequence_Fast_ITEMS(tuple.get()),
             static_cast<std::size_t>(PyTuple_GET_SIZE(tuple.get()))};
  }

  [[nodiscard]] PyObject* str(std::size_t i, const char* what) const {
    PyObject* item = items[i];
    if (!PyUnicode_Check(item)) wrong_item(what, i, item, "str");
    return item;
  }
};

bool is_8_byte_integer(const Py_buffer& view) {
  const std::string_view format = view.format == nullptr ? "" : view.format;
  return view.ndim == 1 && view.itemsize == 8 && !format.empty() &&
         std::string_view("qQlLnN").find(format.back()) != std::string_view::npos &&
         format.front() != '>' && format.front() != '!';
}

// The columns' buffers, held for the call.
struct HeldColumns {
  std::array<HeldBuffer, report::kColumnCount> held;
  report::Columns columns;

  HeldColumns(PyObject* tuple, std::size_t groups) {
    Items items(tuple, "columns: expected a sequence of arrays");
    if (items.items.size() != report::kColumnCount)
      raise_value_error("columns: expected 11 arrays");
    for (std::size_t c = 0; c < report::kColumnCount; ++c) {
      held[c].acquire(items.items[c]);
      const Py_buffer& view = held[c].view();
      if (!is_8_byte_integer(view)) {
        raise_value_error("columns: expected 1-d 8-byte integer arrays");
      }
      columns.values[c] = {static_cast<const std::int64_t*>(view.buf),
                           static_cast<std::size_t>(view.shape[0])};
    }
    report::check_columns(columns, groups);
  }
};

// The texts, names and documents as the report library reads them.
class ReportTexts final : public report::Texts {
 public:
  ReportTexts(const Items& names, const Items& texts, const Items* documents)
      : names_(names), texts_(texts), documents_(documents) {}

  std::int64_t text_length(std::size_t g) override { return PyUnicode_GET_LENGTH(text(g)); }

  std::string_view text(std::size_t g, std::int64_t begin, std::int64_t end,
                        std::string& scratch) override {
    return str_utf8(text(g), begin, end, scratch);
  }

  std::string_view name(std::size_t d) override {
    PyObject* item = names_.items[d];
    if (!PyBytes_Check(item)) wrong_item("names: item", d, item, "bytes");
    return {PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item))};
  }

  [[nodiscard]] std::size_t name_count() const override { return names_.items.size(); }
  [[nodiscard]] bool has_documents() const override { return documents_ != nullptr; }
  [[nodiscard]] std::size_t document_count() const override {
    return documents_ == nullptr ? 0 : documents_->items.size();
  }

  std::int64_t document_length(std::size_t d) override { return PyUnicode_GET_LENGTH(document(d)); }

  std::string_view document(std::size_t d, std::int64_t begin, std::int64_t end,
                            std::string& scratch) override {
    return str_utf8(document(d), begin, end, scratch);
  }

 private:
  [[nodiscard]] PyObject* text(std::size_t g) const { return texts_.str(g, "texts: item"); }
  [[nodiscard]] PyObject* document(std::size_t d) const {
    return documents_->str(d, "documents: item");
  }

  const Items& names_;
  const Items& texts_;
  const Items* documents_;
};

PyObject* format_groups(PyObject*, const BoundArgs& args) {
  const report::Style style = report::parse_style(to_text(args, 0));
  const Items names(args[2], "names: expected a list of bytes");
  const Items texts(args[3], "texts: expected a list of str");
  const HeldColumns columns(args[1], texts.items.size());
  std::optional<Items> documents;
  if (style == report::Style::kHtml)
    documents.emplace(args[4], "documents: expected a list of str");
  const std::uint64_t begin = to_unsigned_index(args, 5);
  const std::uint64_t end = to_unsigned_index(args, 6);
  if (begin > end || end > texts.items.size()) raise_value_error("groups: range out of bounds");
  const std::string_view prefix = to_text(args, 7);

  ReportTexts sources(names, texts, documents ? &*documents : nullptr);
  // A second lane for the calls of a large report: about 64 bytes a row and a group.
  const auto& first = columns.columns.values[report::kFirst];
  const auto lanes = core::parallel::Lanes::for_size(
      64 * (static_cast<std::size_t>(first[end] - first[begin]) + (end - begin)));
  report::Rows rows;
  try {
    rows = without_gil([&] {
      return report::write_groups(style, columns.columns, sources, begin, end, prefix, lanes);
    });
  } catch (const ItemError& e) {
    PyErr_SetString(e.type, e.message.c_str());
    throw PythonErrorSet{};
  }
  PyRef data = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows.size())));
  char* p = PyBytes_AS_STRING(data.get());
  for (const std::string& piece : rows.pieces) p = std::copy(piece.begin(), piece.end(), p);
  return py_pair(std::move(data), py_int(static_cast<std::uint64_t>(rows.next))).release();
}

PyObject* html_stylesheet(PyObject*, const BoundArgs&) {
  return py_str(report::html::kStylesheet).release();
}

}  // namespace

const FunctionDescriptor kFormatGroups = describe(
    "_format_groups",
    {{"style"}, {"columns"}, {"names"}, {"texts"}, {"documents"}, {"start"}, {"end"}, {"prefix"}},
    "Report rows (json, jsonl, passages, phrases, html, csv or sarif) of groups from start on, as "
    "UTF-8 bytes, and the group after them: they end at end or after about a megabyte.",
    format_groups);

const FunctionDescriptor kHtmlStylesheet = describe(
    "_html_stylesheet", {}, "The stylesheet of the command line's HTML report.", html_stylesheet);

}  // namespace quarnel::python
