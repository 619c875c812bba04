#pragma once
// Conversions of core results into new Python objects.

#include <cstdint>
#include <string_view>

#include "pyref.hpp"

namespace quarnel::python {

inline PyRef py_int(std::uint64_t value) {
  return checked(PyLong_FromUnsignedLongLong(value));
}

inline PyRef py_bytes(std::string_view bytes) {
  return checked(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

inline PyRef py_str(std::string_view utf8) {
  return checked(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

// Elements first, then the tuple.
inline PyRef py_pair(PyRef first, PyRef second) {
  return checked(PyTuple_Pack(2, first.get(), second.get()));
}

}  // namespace quarnel::python
