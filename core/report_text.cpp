#include "report_text.hpp"

#include <array>
#include <charconv>

#include "utf.hpp"

namespace quarnel::core::report_text {
namespace {

constexpr std::string_view kEllipsis = "\u2026";

// The escape of a byte below 0x20, or empty for one written as it is.
std::string_view short_escape(unsigned char c) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    case '\b':
      return "\\b";
    case '\f':
      return "\\f";
    default:
      return {};
  }
}

void append_unicode_escape(std::string& out, unsigned char c) {
  constexpr std::string_view kHex = "0123456789abcdef";
  out += "\\u00";
  out += kHex[c >> 4];
  out += kHex[c & 0xF];
}

std::string_view html_escape(char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&#x27;";
    default:
      return {};
  }
}

// Digits of `value` (with its sign) into `buffer`; returns how many.
std::size_t format_int(std::array<char, 24>& buffer, std::int64_t value) {
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return static_cast<std::size_t>(result.ptr - buffer.data());
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  std::size_t plain = 0;  // start of the bytes not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text, plain, i - plain);
    plain = i + 1;
    const std::string_view escape = short_escape(c);
    if (escape.empty()) {
      append_unicode_escape(out, c);
    } else {
      out += escape;
    }
  }
  out.append(text, plain);
  out += '"';
}

void append_html_escaped(std::string& out, std::string_view text) {
  std::size_t plain = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::string_view escape = html_escape(text[i]);
    if (escape.empty()) continue;
    out.append(text, plain, i - plain);
    out += escape;
    plain = i + 1;
  }
  out.append(text, plain);
}

void append_int(std::string& out, std::int64_t value) {
  std::array<char, 24> buffer{};
  out.append(buffer.data(), format_int(buffer, value));
}

void append_int_padded(std::string& out, std::int64_t value, std::size_t width) {
  std::array<char, 24> buffer{};
  const std::size_t n = format_int(buffer, value);
  if (n < width) out.append(width - n, ' ');
  out.append(buffer.data(), n);
}

void append_grouped(std::string& out, std::int64_t value) {
  std::array<char, 24> buffer{};
  const std::size_t n = format_int(buffer, value);
  const std::size_t sign = value < 0 ? 1 : 0;
  out.append(buffer.data(), sign);
  const std::size_t digits = n - sign;
  for (std::size_t i = 0; i < digits; ++i) {
    if (i > 0 && (digits - i) % 3 == 0) out += ',';
    out += buffer[sign + i];
  }
}

bool is_python_space(char32_t c) {
  if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
  switch (c) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

std::size_t append_flat(std::string& out, std::string_view text, std::size_t width) {
  const std::size_t base = out.size();
  const std::size_t limit = width * 8;
  std::size_t chars = 0;  // characters appended so far
  std::size_t cut = base;  // where the first width - 1 characters end
  std::size_t read = 0;
  bool pending_space = false;
  for (std::size_t pos = 0; pos < text.size() && read < limit; ++read) {
    const std::size_t begin = pos;
    const char32_t c = utf::decode_utf8(text, pos);
    if (is_python_space(c)) {
      pending_space = chars > 0;
      continue;
    }
    if (pending_space) {
      out += ' ';
      if (++chars == width - 1) cut = out.size();
      pending_space = false;
    }
    out.append(text, begin, pos - begin);
    if (++chars == width - 1) cut = out.size();
  }
  if (chars <= width) return chars;
  out.resize(cut);
  out += kEllipsis;
  return width;
}

}  // namespace quarnel::core::report_text
