#pragma once
// quarnel._corpus: the native half of quarnel.corpus. Its functions take the documents as a
// list of str and every parameter already checked by the Python layer, and return the result
// columns in a dict.

#include "binder.hpp"

namespace quarnel::python {

extern const FunctionDescriptor kFindPhrases;
extern const FunctionDescriptor kFindPassages;

}  // namespace quarnel::python
