#pragma once
// quarnel._corpus: the native half of quarnel.corpus. Its functions take the documents as a
// list of str and every parameter already checked by the Python layer, and return the result
// columns in a dict; _format_groups writes the command line's report rows from those columns,
// and _html_stylesheet is the stylesheet of its HTML page.

#include <cstdint>
#include <string>
#include <vector>

#include "binder.hpp"

namespace quarnel::python {

extern const FunctionDescriptor kFindPhrases;
extern const FunctionDescriptor kFindPassages;
extern const FunctionDescriptor kFormatGroups;
extern const FunctionDescriptor kHtmlStylesheet;

extern const FunctionDescriptor kDedup;
extern const FunctionDescriptor kWindowFingerprints;
extern const FunctionDescriptor kDecideWindows;
extern const FunctionDescriptor kSketchWindows;
extern const FunctionDescriptor kInSlots;
extern const FunctionDescriptor kCutMarked;

// Appends the UTF-8 form of document `item` (a str; TypeError otherwise, ValueError for a lone
// surrogate) to `out`, without creating the str's own UTF-8 cache.
void append_document(PyObject* str, std::size_t item, std::string& out);

// dict[key] = value; throws PythonErrorSet (also for a null value).
void set_item(PyObject* dict, const char* key, const PyRef& value);
// dict[key] = a NumPy array of the values (uint64 or uint8), which are released once NumPy holds
// its copy: a large result is not held twice.
void set_column(PyObject* dict, const char* key, std::vector<std::uint64_t>& values);
void set_column(PyObject* dict, const char* key, std::vector<std::uint8_t>& values);

// Raises ValueError with `message`.
[[noreturn]] void raise_value_error(const std::string& message);

// Calls visit(chars) with the characters of a str that is not ASCII, as a pointer to Py_UCS1,
// Py_UCS2 or Py_UCS4 (its kind).
template <class Visit>
void visit_chars(PyObject* str, Visit&& visit) {
  const void* data = PyUnicode_DATA(str);
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      return visit(static_cast<const Py_UCS1*>(data));
    case PyUnicode_2BYTE_KIND:
      return visit(static_cast<const Py_UCS2*>(data));
    default:
      return visit(static_cast<const Py_UCS4*>(data));
  }
}

}  // namespace quarnel::python
