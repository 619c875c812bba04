// Corpus cleaning: the exact engine over a list of documents, and the three kernels of a
// distributed run (window fingerprints per partition, the first place per fingerprint, and the
// cut from decided marks). Every
// argument comes checked by quarnel.dedup / quarnel.dask; the work runs without the lock.

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "buffers.hpp"
#include "converters.hpp"
#include "corpus_module.hpp"
#include "dedup/dedup.hpp"
#include "gil.hpp"
#include "numpy_array.hpp"
#include "results.hpp"

namespace quarnel::python {
namespace {

namespace dedup = core::dedup;

// A list of str as one UTF-8 text and a view of each document in it.
struct DocumentTexts {
  std::string text;
  std::vector<std::uint64_t> ends;

  [[nodiscard]] std::vector<std::string_view> views() const {
    std::vector<std::string_view> out;
    out.reserve(ends.size());
    std::uint64_t from = 0;
    for (const std::uint64_t end : ends) {
      out.push_back(std::string_view(text).substr(from, end - from));
      from = end;
    }
    return out;
  }
};

DocumentTexts document_texts(PyObject* list, const char* what) {
  DocumentTexts texts;
  if (list == nullptr || list == Py_None) return texts;
  PyRef items = checked(PySequence_Fast(list, what));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  for (Py_ssize_t d = 0; d < n; ++d) {
    append_document(PySequence_Fast_GET_ITEM(items.get(), d), static_cast<std::size_t>(d),
                    texts.text);
    texts.ends.push_back(texts.text.size());
  }
  return texts;
}

dedup::Params params_from(const BoundArgs& args, std::size_t first) {
  dedup::Params params;
  params.ignore_case = to_flag(args, first);
  params.collapse_whitespace = to_flag(args, first + 1);
  params.min_words = to_unsigned_index(args, first + 2);
  params.drop_below = to_unsigned_index(args, first + 3);
  return params;
}

// A one-dimensional column of unsigned integers of T's width, held while this lives.
template <class T>
struct Column {
  HeldBuffer buffer;
  std::span<const T> values;

