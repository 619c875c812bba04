#include "text/utf.hpp"

#include "base/swar.hpp"

namespace quarnel::core::utf {

bool is_ascii(std::string_view bytes) {
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) any |= swar::load8(bytes.data() + i);
  for (; i < bytes.size(); ++i) any |= static_cast<unsigned char>(bytes[i]);
  return swar::all_ascii(any);
}

std::size_t utf8_sequence_length(const unsigned char* p, std::size_t avail) {
  const unsigned char b = p[0];
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    if (b == 0xE0) lo = 0xA0;  // overlong
    if (b == 0xED) hi = 0x9F;  // surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    if (b == 0xF0) lo = 0x90;  // overlong
    if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (avail < len || p[1] < lo || p[1] > hi) return 0;
  for (std::size_t k = 2; k < len; ++k) {
    if (!is_continuation_byte(p[k])) return 0;
  }
  return len;
}

bool is_valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    // Prose is mostly ASCII: skip eight such bytes at a time.
    if (i + 8 <= n && swar::all_ascii(swar::load8(p + i))) {
      i += 8;
      continue;
    }
    const std::size_t len = utf8_sequence_length(p + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

char32_t decode_utf8(std::string_view text, std::size_t& pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
  const std::size_t len = utf8_sequence_length(p, text.size() - pos);
  if (len == 0) {
    ++pos;
    return 0xFFFD;
  }
  static constexpr unsigned char kLeadBits[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t cp = p[0] & kLeadBits[len];
  for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (p[k] & 0x3F);
  pos += len;
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  char bytes[4];
  out.append(bytes, encode_utf8(cp, bytes));
}

std::vector<std::uint16_t> utf8_to_utf16(std::string_view text) {
  std::vector<std::uint16_t> units;
  units.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t cp = decode_utf8(text, pos);
    if (cp < 0x10000) {
      units.push_back(static_cast<std::uint16_t>(cp));
    } else {
      units.push_back(static_cast<std::uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      units.push_back(static_cast<std::uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  return units;
}

std::string utf16_to_utf8_lossy(const std::uint16_t* units, std::size_t count) {
  std::string out;
  out.reserve(count * 3);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint16_t u = units[i];
    const bool high = u >= 0xD800 && u <= 0xDBFF;
    const bool low = u >= 0xDC00 && u <= 0xDFFF;
    if (high && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      append_utf8(out, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (high || low) {
      append_utf8(out, 0xFFFD);
    } else {
      append_utf8(out, u);
    }
  }
  return out;
}

}  // namespace quarnel::core::utf
