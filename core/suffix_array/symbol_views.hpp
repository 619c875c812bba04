#pragma once
// What the suffix index's files share: the text's symbols and the array's entries in their own
// types, owned arrays, and the batch size worth two threads.
// Cost: O(1) each; an owned array takes its vector over without a copy.

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "base/errors.hpp"
#include "suffix_array/suffix_index.hpp"

namespace quarnel::core::suffix_array::detail {

// Calls body(symbol pointer) with the text's symbols in their own type.
template <class Body>
decltype(auto) with_symbols(const SymbolText& text, Body&& body) {
  switch (text.width) {
    case 1:
      return body(static_cast<const std::uint8_t*>(text.data));
    case 2:
      return body(static_cast<const std::uint16_t*>(text.data));
    case 4:
      return body(static_cast<const std::uint32_t*>(text.data));
    default:
      throw InternalError("symbol width must be 1, 2 or 4");
  }
}

template <class Body>
decltype(auto) with_entries(const IndexArray& a, Body&& body) {
  if (a.width == 4) return body(static_cast<const std::uint32_t*>(a.data));
  if (a.width == 8) return body(static_cast<const std::uint64_t*>(a.data));
  throw InternalError("entry width must be 4 or 8");
}

template <class T>
IndexArray owned_array(std::vector<T> values) {
  auto owner = std::make_shared<std::vector<T>>(std::move(values));
  return {owner->data(), owner->size(), sizeof(T), owner};
}

// Batches of this many searches are split over two threads: below, a thread start costs more
// than it saves. Each pattern makes two searches.
constexpr std::uint64_t kMinSplitPatterns = 4096;

}  // namespace quarnel::core::suffix_array::detail