  Column(PyObject* obj, const char* name) {
    buffer.acquire(obj);
    const Py_buffer& v = buffer.view();
    if (v.ndim != 1 || v.itemsize != static_cast<Py_ssize_t>(sizeof(T))) {
      raise_value_error(std::string("column '") + name + "' must be one-dimensional with " +
                        std::to_string(sizeof(T)) + "-byte items");
    }
    values = std::span(static_cast<const T*>(v.buf), static_cast<std::size_t>(v.shape[0]));
  }
};

PyObject* cleaned_dict(dedup::Cleaned cleaned) {
  PyRef dict = checked(PyDict_New());
  PyRef texts = checked(PyList_New(static_cast<Py_ssize_t>(cleaned.text_ends.size())));
  for (std::size_t d = 0; d < cleaned.text_ends.size(); ++d) {
    PyList_SET_ITEM(texts.get(), static_cast<Py_ssize_t>(d), py_str(cleaned.text(d)).release());
  }
  std::string().swap(cleaned.texts);
  set_item(dict.get(), "texts", texts);
  set_column(dict.get(), "words", cleaned.words);
  set_column(dict.get(), "removed_words", cleaned.removed_words);
  set_column(dict.get(), "dropped", cleaned.dropped);
  set_column(dict.get(), "document", cleaned.span_document);
  set_column(dict.get(), "start", cleaned.span_start);
  set_column(dict.get(), "end", cleaned.span_end);
  set_column(dict.get(), "why", cleaned.span_why);
  set_column(dict.get(), "kept_document", cleaned.span_kept_document);
  set_column(dict.get(), "kept_start", cleaned.span_kept_start);
  return dict.release();
}

PyObject* dedup_documents(PyObject*, const BoundArgs& args) {
  auto cleaned = [&] {
    const DocumentTexts documents = document_texts(args[0], "documents: expected a list of str");
    const DocumentTexts reference = document_texts(args[1], "reference: expected a list of str");
    const dedup::Params params = params_from(args, 2);
    const auto docs = documents.views();
    const auto refs = reference.views();
    return without_gil([&] { return dedup::clean(docs, refs, params); });
  }();
  return cleaned_dict(std::move(cleaned));
}

PyObject* window_fingerprints(PyObject*, const BoundArgs& args) {
  auto found = [&] {
    const DocumentTexts documents = document_texts(args[0], "documents: expected a list of str");
    dedup::Params params;
    params.ignore_case = to_flag(args, 1);
    params.collapse_whitespace = to_flag(args, 2);
    params.min_words = to_unsigned_index(args, 3);
    const auto docs = documents.views();
    return without_gil([&] { return dedup::window_fingerprints(docs, params); });
  }();
  // The columns are taken over, not copied: a partition's are hundreds of megabytes.
  PyRef dict = checked(PyDict_New());
  for (auto [key, column] : {std::pair{"high", &found.high}, std::pair{"low", &found.low},
                             std::pair{"document", &found.document}, std::pair{"word", &found.word},
                             std::pair{"start", &found.start}}) {
    PyRef array = adopt_u64_array(std::move(*column));
    check_status(PyDict_SetItemString(dict.get(), key, array.get()));
  }
  return dict.release();
}

PyObject* decide_windows(PyObject*, const BoundArgs& args) {
  auto decided = [&] {
    const Column<std::uint64_t> high(args[0], "high");
    const Column<std::uint64_t> low(args[1], "low");
    const Column<std::uint64_t> document(args[2], "document");
    const Column<std::uint32_t> word(args[3], "word");
    const Column<std::uint8_t> reference(args[4], "reference");
    return without_gil([&] {
      return dedup::decide(high.values, low.values, document.values, word.values, reference.values);
    });
  }();
  PyRef dict = checked(PyDict_New());
  set_column(dict.get(), "marked", decided.marked);
  set_column(dict.get(), "kept", decided.kept);
  return dict.release();
}

PyObject* sketch_windows(PyObject*, const BoundArgs& args) {
  auto found = [&] {
    PyRef items = checked(PySequence_Fast(args[0], "slots: expected a list of arrays"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    std::vector<Column<std::uint32_t>> held;
    held.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t p = 0; p < n; ++p) {
      held.emplace_back(PySequence_Fast_GET_ITEM(items.get(), p), "slots");
    }
    std::vector<std::span<const std::uint32_t>> parts;
    for (const auto& column : held) parts.push_back(column.values);
    const auto bits = static_cast<unsigned>(to_unsigned_index(args, 1));
    return without_gil([&] { return dedup::sketch(parts, bits); });
  }();
  PyRef dict = checked(PyDict_New());
  set_column(dict.get(), "seen", found.seen);
  set_column(dict.get(), "repeated", found.repeated);
  return dict.release();
}

PyObject* in_slots(PyObject*, const BoundArgs& args) {
  auto found = [&] {
    const Column<std::uint64_t> high(args[0], "high");
    const Column<std::uint8_t> slots(args[1], "slots");
    const auto bits = static_cast<unsigned>(to_unsigned_index(args, 2));
    return without_gil([&] { return dedup::in_slots(high.values, slots.values, bits); });
  }();
  PyRef dict = checked(PyDict_New());
  set_column(dict.get(), "in_slots", found);
  return dict.release();
}

PyObject* cut_marked(PyObject*, const BoundArgs& args) {
  auto cleaned = [&] {
    const DocumentTexts documents = document_texts(args[0], "documents: expected a list of str");
    PyObject* columns = args[1];
    if (!PyDict_Check(columns)) raise_value_error("marks: expected a dict of columns");
    const auto column = [&](const char* key) {
      PyObject* value = PyDict_GetItemString(columns, key);  // borrowed
      if (value == nullptr) raise_value_error(std::string("marks: no column '") + key + "'");
      return value;
    };
    const Column<std::uint64_t> document(column("document"), "document");
    const Column<std::uint64_t> word(column("word"), "word");
    const Column<std::uint8_t> why(column("why"), "why");
    const Column<std::uint64_t> kept_document(column("kept_document"), "kept_document");
    const Column<std::uint64_t> kept_word(column("kept_word"), "kept_word");
    const Column<std::uint64_t> kept_start(column("kept_start"), "kept_start");
    const dedup::MarkColumns marks{document.values,      word.values,      why.values,
                                   kept_document.values, kept_word.values, kept_start.values};
    const dedup::Params params = params_from(args, 2);
    const std::uint64_t first = to_unsigned_index(args, 6);
    const auto docs = documents.views();
    // The columns are the caller's arrays; they are held (not resizable) for the call.
    return without_gil([&] { return dedup::cut(docs, marks, params, first); });
  }();
  return cleaned_dict(std::move(cleaned));
}

}  // namespace

const FunctionDescriptor kDedup = describe(
    "dedup",
    {{"documents"},
     {"reference"},
     {"ignore_case"},
     {"collapse_whitespace"},
     {"min_words"},
     {"drop_below"}},
    "The documents cleaned of later copies of repeated windows and of windows in the reference.",
    dedup_documents);

const FunctionDescriptor kWindowFingerprints = describe(
    "window_fingerprints", {{"documents"}, {"ignore_case"}, {"collapse_whitespace"}, {"min_words"}},
    "Every window's fingerprint, document, word and character offset, as columns.",
    window_fingerprints);

const FunctionDescriptor kDecideWindows = describe(
    "decide_windows", {{"high"}, {"low"}, {"document"}, {"word"}, {"reference"}},
    "Of window records gathered by fingerprint: each marked record and the record deciding it.",
    decide_windows);

const FunctionDescriptor kSketchWindows = describe(
    "sketch_windows", {{"slots"}, {"bits"}},
    "The slots (low bits of the arrays' items) some window takes and two or more take, as bits.",
    sketch_windows);

const FunctionDescriptor kInSlots = describe(
    "in_slots", {{"high"}, {"slots"}, {"bits"}},
    "Per window, 1 where its slot (low bits of high) is set in the bit array slots.", in_slots);

const FunctionDescriptor kCutMarked = describe(
    "cut_marked",
    {{"documents"},
     {"marks"},
     {"ignore_case"},
     {"collapse_whitespace"},
     {"min_words"},
     {"drop_below"},
     {"first_document"}},
    "The documents cleaned of the windows the marks name, as cleaned texts and span columns.",
    cut_marked);

}  // namespace quarnel::python
