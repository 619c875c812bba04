// The module definition of quarnel._corpus: documents analysed together (phrases and passages),
// for the Python layer quarnel.corpus.

#include <array>
#include <string>

#include "corpus_module.hpp"

namespace quarnel::python {
namespace {

struct MethodRecords {
  std::array<std::string, 3> docs = {kFindPhrases.docstring(), kFindPassages.docstring(),
                                     kFormatGroups.docstring()};
  std::array<PyMethodDef, 4> defs = {method_def<kFindPhrases>(docs[0]),
                                     method_def<kFindPassages>(docs[1]),
                                     method_def<kFormatGroups>(docs[2]), PyMethodDef{}};
};

int exec_module(PyObject* module) {
  static MethodRecords records;  // the functions keep pointers into these for the process
  if (PyModule_AddFunctions(module, records.defs.data()) != 0) return -1;
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
