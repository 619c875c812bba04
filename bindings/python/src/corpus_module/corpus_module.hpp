#pragma once
// quarnel._corpus: the native half of quarnel.corpus. Its functions take the documents as a
// list of str and every parameter already checked by the Python layer, and return the result
// columns in a dict; _format_groups writes the command line's report rows from those columns.

#include <string>

#include "binder.hpp"

namespace quarnel::python {

extern const FunctionDescriptor kFindPhrases;
extern const FunctionDescriptor kFindPassages;
extern const FunctionDescriptor kFormatGroups;

// Raises ValueError with `message`.
[[noreturn]] void raise_value_error(const std::string& message);

}  // namespace quarnel::python
