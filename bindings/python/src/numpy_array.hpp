#pragma once
// U64Array results: one-dimensional uint64 NumPy arrays owning a copy of the values.

#include <cstdint>
#include <span>
#include <vector>

#include "pyref.hpp"

namespace quarnel::python {

// One allocation by NumPy and one block copy. NumPy is loaded on the first call only, so
// functions that return no array never need it.
PyRef to_u64_array(std::span<const std::uint64_t> values);
// Same, widening 32-bit values in the one copy.
PyRef to_u64_array(std::span<const std::uint32_t> values);
// A new uint64 array of `size` elements for the caller to fill, and its elements.
PyRef new_u64_array(std::size_t size);
std::uint64_t* u64_data(const PyRef& array);

// Unsigned element types of the other arrays the package returns, by size in bytes.
// A new writable one-dimensional array of `count` elements of `element_size` bytes (1, 2, 4, 8),
// holding a copy of `bytes` (element_size * count bytes).
PyRef to_unsigned_array(const void* bytes, std::size_t count, unsigned element_size);
// A writable uint64 array that takes over the vector's memory: no copy, for columns of hundreds
// of megabytes (the vector should hold no more capacity than its size).
PyRef adopt_u64_array(std::vector<std::uint64_t>&& values);
// A read-only one-dimensional array over memory that `owner` keeps alive, without a copy; the
// array holds a reference to `owner`.
PyRef readonly_view(const void* data, std::size_t count, unsigned element_size, PyObject* owner);

}  // namespace quarnel::python
