// The module definition of quarnel._index: one exec slot that adds the SuffixArray class.

#include "index_module.hpp"

namespace quarnel::python {
namespace {

int exec_module(PyObject* module) {
  PyRef type(new_suffix_array_type(module));
  if (!type || PyModule_AddObjectRef(module, "SuffixArray", type.get()) != 0) return -1;
  PyRef all(Py_BuildValue("[s]", "SuffixArray"));
  if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) != 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_index", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quarnel::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__index() {
  return PyModuleDef_Init(&quarnel::python::module_def);
}
