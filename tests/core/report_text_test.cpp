#include "report_text.hpp"

#include "test_support.hpp"

namespace text = quarnel::report;

namespace {

template <class Append, class... Args>
std::string appended(Append append, Args... args) {
  std::string out = "x";  // appends keep what is there
  append(out, args...);
  return out.substr(1);
}

// The decimal digits read from the right, a comma before every fourth one.
std::string grouped_oracle(std::int64_t value) {
  const std::string digits = std::to_string(value);
  const std::size_t sign = value < 0 ? 1 : 0;
  std::string reversed;
  for (std::size_t k = digits.size(), n = 0; k > sign; --k, ++n) {
    if (n > 0 && n % 3 == 0) reversed += ',';
    reversed += digits[k - 1];
  }
  return digits.substr(0, sign) + std::string(reversed.rbegin(), reversed.rend());
}

TEST(ReportText, NumbersAreGroupedAndPaddedAsPythonFormatsThem) {
  std::mt19937_64 rng(7);
  using limits = std::numeric_limits<std::int64_t>;
  std::vector<std::int64_t> values{0,     7,      -7,      999,           1000,
                                   -1000, 999999, 1000000, limits::max(), limits::min()};
  for (int k = 0; k < 2000; ++k) {
    values.push_back(static_cast<std::int64_t>(rng()) >> (rng() % 64));
  }
  for (const std::int64_t v : values) {
    EXPECT_EQ(appended(text::append_grouped, v), grouped_oracle(v)) << v;
    EXPECT_EQ(appended(text::append_int, v), std::to_string(v));
    const std::string digits = std::to_string(v);
    for (const std::size_t width : {std::size_t{0}, std::size_t{5}, std::size_t{21}}) {
      const std::string padded = appended(text::append_int_padded, v, width);
      EXPECT_EQ(padded.size(), std::max(width, digits.size()));
      EXPECT_TRUE(padded.ends_with(digits));
      EXPECT_EQ(padded.find_first_not_of(' '), padded.size() - digits.size());
    }
  }
}

// Byte-at-a-time escapes, the way the rules read.
std::string json_oracle(std::string_view s) {
  std::string out = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    const char* named = c == '"'    ? "\\\""
                        : c == '\\' ? "\\\\"
                        : c == '\n' ? "\\n"
                        : c == '\r' ? "\\r"
                        : c == '\t' ? "\\t"
                        : c == '\b' ? "\\b"
                        : c == '\f' ? "\\f"
                                    : nullptr;
    if (named != nullptr) {
      out += named;
    } else if (c < 0x20) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", c);
      out += code;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string html_oracle(std::string_view s) {
  std::string out;
  for (const char c : s) {
    out += c == '&'    ? "&amp;"
           : c == '<'  ? "&lt;"
           : c == '>'  ? "&gt;"
           : c == '"'  ? "&quot;"
           : c == '\'' ? "&#x27;"
                       : std::string(1, c);
  }
  return out;
}

// Lengths around the block sizes (the empty string too), rare and dense escapes of every kind,
// 0x7F, bytes above it and bytes that are not UTF-8, all kept as they are.
TEST(ReportText, EscapesAgreeWithByteAtATimeOracles) {
  std::mt19937 rng(3);
  const std::string_view plain = "abcdefgh ijklmnop\x7f\xc3\xa9\xff\x80";
  const std::string_view special = "\"\\\n\r\t\b\f\x01\x1f\x00&<>'";
  for (int k = 0; k < 3000; ++k) {
    std::string s(rng() % 70, ' ');
    const unsigned density = rng() % 4;  // 0: none, else one byte in 2^(2 * density)
    for (char& c : s) {
      const bool escape = density > 0 && rng() % (1U << (2 * density)) == 0;
      c = escape ? special[rng() % special.size()] : plain[rng() % plain.size()];
    }
    ASSERT_EQ(appended(text::append_json_string, std::string_view(s)), json_oracle(s));
    ASSERT_EQ(appended(text::append_html_escaped, std::string_view(s)), html_oracle(s));
  }
}

// str.split() splits at White_Space and the four ASCII separators U+001C..U+001F.
TEST(ReportText, PythonWhiteSpaceIsTheSetStrSplitUses) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    ASSERT_EQ(text::is_python_space(c),
              quarnel::test::listed_white_space(c) || (c >= 0x1C && c <= 0x1F))
        << static_cast<unsigned>(c);
  }
}

// White space runs made one space (the space counts as a character), both ends trimmed, a cut
// marked by an ellipsis within the width; a raw byte is one character, kept as it is; only the
// first width * 8 characters are read.
TEST(ReportText, FlatPreviewsCollapseSpaceAndCutWithAnEllipsis) {
  using Case = std::tuple<std::string, std::size_t, std::string, std::size_t, bool>;
  for (const auto& [input, width, flat, chars, cut] :
       std::vector<Case>{{"  a \t\n b\u3000c  ", 60, "a b c", 5, false},
                         {"abcdef", 6, "abcdef", 6, false},
                         {"abcdefg", 6, "abcde\u2026", 6, true},
                         {"abcdef ", 6, "abcdef", 6, false},
                         {"ab   cdefg", 4, "ab \u2026", 4, true},
                         {"\xC3\xA9\xC3\xA9\xC3\xA9", 2, "\xC3\xA9\u2026", 2, true},
                         {"a\xFF!", 60, "a\xFF!", 3, false},
                         {std::string(16, ' ') + "abc", 2, "", 0, false},
                         {"", 0, "", 0, false}}) {
    std::string out = "x";  // appends keep what is there
    const text::FlatPreview preview = text::append_flat(out, input, width);
    EXPECT_EQ(std::tuple(out, preview.chars, preview.cut), std::tuple("x" + flat, chars, cut))
        << input;
  }
}

}  // namespace
