#pragma once
// U64Array results: one-dimensional uint64 NumPy arrays owning a copy of the values.

#include <cstdint>
#include <span>

#include "pyref.hpp"

namespace quarnel::python {

// One allocation by NumPy and one block copy. NumPy is loaded on the first call only, so
// functions that return no array never need it.
PyRef to_u64_array(std::span<const std::uint64_t> values);
// Same, widening 32-bit values in the one copy.
PyRef to_u64_array(std::span<const std::uint32_t> values);

}  // namespace quarnel::python
