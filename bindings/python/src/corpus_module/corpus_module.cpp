// The module definition of quarnel._corpus: documents analysed together (phrases and passages),
// for the Python layer quarnel.corpus.

#include <array>
#include <string>

#include "corpus_module.hpp"

namespace quarnel::python {
namespace {

struct MethodRecords {
  std::array<std::string, 6> docs = {kFindPhrases.docstring(),        kFindPassages.docstring(),
                                     kFormatGroups.docstring(),       kDedup.docstring(),
                                     kWindowFingerprints.docstring(), kCutMarked.docstring()};
  std::array<PyMethodDef, 7> defs = {
      method_def<kFindPhrases>(docs[0]),        method_def<kFindPassages>(docs[1]),
      method_def<kFormatGroups>(docs[2]),       method_def<kDedup>(docs[3]),
      method_def<kWindowFingerprints>(docs[4]), method_def<kCutMarked>(docs[5]),
      PyMethodDef{}};
};

int exec_module(PyObject* module) {
  static MethodRecords records;  // the functions keep pointers into these for the process
  if (PyModule_AddFunctions(module, records.defs.data()) != 0) return -1;
  PyRef all(Py_BuildValue("[sssss]", kFindPhrases.name, kFindPassages.name, kDedup.name,
                           kWindowFingerprints.name, kCutMarked.name));
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
