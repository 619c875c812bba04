// The module definition of quarnel._native: multi-phase initialisation with one exec slot that
// registers the functions in table order, then the FMIndex class, filling __all__ as it goes.

#include <array>
#include <string>

#include "entry_points.hpp"
#include "error_mapping.hpp"

namespace quarnel::python {
namespace {

struct TableEntry {
  const FunctionDescriptor& fn;
  PyObject* (*call)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
};

template <const FunctionDescriptor& Fn>
constexpr TableEntry entry() {
  return {Fn, &fastcall<Fn>};
}

// Registration order is part of the module's interface: __all__ lists the names in this order.
const std::array kFunctionTable = {
    entry<kSuffixArrayFn>(),
    entry<kLcpArray>(),
    entry<kCount>(),
    entry<kLocate>(),
    entry<kSearchRange>(),
    entry<kFindDuplicates>(),
    entry<kFindDuplicatesNormalized>(),
    entry<kBwt>(),
    entry<kInverseBwtFn>(),
    entry<kLongestCommonSubstring>(),
    entry<kDistinctSubstringCount>(),
    entry<kInverseSuffixArray>(),
    entry<kSaToBytes>(),
    entry<kSaFromBytes>(),
};

// Method records must outlive the function objects, so they live for the process.
struct MethodRecords {
  std::array<std::string, kFunctionTable.size()> docs;
  std::array<PyMethodDef, kFunctionTable.size()> defs{};
  MethodRecords() {
    for (std::size_t i = 0; i < kFunctionTable.size(); ++i) {
      const auto& e = kFunctionTable[i];
      docs[i] = e.fn.docstring();
      defs[i] = PyMethodDef{e.fn.name,
                            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(e.call)),
                            METH_FASTCALL | METH_KEYWORDS, docs[i].c_str()};
    }
  }
};

// The interpreter takes non-const method records; nothing changes them after construction.
MethodRecords& method_records() {
  static MethodRecords records;
  return records;
}

}  // namespace

void add_to_module(PyObject* module, const char* name, PyObject* value) {
  PyRef owned = PyRef::borrow(value);
  check_status(PyModule_AddObjectRef(module, name, owned.get()));
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = checked(PyList_New(0));
    check_status(PyModule_AddObjectRef(module, "__all__", all.get()));
  }
  PyRef key = checked(PyUnicode_FromString(name));
  check_status(PyList_Append(all.get(), key.get()));
}

namespace {

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "quarnel._native must be initialised as a module");
    return -1;
  }
  PyObject* result = guarded([&]() -> PyObject* {
    PyRef module_name = checked(PyModule_GetNameObject(module));
    for (auto& def : method_records().defs) {
      PyRef fn = checked(PyCMethod_New(&def, module, module_name.get(), nullptr));
      add_to_module(module, def.ml_name, fn.get());
    }
    check_status(add_fm_index_type(module));
    return Py_None;
  });
  return result == nullptr ? -1 : 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quarnel::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  return PyModuleDef_Init(&quarnel::python::module_def);
}
