#pragma once
// Conversions of core results into new Python objects.

#include <cstdint>
#include <limits>
#include <string_view>

#include "pyref.hpp"

namespace quarnel::python {

// Offsets and counts are mostly below 2^30, for which PyLong_FromLong, unlike
// PyLong_FromUnsignedLongLong, skips the general digit loop.
inline PyRef py_int(std::uint64_t value) {
  if (value <= static_cast<std::uint64_t>(std::numeric_limits<long>::max())) {
    return checked(PyLong_FromLong(static_cast<long>(value)));
  }
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
