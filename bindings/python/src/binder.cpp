#include "binder.hpp"

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "error_mapping.hpp"

namespace quarnel::python {
namespace {

[[noreturn]] void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PythonErrorSet{};
}

std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += (names.size() == 2) ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

[[noreturn]] void raise_too_many_positional(const FunctionDescriptor& fn, Py_ssize_t given) {
  std::string takes = fn.required == fn.param_count ? std::to_string(fn.param_count)
                                                    : "from " + std::to_string(fn.required) +
                                                          " to " + std::to_string(fn.param_count);
  raise_type_error(fn.display_name() + " takes " + takes + " positional arguments but " +
                   std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

void raise_if_missing(const FunctionDescriptor& fn, const BoundArgs& bound) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < fn.required; ++i) {
    if (bound.values[i] == nullptr) missing.emplace_back(fn.params[i].name);
  }
  if (missing.empty()) return;
  raise_type_error(fn.display_name() + " missing " + std::to_string(missing.size()) +
                   " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                   quoted_list(missing));
}

std::size_t find_param(const FunctionDescriptor& fn, PyObject* key) {
  for (std::size_t i = 0; i < fn.param_count; ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, fn.params[i].name) == 0) {
      return i;
    }
  }
  return fn.param_count;
}

void bind_keyword(const FunctionDescriptor& fn, BoundArgs& bound, PyObject* key, PyObject* value) {
  const std::size_t i = find_param(fn, key);
  if (i == fn.param_count) {
    PyRef text = checked(PyObject_Str(key));
    const char* utf8 = PyUnicode_AsUTF8(text.get());
    if (utf8 == nullptr) throw PythonErrorSet{};
    raise_type_error(fn.display_name() + " got an unexpected keyword argument '" + utf8 + "'");
  }
  if (bound.values[i] != nullptr) {
    raise_type_error(fn.display_name() + " got multiple values for argument '" + fn.params[i].name +
                     "'");
  }
  bound.values[i] = value;
}

}  // namespace

std::string FunctionDescriptor::display_name() const {
  return owner ? std::string(owner) + "." + name + "()" : std::string(name) + "()";
}

std::string FunctionDescriptor::signature() const {
  std::string sig = is_method ? "$self" : "";
  for (std::size_t i = 0; i < param_count; ++i) {
    if (!sig.empty()) sig += ", ";
    sig += params[i].name;
    if (params[i].default_repr) sig += std::string("=") + params[i].default_repr;
  }
  return "(" + sig + ")";
}

std::string FunctionDescriptor::docstring() const {
  return std::string(name) + signature() + "\n--\n\n" + doc_body;
}

FunctionDescriptor describe(const char* name, std::initializer_list<Param> params,
                            const char* doc_body, EntryImpl impl, const char* owner,
                            bool is_method) {
  // Descriptors are made as the module loads: a table too long must stop it, not overrun.
  if (params.size() > kMaxParams) {
    throw std::length_error(std::string(name) + ": more parameters than kMaxParams");
  }
  FunctionDescriptor fn{name, owner, {}, params.size(), 0, doc_body, impl, is_method};
  std::size_t i = 0;
  for (const Param& p : params) {
    fn.params[i++] = p;
    if (p.default_repr == nullptr) ++fn.required;
  }
  return fn;
}

BoundArgs bind_arguments(const FunctionDescriptor& fn, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  BoundArgs bound;
  bound.fn = &fn;
  if (static_cast<std::size_t>(nargs) > fn.param_count) raise_too_many_positional(fn, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) bound.values[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    bind_keyword(fn, bound, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
  }
  raise_if_missing(fn, bound);
  return bound;
}

PyObject* call_entry(const FunctionDescriptor& fn, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] { return fn.impl(self, bind_arguments(fn, args, nargs, kwnames)); });
}

PyObject* call_entry_tuple(const FunctionDescriptor& fn, PyObject* self, PyObject* args,
                           PyObject* kwargs) noexcept {
  return guarded([&] {
    // Lay the tuple and dict out as the vectorcall convention does, then bind as usual.
    std::vector<PyObject*> flat;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
    PyRef kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
      kwnames = checked(PyTuple_New(PyDict_GET_SIZE(kwargs)));
      Py_ssize_t pos = 0, k = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
        flat.push_back(value);
      }
    }
    return fn.impl(self, bind_arguments(fn, flat.data(), nargs, kwnames.get()));
  });
}

}  // namespace quarnel::python
