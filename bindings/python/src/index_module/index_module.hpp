#pragma once
// quarnel._index: the reusable indexes of the package, in a submodule of their own so that
// quarnel._native keeps exactly its own set of names.

#include "pyref.hpp"

namespace quarnel::python {

// The SuffixArray type, created for `module`; null with an exception set on failure.
PyObject* new_suffix_array_type(PyObject* module);

}  // namespace quarnel::python
