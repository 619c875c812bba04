// The module definition of quarnel._corpus: documents analysed together (phrases and passages),
// for the Python layer quarnel.corpus.

#include "corpus_module.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "duplicate_finder/params.hpp"
#include "passages.hpp"

namespace quarnel::python {
namespace {

struct MethodRecords {
  std::array<std::string, 3> docs = {kFindPhrases.docstring(), kFindPassages.docstring(),
                                     kFormatGroups.docstring()};
  std::array<PyMethodDef, 4> defs = {method_def<kFindPhrases>(docs[0]),
                                     method_def<kFindPassages>(docs[1]),
                                     method_def<kFormatGroups>(docs[2]), PyMethodDef{}};
};

// The largest count parameter (words, characters) the Python layer and the command line accept.
constexpr std::uint64_t kCountLimit = (std::uint64_t{1} << 31) - 1;

// The parameters' defaults, defined once by the core, for the Python layer's signatures.
int add_defaults(PyObject* module) {
  const core::duplicate_finder::FinderParams finder;
  const core::passages::PassageParams passage;
  using Count = unsigned long long;  // what Py_BuildValue's K reads
  PyRef finder_defaults(Py_BuildValue("{sKsKsKsK}", "min_words", Count{finder.min_words},
                                      "min_chars", Count{finder.min_chars}, "max_words",
                                      Count{finder.max_words}, "min_words_in_substring",
                                      Count{finder.min_words_in_substring}));
  PyRef passage_defaults(Py_BuildValue("{sKsK}", "min_words", Count{passage.min_words}, "min_chars",
                                       Count{passage.min_chars}));
  PyRef limit(PyLong_FromUnsignedLongLong(kCountLimit));
  if (!finder_defaults || !passage_defaults || !limit) return -1;
  if (PyModule_AddObjectRef(module, "FINDER_DEFAULTS", finder_defaults.get()) != 0) return -1;
  if (PyModule_AddObjectRef(module, "PASSAGE_DEFAULTS", passage_defaults.get()) != 0) return -1;
  return PyModule_AddObjectRef(module, "COUNT_LIMIT", limit.get());
}

int exec_module(PyObject* module) {
  static MethodRecords records;  // the functions keep pointers into these for the process
  if (PyModule_AddFunctions(module, records.defs.data()) != 0) return -1;
  if (add_defaults(module) != 0) return -1;
  PyRef all(Py_BuildValue("[ss]", kFindPhrases.name, kFindPassages.name));
  if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) != 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_corpus", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quarnel::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__corpus() {
  return PyModuleDef_Init(&quarnel::python::module_def);
}
