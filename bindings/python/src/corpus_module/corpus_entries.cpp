// find_phrases and find_passages over a list of documents: the documents are encoded into one
// UTF-8 text (without touching the str objects' own UTF-8 caches), analysed without the
// interpreter lock, and the result comes back as NumPy columns.

#include <span>
#include <string>
#include <utility>
#include <vector>

#include "converters.hpp"
#include "corpus.hpp"
#include "corpus_module.hpp"
#include "duplicate_finder/documents.hpp"
#include "gil.hpp"
#include "numpy_array.hpp"
#include "results.hpp"
#include "text/utf.hpp"

namespace quarnel::python {

namespace {

// Appends the UTF-8 form of the characters; a lone surrogate has none and is refused.
template <class Char>
void append_utf8(const Char* chars, Py_ssize_t length, std::size_t item, std::string& out) {
  for (Py_ssize_t i = 0; i < length; ++i) {
    const auto c = static_cast<char32_t>(chars[i]);
    if (c >= 0xD800 && c <= 0xDFFF) {
      raise_value_error("documents: document " + std::to_string(item) +
                        " has a lone surrogate at index " + std::to_string(i) +
                        ", which UTF-8 cannot encode");
    }
    core::utf::append_utf8(out, c);
  }
}

}  // namespace

void append_document(PyObject* str, std::size_t item, std::string& out) {
  if (!PyUnicode_Check(str)) {
    PyErr_Format(PyExc_TypeError, "documents: document %zu is %.100s, not str", item,
                 Py_TYPE(str)->tp_name);
    throw PythonErrorSet{};
  }
  const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
  if (PyUnicode_IS_ASCII(str)) {
    out.append(static_cast<const char*>(PyUnicode_DATA(str)), static_cast<std::size_t>(length));
    return;
  }
  visit_chars(str, [&](const auto* chars) { append_utf8(chars, length, item, out); });
}

namespace {

namespace corpus = core::corpus;

// One document's (start, end) ranges, in characters as the str indexes it: the core maps them.
std::vector<core::normalize::RemovedRange> character_ranges(PyObject* ranges) {
  PyRef items = checked(PySequence_Fast(ranges, "removed: expected a list of (start, end) pairs"));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  std::vector<core::normalize::RemovedRange> result;
  result.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* pair = PySequence_Fast_GET_ITEM(items.get(), k);
    unsigned long long start = 0;
    unsigned long long end = 0;
    if (!PyArg_ParseTuple(pair, "KK", &start, &end)) throw PythonErrorSet{};
    result.push_back({start, end});
  }
  return result;
}

// The documents joined as the core expects them, with their removed ranges.
struct JoinedDocuments {
  std::string text;
  std::vector<std::uint64_t> starts;
  std::vector<std::uint64_t> ends;
  std::vector<std::vector<core::normalize::RemovedRange>> removed;

