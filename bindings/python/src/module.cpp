// The one shared object of the package. PyInit__native hands the interpreter quarnel._native
// (multi-phase initialisation, one exec slot); the exec step registers the module's functions in
// table order, then the FMIndex class, filling __all__ as it goes, and then defines the two
// submodules quarnel._index and quarnel._corpus, so that the core is linked and loaded once.

#include <string>
#include <string_view>
#include <utility>

#include "entry_points.hpp"
#include "error_mapping.hpp"
#include "module_table.hpp"

namespace quarnel::python {

void ModuleTable::fill(PyObject* module) const {
  if (defs_.empty()) {
    docs_.reserve(functions_.size());  // no reallocation: defs_ keeps pointers into docs_
    for (const ModuleFunction& f : functions_) {
      docs_.push_back(f.fn->docstring());
      defs_.push_back({f.fn->name, f.call, METH_FASTCALL | METH_KEYWORDS, docs_.back().c_str()});
    }
  }
  PyRef all = checked(PyList_New(0));
  const auto add = [&](const char* name, PyObject* value) {
    check_status(PyModule_AddObjectRef(module, name, value));
    if (name[0] == '_') return;
    PyRef key = checked(PyUnicode_FromString(name));
    check_status(PyList_Append(all.get(), key.get()));
  };
  PyRef module_name = checked(PyModule_GetNameObject(module));
  for (PyMethodDef& def : defs_) {
    PyRef fn = checked(PyCMethod_New(&def, module, module_name.get(), nullptr));
    add(def.ml_name, fn.get());
  }
  for (const ModuleClass& c : classes_) {
    PyRef type = checked(c.make(module));
    add(c.name, type.get());
  }
  check_status(PyModule_AddObjectRef(module, "__all__", all.get()));
}

namespace {

// Registration order is part of the module's interface: __all__ lists the names in this order.
const ModuleTable kNative = {
    {
        module_function<kSuffixArrayFn>(),
        module_function<kLcpArray>(),
        module_function<kCount>(),
        module_function<kLocate>(),
        module_function<kSearchRange>(),
        module_function<kFindDuplicates>(),
        module_function<kFindDuplicatesNormalized>(),
        module_function<kBwt>(),
        module_function<kInverseBwtFn>(),
        module_function<kLongestCommonSubstring>(),
        module_function<kDistinctSubstringCount>(),
        module_function<kInverseSuffixArray>(),
        module_function<kSaToBytes>(),
        module_function<kSaFromBytes>(),
    },
    {{"FMIndex", new_fm_index_type}},
};

// "quarnel._index" for the module "quarnel._native": a sibling in the same package.
PyRef sibling_name(PyObject* module, std::string_view name) {
  PyRef own = checked(PyModule_GetNameObject(module));
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(own.get(), &size);
  if (text == nullptr) throw PythonErrorSet{};
  const std::string_view qualified(text, static_cast<std::size_t>(size));
  const std::size_t dot = qualified.rfind('.');
  std::string sibling(dot == std::string_view::npos ? "" : qualified.substr(0, dot + 1));
  sibling += name;
  return checked(
      PyUnicode_FromStringAndSize(sibling.data(), static_cast<Py_ssize_t>(sibling.size())));
}

// A module filled from `table`, entered in sys.modules so that importing it finds it there.
void add_submodule(PyObject* parent, std::string_view name, const ModuleTable& table) {
  PyRef qualified = sibling_name(parent, name);
  PyRef module = checked(PyModule_NewObject(qualified.get()));
  PyRef empty = checked(PyUnicode_FromString(""));
  check_status(PyObject_SetAttrString(module.get(), "__doc__", empty.get()));
  table.fill(module.get());
  check_status(PyDict_SetItem(PyImport_GetModuleDict(), qualified.get(), module.get()));
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "quarnel._native must be initialised as a module");
    return -1;
  }
  PyObject* result = guarded([&]() -> PyObject* {
    kNative.fill(module);
    add_submodule(module, "_index", kIndexTable);
    add_submodule(module, "_corpus", kCorpusTable);
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
