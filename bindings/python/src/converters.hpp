#pragma once
// Converters, one per argument kind. Each reads bound argument i; on failure it raises the
// Python error (TypeError messages get the "argument '<name>': " prefix) and throws
// PythonErrorSet, so the first failing argument ends the call.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "binder.hpp"
#include "text/normalize.hpp"

namespace quarnel::python {

// `bytes` or a subclass; the view borrows the object's own buffer.
std::span<const std::uint8_t> to_byte_text(const BoundArgs& args, std::size_t i);
// `str`, read through its cached UTF-8 form.
std::string_view to_text(const BoundArgs& args, std::size_t i);
// Any object with __index__, 0 to 2^64 - 1.
std::uint64_t to_unsigned_index(const BoundArgs& args, std::size_t i);
// True, False or a NumPy boolean scalar.
bool to_flag(const BoundArgs& args, std::size_t i);
// A sequence (not `str`) of 2-tuples of unsigned indexes.
std::vector<core::normalize::RemovedRange> to_range_pairs(const BoundArgs& args, std::size_t i);

// `None` and omission both mean absent.
template <class Convert>
auto to_optional(const BoundArgs& args, std::size_t i, Convert convert)
    -> std::optional<decltype(convert(args, i))> {
  if (args[i] == nullptr || args[i] == Py_None) return std::nullopt;
  return convert(args, i);
}

// A parameter with a non-None default takes it only when omitted.
template <class Convert, class T>
auto to_defaulted(const BoundArgs& args, std::size_t i, Convert convert, T fallback)
    -> decltype(convert(args, i)) {
  if (args[i] == nullptr) return fallback;
  return convert(args, i);
}

}  // namespace quarnel::python
