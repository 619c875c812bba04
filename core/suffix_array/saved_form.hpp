#pragma once
// The saved form of a suffix array: a 64-byte little-endian header (magic, version, entry width,
// symbol width, text length, checksums of the text, the entries and the header) and then the
// entries. The text is not stored; loading needs it and checks it against the header.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "suffix_array/suffix_index.hpp"

namespace quarnel::core::suffix_array {

// The header of the saved form; the entries' bytes follow it.
[[nodiscard]] std::vector<std::uint8_t> saved_header(const SymbolText& text, const IndexArray& sa);
void save_suffix_array(const std::string& path, const SymbolText& text, const IndexArray& sa);

// Maps the entries of a saved file, after checking its size against its header; the text must be
// the one it was built from. Every mismatch or damage raises persist::FormatError naming it.
[[nodiscard]] IndexArray load_suffix_array(const std::string& path, const SymbolText& text);

// The same checks on a saved form in memory; the entries are used in place, `keep` holding that
// memory (which must be aligned for the entries). `origin` names the form in messages.
[[nodiscard]] IndexArray suffix_array_from_saved(std::span<const std::uint8_t> file,
                                                 const SymbolText& text,
                                                 std::shared_ptr<const void> keep,
                                                 const std::string& origin);

}  // namespace quarnel::core::suffix_array
