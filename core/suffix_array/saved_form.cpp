// The suffix array's saved form. Loading checks, besides the checksums, that the header's fields
// fit one another and the file's size (before the file is mapped), and that the entries lie
// inside the text and pass for a permutation of its positions, in one pass that shares the
// checksum's read.

#include "suffix_array/saved_form.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "persist/checksum.hpp"
#include "persist/mapped_file.hpp"

namespace quarnel::core::suffix_array {
namespace {

constexpr std::size_t kHeaderSize = 64;
constexpr std::array<std::uint8_t, 8> kMagic = {'Q', 'R', 'N', 'L', 'S', 'U', 'F', 'A'};
constexpr std::uint32_t kVersion = 1;

// Header layout; the bytes not listed are zero.
constexpr std::size_t kVersionAt = 8;
constexpr std::size_t kEntryWidthAt = 12;
constexpr std::size_t kSymbolWidthAt = 16;
constexpr std::size_t kLengthAt = 24;
constexpr std::size_t kTextChecksumAt = 32;
constexpr std::size_t kEntriesChecksumAt = 40;
constexpr std::size_t kHeaderChecksumAt = 56;

using persist::FormatError;

[[noreturn]] void refuse(const std::string& origin, const std::string& problem) {
  throw FormatError("cannot load suffix array from " + origin + ": " + problem);
}

struct SavedHeader {
  std::uint32_t entry_width, symbol_width;
  std::uint64_t length, text_checksum, entries_checksum;
  [[nodiscard]] std::uint64_t file_size() const noexcept {
    return kHeaderSize + length * entry_width;
  }
};

// Constant time; refuses whatever a save cannot have written, and a size the file does not have.
SavedHeader read_header(std::span<const std::uint8_t> head, std::uint64_t file_size,
                        const std::string& origin) {
  if (head.size() < kHeaderSize) {
    refuse(origin, "file truncated (" + std::to_string(head.size()) +
                       " bytes, shorter than the 64-byte header)");
  }
  if (!std::equal(kMagic.begin(), kMagic.end(), head.begin())) {
    refuse(origin, "not a quarnel suffix array file (wrong magic bytes)");
  }
  if (persist::checksum64(head.first(kHeaderChecksumAt)) !=
      persist::get_u64(head, kHeaderChecksumAt)) {
    refuse(origin, "corrupt header (header checksum mismatch)");
  }
  const std::uint32_t version = persist::get_u32(head, kVersionAt);
  if (version != kVersion) refuse(origin, "unsupported format version " + std::to_string(version));
  const SavedHeader h{persist::get_u32(head, kEntryWidthAt), persist::get_u32(head, kSymbolWidthAt),
                      persist::get_u64(head, kLengthAt), persist::get_u64(head, kTextChecksumAt),
                      persist::get_u64(head, kEntriesChecksumAt)};
  // Entries are 4 or 8 bytes, so a length beyond this cannot be stored in any file.
  if (h.length >= (std::uint64_t{1} << 60)) {
    refuse(origin, "corrupt header (length " + std::to_string(h.length) + ")");
  }
  if (h.entry_width != entry_width_for(h.length)) {
    refuse(origin, "corrupt header (entry width " + std::to_string(h.entry_width) +
                       " does not fit a text of " + std::to_string(h.length) + " symbols)");
  }
  if (h.symbol_width != 1 && h.symbol_width != 2 && h.symbol_width != 4) {
    refuse(origin, "corrupt header (symbol width " + std::to_string(h.symbol_width) + ")");
  }
  const auto reserved = [&](std::size_t from, std::size_t to) {
    return std::any_of(head.begin() + from, head.begin() + to, [](std::uint8_t b) { return b; });
  };
  if (reserved(20, kLengthAt) || reserved(48, kHeaderChecksumAt)) {
    refuse(origin, "corrupt header (reserved bytes)");
  }
  if (file_size < h.file_size()) {
    refuse(origin, "file truncated (" + std::to_string(file_size) + " bytes, the header needs " +
                       std::to_string(h.file_size()) + ")");
  }
  if (file_size > h.file_size()) {
    refuse(origin, "trailing data (" + std::to_string(file_size - h.file_size()) +
                       " bytes after the entries)");
  }
  return h;
}

void check_against_text(const std::string& origin, const SavedHeader& h, const SymbolText& text) {
  if (h.symbol_width != text.width) {
    refuse(origin, "data has " + std::to_string(text.width) +
                       "-byte symbols but the file was built from " +
                       std::to_string(h.symbol_width) + "-byte symbols");
  }
  if (h.length != text.size) {
    refuse(origin, "data has " + std::to_string(text.size) +
                       " symbols but the file was built from " + std::to_string(h.length));
  }
  if (persist::checksum64(text.bytes()) != h.text_checksum) {
    refuse(origin, "data differs from the text the file was built from (text checksum mismatch)");
  }
}

// The checksum of the entries, and whether they pass for a permutation of 0 .. n - 1: every
// entry below n (which is what keeps every query inside the text), and the sum and the sum of
// squares (mod 2^64) of the entries those of 0 .. n - 1, which any edit of one entry, and any
// entry copied over another, changes. A proof would take a bitmap of n bits marked at scattered
// places: measured at six times the load's own time for 64 MB of text, for no gain in safety.
// The entries are checked a chunk at a time right after the checksum has read it, at about the
// checksum's speed.
template <class Idx>
std::uint64_t checksum_and_check(std::span<const Idx> entries, bool& permutation) {
  constexpr std::size_t kChunk = 8192;
  const std::uint64_t n = entries.size();
  persist::Checksum sum;
  Idx largest = 0;
  std::uint64_t total = 0, squares = 0;
  for (std::size_t at = 0; at < n; at += kChunk) {
    const auto chunk = entries.subspan(at, std::min<std::size_t>(kChunk, n - at));
    sum.update(persist::as_byte_span(chunk));
    for (const Idx e : chunk) {
      largest = std::max(largest, e);
      total += e;
      squares += std::uint64_t{e} * e;
    }
  }
  // 0 + 1 + ... + (n - 1) and the sum of their squares, mod 2^64: halve the even factor first.
  const std::uint64_t m = n == 0 ? 0 : n - 1;
  const unsigned __int128 wide = static_cast<unsigned __int128>(m) * (m + 1);
  const std::uint64_t expected_total = static_cast<std::uint64_t>(wide / 2);
  // m(m + 1)(2m + 1) / 6: the factors divided by 2 and 3 first, then multiplied mod 2^64.
  std::uint64_t f[3] = {m, m + 1, 2 * m + 1};
  for (std::uint64_t d : {2ULL, 3ULL}) {
    for (auto& x : f) {
      if (x % d == 0) {
        x /= d;
        break;
      }
    }
  }
  const std::uint64_t expected_squares = f[0] * f[1] * f[2];
  permutation = (n == 0 || largest < n) && total == expected_total && squares == expected_squares;
  return sum.digest();
}

}  // namespace

std::vector<std::uint8_t> saved_header(const SymbolText& text, const IndexArray& sa) {
  persist::require_little_endian_host();
  persist::HeaderWriter h(kHeaderSize);
  h.put_bytes(0, kMagic);
  h.put_u32(kVersionAt, kVersion);
  h.put_u32(kEntryWidthAt, sa.width);
  h.put_u32(kSymbolWidthAt, text.width);
  h.put_u64(kLengthAt, text.size);
  h.put_u64(kTextChecksumAt, persist::checksum64(text.bytes()));
  h.put_u64(kEntriesChecksumAt, persist::checksum64(sa.bytes()));
  h.put_u64(kHeaderChecksumAt, persist::checksum64(h.bytes().first(kHeaderChecksumAt)));
  return {h.bytes().begin(), h.bytes().end()};
}

void save_suffix_array(const std::string& path, const SymbolText& text, const IndexArray& sa) {
  const std::vector<std::uint8_t> header = saved_header(text, sa);
  persist::write_file(path, {header, sa.bytes()});
}

IndexArray suffix_array_from_saved(std::span<const std::uint8_t> file, const SymbolText& text,
                                   std::shared_ptr<const void> keep, const std::string& origin) {
  persist::require_little_endian_host();
  const SavedHeader h = read_header(file, file.size(), origin);
  check_against_text(origin, h, text);
  IndexArray sa{file.data() + kHeaderSize, h.length, h.entry_width, std::move(keep)};
  bool permutation = false;
  const std::uint64_t digest = sa.width == 4
                                   ? checksum_and_check(sa.as<std::uint32_t>(), permutation)
                                   : checksum_and_check(sa.as<std::uint64_t>(), permutation);
  if (digest != h.entries_checksum) {
    refuse(origin, "corrupt suffix array entries (checksum mismatch)");
  }
  if (!permutation) {
    refuse(origin, "corrupt suffix array entries (not a permutation of the text's positions)");
  }
  return sa;
}

IndexArray load_suffix_array(const std::string& path, const SymbolText& text) {
  persist::require_little_endian_host();
  auto file = std::make_shared<persist::MappedFile>(
      path, kHeaderSize, [&](std::span<const std::uint8_t> head, std::uint64_t size) {
        (void)read_header(head, size, path);
      });
  const std::span<const std::uint8_t> bytes = file->bytes();
  return suffix_array_from_saved(bytes, text, std::move(file), path);
}

}  // namespace quarnel::core::suffix_array