  [[nodiscard]] corpus::SourceCorpus view() const { return {text, starts, ends, removed}; }
};

JoinedDocuments joined_documents(const BoundArgs& args) {
  JoinedDocuments joined;
  PyRef docs = checked(PySequence_Fast(args[0], "documents: expected a list of str"));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(docs.get());
  std::size_t total = 0;
  for (Py_ssize_t d = 0; d < n; ++d) {
    PyObject* doc = PySequence_Fast_GET_ITEM(docs.get(), d);
    if (PyUnicode_Check(doc)) total += static_cast<std::size_t>(PyUnicode_GET_LENGTH(doc)) + 3;
  }
  joined.text.reserve(total);
  for (Py_ssize_t d = 0; d < n; ++d) {
    if (d > 0) joined.text.append(core::duplicate_finder::kDocumentSeparator);
    joined.starts.push_back(joined.text.size());
    append_document(PySequence_Fast_GET_ITEM(docs.get(), d), static_cast<std::size_t>(d),
                    joined.text);
    joined.ends.push_back(joined.text.size());
  }
  if (args[1] != nullptr && args[1] != Py_None) {
    PyRef lists = checked(PySequence_Fast(args[1], "removed: expected one list per document"));
    if (PySequence_Fast_GET_SIZE(lists.get()) != n) {
      raise_value_error("removed: expected one list of ranges per document");
    }
    for (Py_ssize_t d = 0; d < n; ++d) {
      joined.removed.push_back(character_ranges(PySequence_Fast_GET_ITEM(lists.get(), d)));
    }
  }
  return joined;
}

corpus::Preparation preparation(const BoundArgs& args) {
  return {to_flag(args, 2), to_flag(args, 3)};
}

corpus::Order to_order(const BoundArgs& args, std::size_t i) {
  const auto name = to_optional(args, i, to_text);
  if (!name) return corpus::Order::kFound;
  for (const auto& [key, order] :
       {std::pair{"words", corpus::Order::kWords}, std::pair{"count", corpus::Order::kCount},
        std::pair{"share", corpus::Order::kShare}, std::pair{"files", corpus::Order::kFiles}}) {
    if (*name == key) return order;
  }
  raise_value_error("sort must be one of words, count, share, files or None");
}

// The selection's five arguments, from bound argument `first` on: top, sort, min_count,
// max_places (None: no limit) and visible_chars_over.
corpus::Selection selection(const BoundArgs& args, std::size_t first) {
  corpus::Selection s;
  s.top = to_optional(args, first, to_unsigned_index).value_or(corpus::Selection::kAll);
  s.order = to_order(args, first + 1);
  s.min_count = to_unsigned_index(args, first + 2);
  s.max_places = to_optional(args, first + 3, to_unsigned_index).value_or(corpus::Selection::kAll);
  s.visible_chars_over = to_unsigned_index(args, first + 4);
  return s;
}

// The columns of other widths join the shared uint64 and uint8 ones.
using python::set_column;

void set_column(PyObject* dict, const char* key, std::vector<std::uint32_t>& values) {
  PyRef array = to_u64_array(std::span<const std::uint32_t>(values));
  std::vector<std::uint32_t>().swap(values);
  set_item(dict, key, array);
}

void set_column(PyObject* dict, const char* key, corpus::CompactColumn& values) {
  PyRef array = new_u64_array(values.size());
  values.copy_to(std::span(u64_data(array), values.size()));
  values.clear();
  set_item(dict, key, array);
}

PyRef group_texts(corpus::Matches& matches) {
  PyRef texts = checked(PyList_New(static_cast<Py_ssize_t>(matches.groups())));
  for (std::size_t g = 0; g < matches.groups(); ++g) {
    PyList_SET_ITEM(texts.get(), static_cast<Py_ssize_t>(g), py_str(matches.text(g)).release());
  }
  std::string().swap(matches.texts);
  std::vector<std::uint64_t>().swap(matches.text_ends);
  return texts;
}

PyObject* matches_dict(corpus::Matches matches) {
  PyRef dict = checked(PyDict_New());
  set_item(dict.get(), "texts", group_texts(matches));
  for (const auto& [key, values] :
       {std::pair{"words", &matches.words}, std::pair{"chars", &matches.chars},
        std::pair{"first", &matches.first}, std::pair{"counts", &matches.counts}}) {
    set_column(dict.get(), key, *values);
  }
  set_column(dict.get(), "document", matches.document);
  set_column(dict.get(), "start", matches.start);
  set_column(dict.get(), "end", matches.end);
  for (const auto& [key, values] :
       {std::pair{"line", &matches.line}, std::pair{"column", &matches.column},
        std::pair{"end_line", &matches.end_line}, std::pair{"end_column", &matches.end_column}}) {
    set_column(dict.get(), key, *values);
  }
  for (const auto& [key, values] : {std::pair{"document_words", &matches.document_words},
                                    std::pair{"covered_words", &matches.covered_words},
                                    std::pair{"document_chars", &matches.document_chars}}) {
    set_column(dict.get(), key, *values);
  }
  set_item(dict.get(), "found_groups", checked(PyLong_FromUnsignedLongLong(matches.found_groups)));
  set_item(dict.get(), "found_places", checked(PyLong_FromUnsignedLongLong(matches.found_places)));
  return dict.release();
}

// `find` over the documents with the parameters `read_params` gives, without the interpreter
// lock. The joined text is freed before the result is built: it is as large as the corpus.
template <class ReadParams, class Find>
PyObject* found_in_documents(const BoundArgs& args, ReadParams read_params,
                             std::size_t selection_from, Find find) {
  auto matches = [&] {
    const JoinedDocuments joined = joined_documents(args);
    const corpus::Preparation prep = preparation(args);
    const auto params = read_params();
    const corpus::Selection kept = selection(args, selection_from);
    return without_gil([&] { return find(joined.view(), prep, params, kept); });
  }();
  return matches_dict(std::move(matches));
}

PyObject* find_phrases(PyObject*, const BoundArgs& args) {
  const auto read_params = [&] {
    core::duplicate_finder::FinderParams params;
    params.min_words = to_unsigned_index(args, 4);
    params.min_chars = to_unsigned_index(args, 5);
    params.max_words = to_unsigned_index(args, 6);
    params.min_words_in_substring = to_unsigned_index(args, 7);
    params.enable_block_detection = to_flag(args, 8);
    return params;
  };
  return found_in_documents(args, read_params, 9, corpus::find_phrases);
}

PyObject* find_passages(PyObject*, const BoundArgs& args) {
  const auto read_params = [&] {
    core::passages::PassageParams params;
    params.min_words = to_unsigned_index(args, 4);
    params.min_chars = to_unsigned_index(args, 5);
    params.reference_from = to_unsigned_index(args, 6);
    return params;
  };
  return found_in_documents(args, read_params, 7, corpus::find_passages);
}

}  // namespace

void set_item(PyObject* dict, const char* key, const PyRef& value) {
  if (!value || PyDict_SetItemString(dict, key, value.get()) != 0) throw PythonErrorSet{};
}

void set_column(PyObject* dict, const char* key, std::vector<std::uint64_t>& values) {
  PyRef array = to_u64_array(values);
  std::vector<std::uint64_t>().swap(values);
  set_item(dict, key, array);
}

void set_column(PyObject* dict, const char* key, std::vector<std::uint8_t>& values) {
  PyRef array = to_unsigned_array(values.data(), values.size(), 1);
  std::vector<std::uint8_t>().swap(values);
  set_item(dict, key, array);
}

void raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw PythonErrorSet{};
}

const FunctionDescriptor kFindPhrases = describe(
    "find_phrases",
    {{"documents"},
     {"removed"},
     {"ignore_case"},
     {"collapse_whitespace"},
     {"min_words"},
     {"min_chars"},
     {"max_words"},
     {"min_words_in_substring"},
     {"blocks"},
     {"top"},
     {"sort"},
     {"min_count"},
     {"max_places"},
     {"visible_chars_over"}},
    "The finder's phrases over documents analysed together, as result columns.", find_phrases);

const FunctionDescriptor kFindPassages =
    describe("find_passages",
             {{"documents"},
              {"removed"},
              {"ignore_case"},
              {"collapse_whitespace"},
              {"min_words"},
              {"min_chars"},
              {"reference_from"},
              {"top"},
              {"sort"},
              {"min_count"},
              {"max_places"},
              {"visible_chars_over"}},
             "Maximal repeated runs of words over documents analysed together, as result columns.",
             find_passages);

}  // namespace quarnel::python
