#include "report_text.hpp"

#include <algorithm>
#include <array>
#include <charconv>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/swar.hpp"
#include "text/utf.hpp"

namespace quarnel::report {
namespace {

constexpr std::string_view kEllipsis = "\u2026";

// "\u00XX" for every byte below 0x20.
struct ControlEscapes {
  std::array<std::array<char, 6>, 0x20> text{};
  constexpr ControlEscapes() {
    constexpr std::string_view kHex = "0123456789abcdef";
    for (std::size_t c = 0; c < text.size(); ++c) {
      text[c] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
    }
  }
};
constexpr ControlEscapes kControlEscapes;

// The escape of a byte in a JSON string, or empty for one written as it is.
std::string_view json_escape(unsigned char c) {
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
      if (c >= 0x20) return {};
      return {kControlEscapes.text[c].data(), kControlEscapes.text[c].size()};
  }
}

std::string_view html_escape(unsigned char c) {
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

// Clean blocks: bytes that need no escape, checked 16 at a time with SSE2 (every x86-64 has it),
// else 8 at a time in a 64-bit word.
#if defined(__SSE2__)
constexpr std::size_t kScanBlock = 16;

__m128i load_block(const char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

__m128i equal_to(__m128i v, char c) {
  return _mm_cmpeq_epi8(v, _mm_set1_epi8(c));
}

bool json_clean(const char* p) {
  const __m128i v = load_block(p);
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F));
  const __m128i special = _mm_or_si128(equal_to(v, '"'), equal_to(v, '\\'));
  return _mm_movemask_epi8(_mm_or_si128(control, special)) == 0;
}

bool html_clean(const char* p) {
  const __m128i v = load_block(p);
  const __m128i special =
      _mm_or_si128(_mm_or_si128(_mm_or_si128(equal_to(v, '&'), equal_to(v, '<')),
                                _mm_or_si128(equal_to(v, '>'), equal_to(v, '"'))),
                   equal_to(v, '\''));
  return _mm_movemask_epi8(special) == 0;
}
#else
constexpr std::size_t kScanBlock = 8;

// Bit 7 set in some byte of w when a byte of w is below n (n at most 0x80); the bytes above the
// lowest such one may be marked wrongly, which a test for "none" does not mind.
constexpr std::uint64_t has_below(std::uint64_t w, unsigned n) {
  return (w - core::swar::kLowBits * n) & ~w & core::swar::kHighBits;
}

constexpr std::uint64_t has_byte(std::uint64_t w, unsigned char c) {
  return has_below(w ^ (core::swar::kLowBits * c), 1);
}

bool json_clean(const char* p) {
  const std::uint64_t w = core::swar::load8(p);
  return (has_below(w, 0x20) | has_byte(w, '"') | has_byte(w, '\\')) == 0;
}

bool html_clean(const char* p) {
  const std::uint64_t w = core::swar::load8(p);
  return (has_byte(w, '&') | has_byte(w, '<') | has_byte(w, '>') | has_byte(w, '"') |
          has_byte(w, '\'')) == 0;
}
#endif

// Appends `text` with each byte that `escape_of` gives an escape for replaced by it; blocks
// that `clean` passes are copied without a look at each byte.
template <class Clean, class EscapeOf>
void append_escaped(std::string& out, std::string_view text, Clean clean, EscapeOf escape_of) {
  out.reserve(out.size() + text.size());
  std::size_t plain = 0;  // start of the bytes not yet copied
  std::size_t i = 0;
  while (i < text.size()) {
    if (i + kScanBlock <= text.size() && clean(text.data() + i)) {
      i += kScanBlock;
      continue;
    }
    for (const std::size_t stop = std::min(i + kScanBlock, text.size()); i < stop; ++i) {
      const std::string_view escape = escape_of(static_cast<unsigned char>(text[i]));
      if (escape.empty()) continue;
      out.append(text, plain, i - plain);
      out += escape;
      plain = i + 1;
    }
  }
  out.append(text, plain);
}

// Digits of `value` (with its sign) into `buffer`; returns how many.
std::size_t format_int(std::array<char, 24>& buffer, std::int64_t value) {
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return static_cast<std::size_t>(result.ptr - buffer.data());
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  // lambdas, not function pointers, so that the tests are inlined into the loop
  append_escaped(
      out, text, [](const char* p) { return json_clean(p); },
      [](unsigned char c) { return json_escape(c); });
  out += '"';
}

void append_html_escaped(std::string& out, std::string_view text) {
  append_escaped(
      out, text, [](const char* p) { return html_clean(p); },
      [](unsigned char c) { return html_escape(c); });
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

FlatPreview append_flat(std::string& out, std::string_view text, std::size_t width) {
  constexpr std::size_t kNoRun = std::string_view::npos;
  const std::size_t limit = width * 8;
  std::size_t chars = 0;         // characters appended so far
  std::size_t cut = out.size();  // where the first width - 1 characters end
  std::size_t run = kNoRun;      // start in `text` of the word not yet appended
  bool pending_space = false;
  const auto append_run = [&](std::size_t end) {
    if (run == kNoRun) return;
    out.append(text.data() + run, end - run);
    run = kNoRun;
  };
  std::size_t pos = 0;
  // Once past `width` characters the rest cannot change the preview: it is cut there.
  for (std::size_t read = 0; pos < text.size() && read < limit && chars <= width; ++read) {
    const std::size_t begin = pos;
    const auto byte = static_cast<unsigned char>(text[pos]);
    const char32_t c = byte < 0x80 ? text[pos++] : core::utf::decode_utf8(text, pos);
    if (is_python_space(c)) {
      append_run(begin);
      pending_space = chars > 0;
      continue;
    }
    if (pending_space) {
      out += ' ';
      if (++chars == width - 1) cut = out.size();
      pending_space = false;
    }
    if (run == kNoRun) run = begin;
    if (++chars == width - 1) {
      append_run(pos);
      cut = out.size();
    }
  }
  append_run(pos);
  if (chars <= width) return {chars, false};
  out.resize(cut);
  out += kEllipsis;
  return {width, true};
}

}  // namespace quarnel::report
