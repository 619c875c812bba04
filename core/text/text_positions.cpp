#include "text/text_positions.hpp"

#include <cstring>

#include "base/errors.hpp"
#include "base/swar.hpp"
#include "text/tokenizer.hpp"
#include "text/utf.hpp"

namespace quarnel::core::text_positions {
namespace {

// Bit i set where byte from + i of the text (up to 64 of them) is flagged by `flags`, a test of
// eight bytes at a time that sets bit 7 of each flagged byte (as the swar tests do).
template <class Flags>
std::uint64_t byte_marks(std::string_view text, std::uint64_t from, Flags flags) {
  const std::size_t length = std::min<std::uint64_t>(64, text.size() - from);
  std::uint64_t mask = 0;
  if constexpr (std::endian::native == std::endian::little) {
    char padded[64] = {};
    const char* bytes = text.data() + from;
    if (length < 64) bytes = static_cast<const char*>(std::memcpy(padded, bytes, length));
    for (unsigned k = 0; k < 8; ++k) {
      mask |= swar::gather_high_bits(flags(swar::load8(bytes + 8 * k))) << (8 * k);
    }
  } else {
    for (std::size_t i = 0; i < length; ++i) {
      const auto byte = static_cast<unsigned char>(text[from + i]);
      mask |= ((flags(swar::kLowBits * byte) >> 7) & 1) << i;
    }
  }
  return length < 64 ? mask & ((std::uint64_t{1} << length) - 1) : mask;
}

// Bit 7 of each byte that starts a character, that is a line feed, that leads a character beyond
// the Basic Multilingual Plane (11110xxx: two UTF-16 units; any 1111xxxx byte counts, as no valid
// text has the others).
constexpr std::uint64_t start_bytes(std::uint64_t w) {
  return ~swar::continuation_bytes(w) & swar::kHighBits;
}
constexpr std::uint64_t feed_bytes(std::uint64_t w) {
  return swar::equal_to(w, '\n');
}
constexpr std::uint64_t astral_lead_bytes(std::uint64_t w) {
  return w & (w << 1) & (w << 2) & (w << 3) & swar::kHighBits;
}

// The eight-byte tests agree with the byte tests they stand for, for every byte in every lane.
constexpr bool byte_tests_agree() {
  for (unsigned byte = 0; byte < 0x100; ++byte) {
    const std::uint64_t lanes = swar::kLowBits * byte;
    const auto all = [](bool set) { return set ? swar::kHighBits : 0; };
    const auto b = static_cast<unsigned char>(byte);
    if (swar::word_bytes(lanes) != all(tokenizer::is_word_byte(b)) ||
        start_bytes(lanes) != all(!utf::is_continuation_byte(b)) ||
        feed_bytes(lanes) != all(b == '\n') || astral_lead_bytes(lanes) != all(b >= 0xF0)) {
      return false;
    }
  }
  return true;
}
static_assert(byte_tests_agree());

}  // namespace

BlockRank<1> word_starts(std::string_view text) {
  std::uint64_t previous = 0;  // the last byte of the block before, as bit 0
  return BlockRank<1>(text.size(), [&](std::size_t b) {
    const std::uint64_t word = byte_marks(text, std::uint64_t{b} << 6, swar::word_bytes);
    const std::uint64_t word_starts = word & ~((word << 1) | previous);
    previous = word >> 63;
    return std::array{word_starts};
  });
}

TextPositions::TextPositions(std::string_view text, Lines lines, std::span<const Span> documents,
                             std::span<const WayBack> ways_back)
    : size_(text.size()), documents_(documents.begin(), documents.end()), ways_back_(ways_back) {
  if (documents_.empty()) documents_.push_back({0, text.size()});
  std::uint64_t previous_end = 0;
  for (const Span& doc : documents_) {
    if (doc.start < previous_end || doc.end < doc.start || doc.end > text.size()) {
      throw UsageError("documents must lie in their text, in order and apart");
    }
    previous_end = doc.end;
  }
  if (!ways_back_.empty() && ways_back_.size() != documents_.size()) {
    throw UsageError("expected one way back per document");
  }
  const bool counted = lines == Lines::kCounted;
  if (!counted && utf::is_ascii(text)) return;  // every unit is a byte: no table
  bool astral = false;
  std::uint64_t chars_before = 0;
  if (counted) line_chars_.push_back(0);  // unused: a line after no feed starts its document
  blocks_ = BlockRank<2>(text.size(), [&](std::size_t b) {
    const std::uint64_t from = std::uint64_t{b} << 6;
    std::array<std::uint64_t, 2> bits{byte_marks(text, from, start_bytes), 0};
    if (counted) {
      bits[kFeeds] = byte_marks(text, from, feed_bytes);
      // The next line's first character follows its feed, itself a character.
      for (std::uint64_t f = bits[kFeeds]; f != 0; f &= f - 1) {
        line_chars_.push_back(chars_before +
                              static_cast<std::uint64_t>(
                                  std::popcount(bits[kChars] & bits_below(std::countr_zero(f)))) +
                              1);
      }
    }
    // Only a block with continuation bytes can hold a character of four.
    const std::uint64_t length = std::min<std::uint64_t>(64, text.size() - from);
    if (!astral && static_cast<std::uint64_t>(std::popcount(bits[kChars])) != length) {
      astral = byte_marks(text, from, astral_lead_bytes) != 0;
    }
    chars_before += static_cast<std::uint64_t>(std::popcount(bits[kChars]));
    return bits;
  });
  if (astral) {
    astral_ = BlockRank<1>(text.size(), [&](std::size_t b) {
      return std::array{byte_marks(text, std::uint64_t{b} << 6, astral_lead_bytes)};
    });
  }
  if (counted) {
    bases_.reserve(documents_.size());
    for (const Span& doc : documents_) bases_.push_back({chars(doc.start), feeds(doc.start)});
  }
}

WayBack append_prepared(std::string_view doc, std::span<const normalize::RemovedRange> removed,
                        bool case_insensitive, bool collapse_whitespace, std::string& out) {
  WayBack way_back;
  std::string kept;
  if (!removed.empty()) {
    const TextPositions positions(doc, Lines::kUncounted);
    std::vector<normalize::RemovedRange> bytes;
    bytes.reserve(removed.size());
    for (const auto& r : removed) {
      bytes.push_back({positions.byte_of_char(r.start), positions.byte_of_char(r.end)});
    }
    const auto canonical = normalize::sanitize_ranges(bytes);
    way_back.removed = normalize::build_cumulative_deltas(canonical);
    kept.reserve(doc.size());
    std::uint64_t from = 0;
    for (const auto& r : canonical) {
      kept.append(doc.substr(from, r.start - from));
      from = std::max(from, r.end);
    }
    kept.append(doc.substr(from));
    doc = kept;
  }
  if (!case_insensitive && !collapse_whitespace) {
    out.append(doc);
    return way_back;
  }
  normalize::NormalizedText normal =
      normalize::normalize_text(doc, case_insensitive, collapse_whitespace);
  way_back.normalized = std::move(normal.deltas);
  out.append(normal.text);
  return way_back;
}

}  // namespace quarnel::core::text_positions
