// quarnel._corpus: documents analysed together (phrases and passages), for the Python layer
// quarnel.corpus, corpus cleaning for quarnel.cleaning and quarnel.dask, and the command line's
// report rows.

#include "corpus_module.hpp"

#include <cstdint>

#include "duplicate_finder/params.hpp"
#include "module_table.hpp"
#include "passages.hpp"

namespace quarnel::python {
namespace {

// The largest count parameter (words, characters) the Python layer and the command line accept.
constexpr std::uint64_t kCountLimit = (std::uint64_t{1} << 31) - 1;

using Count = unsigned long long;  // what Py_BuildValue's K reads

// The parameters' defaults, defined once by the core, for the Python layer's signatures.
PyObject* finder_defaults(PyObject*) {
  const core::duplicate_finder::FinderParams p;
  return Py_BuildValue("{sKsKsKsK}", "min_words", Count{p.min_words}, "min_chars",
                       Count{p.min_chars}, "max_words", Count{p.max_words},
                       "min_words_in_substring", Count{p.min_words_in_substring});
}

PyObject* passage_defaults(PyObject*) {
  const core::passages::PassageParams p;
  return Py_BuildValue("{sKsK}", "min_words", Count{p.min_words}, "min_chars", Count{p.min_chars});
}

PyObject* count_limit(PyObject*) {
  return PyLong_FromUnsignedLongLong(kCountLimit);
}

}  // namespace

// The constants take the table's object slots; their names keep them out of __all__.
const ModuleTable kCorpusTable = {
    {
        module_function<kFindPhrases>(),
        module_function<kFindPassages>(),
        module_function<kFormatGroups>(),
        module_function<kHtmlStylesheet>(),
        module_function<kDedup>(),
        module_function<kWindowFingerprints>(),
        module_function<kDecideWindows>(),
        module_function<kSketchWindows>(),
        module_function<kInSlots>(),
        module_function<kCutMarked>(),
    },
    {
        {"_FINDER_DEFAULTS", finder_defaults},
        {"_PASSAGE_DEFAULTS", passage_defaults},
        {"_COUNT_LIMIT", count_limit},
    },
};

}  // namespace quarnel::python
