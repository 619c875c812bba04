// The generated character tables against ICU, the library the sentence rules were first written
// on: the same answer for every code point, and the same lower-case form in every context the
// one context-dependent mapping (Final_Sigma) looks at.
#include "text/unicode_properties.hpp"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/uversion.h>

#include "test_support.hpp"

namespace uni = quarnel::core::unicode;

namespace {

std::uint32_t hex(char32_t c) {
  return static_cast<std::uint32_t>(c);
}

std::string icu_lower(std::u32string_view s) {
  std::u16string utf16;
  for (char32_t c : s) {
    if (c < 0x10000) {
      utf16.push_back(static_cast<char16_t>(c));
    } else {
      utf16.push_back(static_cast<char16_t>(U16_LEAD(c)));
      utf16.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    }
  }
  std::u16string out(3 * utf16.size() + 8, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  const int32_t len = u_strToLower(out.data(), static_cast<int32_t>(out.size()), utf16.data(),
                                   static_cast<int32_t>(utf16.size()), "", &status);
  EXPECT_TRUE(U_SUCCESS(status));
  std::string utf8(4 * static_cast<std::size_t>(len) + 4, '\0');
  int32_t utf8_len = 0;
  u_strToUTF8(utf8.data(), static_cast<int32_t>(utf8.size()), &utf8_len, out.data(), len, &status);
  EXPECT_TRUE(U_SUCCESS(status));
  utf8.resize(static_cast<std::size_t>(utf8_len));
  return utf8;
}

std::string our_lower(std::u32string_view s) {
  std::string out;
  uni::append_lower_utf8(s, out);
  return out;
}

TEST(UnicodeTables, AreOfTheUnicodeVersionOfIcu) {
  UVersionInfo version;
  u_getUnicodeVersion(version);
  char text[U_MAX_VERSION_STRING_LENGTH];
  u_versionToString(version, text);
  std::string icu = text;
  while (std::count(icu.begin(), icu.end(), '.') < 2) icu += ".0";
  EXPECT_EQ(uni::database_version(), icu);
}

TEST(UnicodeTables, PropertiesMatchIcuOnEveryCodePoint) {
  constexpr std::uint32_t kNumeric = U_GC_ND_MASK | U_GC_NL_MASK | U_GC_NO_MASK;
  for (char32_t c = 0; c < 0x110000 + 16; ++c) {
    const auto u = static_cast<UChar32>(c);
    ASSERT_EQ(uni::is_alphabetic(c), static_cast<bool>(u_isUAlphabetic(u))) << std::hex << hex(c);
    ASSERT_EQ(uni::is_uppercase(c), static_cast<bool>(u_isUUppercase(u))) << std::hex << hex(c);
    ASSERT_EQ(uni::is_numeric(c), (U_GET_GC_MASK(u) & kNumeric) != 0) << std::hex << hex(c);
  }
}

// Each character alone, beside a capital sigma in the four places where whether it is cased or
// case-ignorable decides between the final and the other small sigma, and inside a word. The
// sentence rules rely on the last: each character lower-cases to something non-empty, the same
// between other characters as on its own (a capital sigma aside), so a word can be lower-cased
// part by part.
TEST(UnicodeTables, LowerCasingMatchesIcuOnEveryCodePointAndSigmaContext) {
  for (char32_t c = 0; c < 0x110000; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;  // not scalar values
    const std::array<std::u32string, 6> cases = {std::u32string{c},
                                                 std::u32string{c, U'Σ'},
                                                 std::u32string{U'A', c, U'Σ'},
                                                 std::u32string{U'A', U'Σ', c},
                                                 std::u32string{U'A', U'Σ', c, U'A'},
                                                 std::u32string{U'a', U'.', c, U'c'}};
    for (const std::u32string& s : cases) {
      ASSERT_EQ(our_lower(s), icu_lower(s)) << std::hex << hex(c);
    }
  }
}

}  // namespace
