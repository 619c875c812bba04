#pragma once
// The character properties and the lower-casing the sentence rules ask of Unicode, from tables
// generated at build time from the Unicode Character Database (cmake/unicode_tables.py).

#include <span>
#include <string>
#include <string_view>

namespace quarnel::core::unicode {

// The UCD version the tables were generated from.
[[nodiscard]] std::string_view database_version();

[[nodiscard]] bool is_alphabetic(char32_t c);  // Alphabetic
[[nodiscard]] bool is_uppercase(char32_t c);   // Uppercase
[[nodiscard]] bool is_numeric(char32_t c);     // general category Nd, Nl or No

// Appends the full lower-case form of `text` in the root locale, as UTF-8: SpecialCasing's
// unconditional mappings, Final_Sigma, and otherwise the simple mapping of UnicodeData.
void append_lower_utf8(std::span<const char32_t> text, std::string& out);

}  // namespace quarnel::core::unicode
