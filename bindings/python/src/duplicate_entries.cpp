// Entry points of the duplicate-phrase finder.

#include <utility>

#include "converters.hpp"
#include "duplicate_finder/finder.hpp"
#include "entry_points.hpp"
#include "gil.hpp"
#include "results.hpp"
#include "text/normalize.hpp"

namespace quarnel::python {
namespace {

// Parameters 3..7 of both functions: None or omitted takes the finder's default.
core::duplicate_finder::FinderParams finder_params(const BoundArgs& args) {
  core::duplicate_finder::FinderParams params;
  params.min_words = to_optional(args, 3, to_unsigned_index).value_or(4);
  params.min_chars = to_optional(args, 4, to_unsigned_index).value_or(9);
  params.max_words = to_optional(args, 5, to_unsigned_index).value_or(50);
  params.min_words_in_substring = to_optional(args, 6, to_unsigned_index).value_or(2);
  params.enable_block_detection = to_optional(args, 7, to_flag).value_or(false);
  return params;
}

// The dictionary keys, made once per call: a result holds one dictionary per occurrence, and
// building each key anew from a C string would cost more than the dictionary itself.
struct ResultKeys {
  PyRef phrase = key("phrase");
  PyRef count = key("count");
  PyRef string_length = key("string_length");
  PyRef number_of_words = key("number_of_words");
  PyRef occurrences = key("occurrences");
  PyRef start = key("start");
  PyRef end = key("end");

  static PyRef key(const char* name) { return checked(PyUnicode_InternFromString(name)); }
};

void set_item(PyObject* dict, const PyRef& key, PyRef value) {
  check_status(PyDict_SetItem(dict, key.get(), value.get()));
}

PyRef occurrence_dict(const core::phrase_records::Occurrence& occurrence, const ResultKeys& keys) {
  PyRef dict = checked(PyDict_New());
  set_item(dict.get(), keys.start, py_int(occurrence.start));
  set_item(dict.get(), keys.end, py_int(occurrence.end));
  return dict;
}

PyRef result_dict(core::phrase_records::PhraseResult result, const ResultKeys& keys) {
  PyRef dict = checked(PyDict_New());
  set_item(dict.get(), keys.phrase, py_str(result.phrase));
  set_item(dict.get(), keys.count, py_int(result.count));
  set_item(dict.get(), keys.string_length, py_int(result.string_length));
  set_item(dict.get(), keys.number_of_words, py_int(result.number_of_words));
  PyRef occurrences = checked(PyList_New(static_cast<Py_ssize_t>(result.occurrences.size())));
  for (std::size_t i = 0; i < result.occurrences.size(); ++i) {
    PyList_SET_ITEM(occurrences.get(), static_cast<Py_ssize_t>(i),
                    occurrence_dict(result.occurrences[i], keys).release());
  }
  set_item(dict.get(), keys.occurrences, std::move(occurrences));
  return dict;
}

// Pauses the cyclic garbage collector while results are built: they hold no cycles, and on a
// large text the millions of new containers would trigger one full collection after another.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable() != 0) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool was_enabled_;
};

// Each record is released as soon as its dictionary exists.
PyRef results_list(std::vector<core::phrase_records::PhraseResult> results) {
  const ResultKeys keys;
  const GcPause pause;
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(results.size())));
  for (std::size_t i = 0; i < results.size(); ++i) {
    // Millions of results take seconds: Ctrl-C is heard meanwhile too.
    if ((i & 0xFFFF) == 0xFFFF && PyErr_CheckSignals() != 0) throw PythonErrorSet{};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    result_dict(std::exchange(results[i], {}), keys).release());
  }
  return list;
}

PyObject* find_duplicates(PyObject*, const BoundArgs& args) {
  const auto text = to_text(args, 0);
  const auto sanitized = to_optional(args, 1, to_text);
  const auto ranges =
      to_optional(args, 2, to_range_pairs).value_or(std::vector<core::normalize::RemovedRange>{});
  const auto params = finder_params(args);
  auto results = without_gil([&] {
    return core::duplicate_finder::process_test_string(sanitized.value_or(text), text, ranges,
                                                       params);
  });
  return results_list(std::move(results)).release();
}

PyObject* find_duplicates_normalized(PyObject*, const BoundArgs& args) {
  const auto text = to_text(args, 0);
  const bool case_insensitive = to_defaulted(args, 1, to_flag, false);
  const bool collapse = to_defaulted(args, 2, to_flag, false);
  const auto params = finder_params(args);
  auto results = without_gil([&] {
    const auto normalized = core::normalize::normalize_text(text, case_insensitive, collapse);
    return core::duplicate_finder::process_test_string(normalized.text, text,
                                                       normalized.removed_ranges, params);
  });
  return results_list(std::move(results)).release();
}

constexpr const char* kFindDuplicatesDoc =
    "Find duplicate phrases in text.\n"
    "\n"
    "Args:\n"
    "    text: The text to analyze (used as both analysis and source text when no "
    "sanitized_text given).\n"
    "    sanitized_text: Optional cleaned text to analyze. When provided with removed_ranges,\n"
    "        analysis runs on this text but returned offsets reference the original text.\n"
    "    removed_ranges: Optional list of (start, end) byte-offset tuples describing ranges\n"
    "        removed from text to produce sanitized_text. Required when sanitized_text is "
    "provided.\n"
    "    min_words: Minimum phrase length in words (default: 4).\n"
    "    min_chars: Minimum phrase length in characters (default: 9).\n"
    "    max_words: Maximum phrase length in words (default: 50).\n"
    "    min_words_in_substring: Minimum words in substring for deduplication (default: 2).\n"
    "    enable_block_detection: Enable large block duplicate detection (default: False).";

constexpr const char* kFindDuplicatesNormalizedDoc =
    "Find duplicate phrases with automatic text normalization.\n"
    "\n"
    "Convenience function that handles lowercasing and/or whitespace collapsing internally.\n"
    "Returned occurrence offsets always reference the original source text.";

}  // namespace

const FunctionDescriptor kFindDuplicates = describe("find_duplicates",
                                                    {{"text"},
                                                     {"sanitized_text", "None"},
                                                     {"removed_ranges", "None"},
                                                     {"min_words", "None"},
                                                     {"min_chars", "None"},
                                                     {"max_words", "None"},
                                                     {"min_words_in_substring", "None"},
                                                     {"enable_block_detection", "None"}},
                                                    kFindDuplicatesDoc, find_duplicates);

const FunctionDescriptor kFindDuplicatesNormalized =
    describe("find_duplicates_normalized",
             {{"text"},
              {"case_insensitive", "False"},
              {"collapse_whitespace", "False"},
              {"min_words", "None"},
              {"min_chars", "None"},
              {"max_words", "None"},
              {"min_words_in_substring", "None"},
              {"enable_block_detection", "None"}},
             kFindDuplicatesNormalizedDoc, find_duplicates_normalized);

}  // namespace quarnel::python
