#pragma once
// What one module holds, in registration order: quarnel._native and the two submodules its
// shared object also defines (quarnel._index, quarnel._corpus) are all set up by `fill`.

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

#include "binder.hpp"

namespace quarnel::python {

struct ModuleFunction {
  const FunctionDescriptor* fn;
  PyCFunction call;
};

template <const FunctionDescriptor& Fn>
ModuleFunction module_function() {
  return {&Fn, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<Fn>))};
}

struct ModuleClass {
  const char* name;
  PyObject* (*make)(PyObject* module);  // a new type bound to the module; null with an error set
};

class ModuleTable {
 public:
  ModuleTable(std::initializer_list<ModuleFunction> functions,
              std::initializer_list<ModuleClass> classes)
      : functions_(functions), classes_(classes) {}

  // Adds the functions, then the classes, as attributes of `module`, each name appended to
  // __all__ unless it starts with an underscore. Throws PythonErrorSet.
  void fill(PyObject* module) const;

 private:
  std::vector<ModuleFunction> functions_;
  std::vector<ModuleClass> classes_;
  // Built on the first fill, under the interpreter lock; the function objects keep pointers
  // into them for the life of the process.
  mutable std::vector<std::string> docs_;
  mutable std::vector<PyMethodDef> defs_;
};

// The submodules' tables.
extern const ModuleTable kIndexTable;
extern const ModuleTable kCorpusTable;

}  // namespace quarnel::python
