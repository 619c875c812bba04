#pragma once
// The generic argument binder: one descriptor per function or method drives binding of the
// fast-call-with-keywords convention, the docstring with its text signature, and the boundary
// that turns C++ exceptions into Python ones.

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>

#include "pyref.hpp"

namespace quarnel::python {

inline constexpr std::size_t kMaxParams = 16;

struct Param {
  const char* name;
  const char* default_repr = nullptr;  // shown in the text signature; null for a required one
};

struct BoundArgs;
using EntryImpl = PyObject* (*)(PyObject* self, const BoundArgs& args);

struct FunctionDescriptor {
  const char* name;
  const char* owner;  // class name for methods, null for module functions
  std::array<Param, kMaxParams> params;
  std::size_t param_count;
  std::size_t required;
  const char* doc_body;
  EntryImpl impl;
  bool is_method = false;  // shows "$self" in the text signature

  // "count()" or "FMIndex.count()", as messages name the callable.
  [[nodiscard]] std::string display_name() const;
  // "(params)", with "$self" first for methods.
  [[nodiscard]] std::string signature() const;
  // "name(params)\n--\n\nbody", which inspect.signature and help() read.
  [[nodiscard]] std::string docstring() const;
};

// Builds a descriptor; parameters without a default must come first.
FunctionDescriptor describe(const char* name, std::initializer_list<Param> params,
                            const char* doc_body, EntryImpl impl, const char* owner = nullptr,
                            bool is_method = false);

// Arguments after binding, in parameter order; null where an argument was omitted. Borrowed.
struct BoundArgs {
  const FunctionDescriptor* fn = nullptr;
  std::array<PyObject*, kMaxParams> values{};
  [[nodiscard]] PyObject* operator[](std::size_t i) const { return values[i]; }
  [[nodiscard]] const char* name(std::size_t i) const { return fn->params[i].name; }
};

// Binds positional and keyword arguments (the vectorcall layout) or raises the binding TypeError.
BoundArgs bind_arguments(const FunctionDescriptor& fn, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);

// Binds, then runs the implementation; every C++ exception becomes a Python one here.
PyObject* call_entry(const FunctionDescriptor& fn, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) noexcept;

// Same, for the tuple-and-dict convention of tp_new.
PyObject* call_entry_tuple(const FunctionDescriptor& fn, PyObject* self, PyObject* args,
                           PyObject* kwargs) noexcept;

// The METH_FASTCALL | METH_KEYWORDS trampoline of one descriptor.
template <const FunctionDescriptor& Fn>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return call_entry(Fn, self, args, nargs, kwnames);
}

// The method record of one descriptor; `doc` must outlive it. METH_CLASS or METH_STATIC may be
// added to `flags`.
template <const FunctionDescriptor& Fn>
PyMethodDef method_def(const std::string& doc, int flags = 0) {
  return {Fn.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<Fn>)),
          METH_FASTCALL | METH_KEYWORDS | flags, doc.c_str()};
}

}  // namespace quarnel::python
