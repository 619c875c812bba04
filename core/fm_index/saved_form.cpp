// The saved form of an FM-index: written from the built structures as they lie in memory and
// loaded by pointing the structures into the mapped file.

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "fm_index/fm_index.hpp"
#include "persist/checksum.hpp"
#include "persist/mapped_file.hpp"

namespace quarnel::core::fm_index {
namespace {

using persist::FormatError;

constexpr std::array<std::uint8_t, 8> kMagic = {'Q', 'R', 'N', 'L', 'F', 'M', 'I', 'X'};
constexpr std::uint32_t kVersion = 1;

// Header layout.
constexpr std::size_t kVersionAt = 8;
constexpr std::size_t kFlagsAt = 12;
constexpr std::size_t kTextLenAt = 16;
constexpr std::size_t kRequestedLevelAt = 24;
constexpr std::size_t kLevelAt = 32;
constexpr std::size_t kWordSizeAt = 40;
constexpr std::size_t kRowsAt = 48;
constexpr std::size_t kSampleWordsAt = 56;
constexpr std::size_t kDeltasAt = 64;
constexpr std::size_t kLinesPerLevelAt = 72;
constexpr std::size_t kPayloadChecksumAt = 88;
constexpr std::size_t kBucketsAt = 96;
constexpr std::size_t kLevelsAt = kBucketsAt + 8 * 256;
constexpr std::size_t kLevelRecord = 24;  // zeros, exception, flags
constexpr std::size_t kPaddingAt = kLevelsAt + WaveletMatrix::kLevels * kLevelRecord;
// The header's own checksum is its last word and covers everything before it, padding included.
constexpr std::size_t kHeaderSize =
    (kLevelsAt + WaveletMatrix::kLevels * kLevelRecord + 8 + 63) / 64 * 64;
constexpr std::size_t kHeaderChecksumAt = kHeaderSize - 8;
static_assert(kHeaderSize == 2368);

constexpr std::uint32_t kCaseInsensitive = 1;
constexpr std::uint64_t kNearConstant = 1;
constexpr std::uint64_t kMajority = 2;

struct Header {
  std::uint64_t text_len, requested_level, level, word_size, rows, sample_words, deltas,
      lines_per_level, payload_checksum;
  std::uint32_t flags;
  std::array<std::uint64_t, 256> c_array;
  std::array<RsVec::Summary, WaveletMatrix::kLevels> levels;
  std::array<std::uint64_t, WaveletMatrix::kLevels> level_flags;

  [[nodiscard]] bool case_insensitive() const noexcept { return (flags & kCaseInsensitive) != 0; }
  [[nodiscard]] std::uint64_t samples() const noexcept { return ((rows - 1) >> (level % 64)) + 1; }
  [[nodiscard]] std::uint64_t line_bytes() const noexcept {
    return WaveletMatrix::kLevels * lines_per_level * sizeof(RsLine);
  }
  // Only once check_header has bounded the counts, so that nothing here overflows.
  [[nodiscard]] std::uint64_t file_size() const noexcept {
    return kHeaderSize + line_bytes() + 8 * sample_words + 16 * deltas;
  }
};

[[noreturn]] void refuse(const std::string& origin, const std::string& problem) {
  throw FormatError("cannot load FM-index from " + origin + ": " + problem);
}

std::array<std::uint64_t, 256> symbol_counts(const std::array<std::uint64_t, 256>& c_array,
                                             std::uint64_t rows) {
  std::array<std::uint64_t, 256> counts{};
  for (unsigned c = 0; c < 256; ++c) counts[c] = (c == 255 ? rows : c_array[c + 1]) - c_array[c];
  return counts;
}

std::uint64_t zeros_of_level(const std::array<std::uint64_t, 256>& counts, unsigned j) {
  std::uint64_t z = 0;
  for (unsigned c = 0; c < 256; ++c) {
    if (((c >> (7 - j)) & 1U) == 0) z += counts[c];
  }
  return z;
}

Header parse_header(std::span<const std::uint8_t> file, const std::string& origin) {
  using persist::get_u64;
  if (file.size() < kHeaderSize) {
    refuse(origin, "file truncated (" + std::to_string(file.size()) + " bytes, shorter than the " +
                       std::to_string(kHeaderSize) + "-byte header)");
  }
  if (!std::equal(kMagic.begin(), kMagic.end(), file.begin())) {
    refuse(origin, "not a quarnel FM-index file (wrong magic bytes)");
  }
  if (persist::checksum64(file.first(kHeaderChecksumAt)) != get_u64(file, kHeaderChecksumAt)) {
    refuse(origin, "corrupt header (header checksum mismatch)");
  }
  const std::uint32_t version = persist::get_u32(file, kVersionAt);
  if (version != kVersion) refuse(origin, "unsupported format version " + std::to_string(version));
  Header h{};
  h.flags = persist::get_u32(file, kFlagsAt);
  h.text_len = get_u64(file, kTextLenAt);
  h.requested_level = get_u64(file, kRequestedLevelAt);
  h.level = get_u64(file, kLevelAt);
  h.word_size = get_u64(file, kWordSizeAt);
  h.rows = get_u64(file, kRowsAt);
  h.sample_words = get_u64(file, kSampleWordsAt);
  h.deltas = get_u64(file, kDeltasAt);
  h.lines_per_level = get_u64(file, kLinesPerLevelAt);
  h.payload_checksum = get_u64(file, kPayloadChecksumAt);
  for (unsigned c = 0; c < 256; ++c) h.c_array[c] = get_u64(file, kBucketsAt + 8 * c);
  for (unsigned j = 0; j < WaveletMatrix::kLevels; ++j) {
    const std::size_t at = kLevelsAt + j * kLevelRecord;
    const std::uint64_t flags = get_u64(file, at + 16);
    h.level_flags[j] = flags;
    h.levels[j] = {h.rows, get_u64(file, at), get_u64(file, at + 8), (flags & kNearConstant) != 0,
                   (flags & kMajority) != 0};
  }
  return h;
}

// A header whose checksum holds can still describe an impossible index (written by other
// software, or deliberately, with the checksums recomputed): every field must be what a save
// writes for the others, so that no size, shift or table index is taken from the file unchecked.
// Constant time.
void check_header(std::span<const std::uint8_t> head, const Header& h, std::uint64_t file_size,
                  const std::string& origin) {
  const auto bad = [&](const std::string& what) {
    refuse(origin, "inconsistent header (" + what + ")");
  };
  if ((h.flags & ~kCaseInsensitive) != 0) bad("unknown flags");
  if (std::any_of(head.begin() + kPaddingAt, head.begin() + kHeaderChecksumAt,
                  [](std::uint8_t b) { return b != 0; })) {
    bad("reserved bytes");
  }
  if (h.text_len >= (std::uint64_t{1} << 47) || h.rows != h.text_len + 1) bad("row count");
  if (h.word_size != bit_length(h.rows)) bad("sample width");
  if (h.level != effective_sampling_level(h.rows, h.requested_level)) bad("sampling level");
  if (h.sample_words != (h.samples() * h.word_size + 63) / 64) bad("sample count");
  if (h.lines_per_level != RsVec::line_count(h.rows)) bad("level size");
  // Bounded so that the size sum below cannot overflow (the other terms are bounded by the row
  // count); the file's size then decides.
  if (h.deltas >= (std::uint64_t{1} << 56)) bad("delta count");
  if (h.c_array[0] != 0 || h.c_array[1] != 1) bad("bucket starts");
  for (unsigned c = 1; c < 256; ++c) {
    if (h.c_array[c] < h.c_array[c - 1] || h.c_array[c] > h.rows) bad("bucket starts");
  }
  const auto counts = symbol_counts(h.c_array, h.rows);
  for (unsigned j = 0; j < WaveletMatrix::kLevels; ++j) {
    const RsVec::Summary& s = h.levels[j];
    if (s.zeros != zeros_of_level(counts, j)) bad("zero count of level " + std::to_string(j));
    if ((h.level_flags[j] & ~(kNearConstant | kMajority)) != 0 ||
        (s.exception != ~std::uint64_t{0} && s.exception >= h.rows)) {
      bad("summary of level " + std::to_string(j));
    }
  }
  if (file_size < h.file_size()) {
    refuse(origin, "file truncated (" + std::to_string(file_size) + " bytes, the header needs " +
                       std::to_string(h.file_size()) + ")");
  }
  if (file_size > h.file_size()) {
    refuse(origin, "trailing data (" + std::to_string(file_size - h.file_size()) +
                       " bytes after the index)");
  }
}

// The sections of a saved form, where the loaded index will use them (in the mapped file, or in
// aligned copies of what from_bytes was given).
struct Sections {
  std::span<const RsLine> lines;
  std::span<const std::uint64_t> sample_words;
  std::span<const std::uint8_t> deltas;
};

// The payload's checksum and its structural checks in one pass: each stretch of the rank vectors
// is checked right after the checksum has read it into the cache. Each rank vector must be what
// a build writes (every count line equal to the ones of the blocks before it, no bit set past the
// end, a summary that fits its bits), nothing may follow the last sample in its word, and the
// delta pairs must ascend inside the text. Linear: a popcount per 64-byte block, one count line
// compared per 28 blocks, one comparison per delta pair; for a 64 MB text about 4 ms of CPU on
// top of the checksum's 12 (of a load of about 25 before these checks).
void verify_payload(const Sections& s, const Header& h, const std::string& origin) {
  const unsigned width = static_cast<unsigned>(h.word_size);
  const std::uint64_t samples = h.samples();
  persist::Checksum sum;
  const auto bad = [&](const std::string& what) {
    refuse(origin, "inconsistent index data (" + what + ")");
  };
  bool structure_holds = true;
  std::string first_problem;
  const auto note = [&](bool holds, const std::string& what) {
    if (!holds && structure_holds) {
      structure_holds = false;
      first_problem = what;
    }
  };
  const std::uint64_t blocks = RsVec::block_count(h.rows);
  const std::uint64_t groups = RsVec::count_line_count(h.rows);
  for (unsigned j = 0; j < WaveletMatrix::kLevels; ++j) {
    const std::span<const RsLine> level = s.lines.subspan(j * h.lines_per_level, h.lines_per_level);
    std::uint64_t ones = 0;
    bool lines_hold = true;
    for (std::uint64_t g = 0; g < groups; ++g) {
      const auto [first, last] = RsVec::group_blocks(h.rows, g);
      sum.update(persist::as_byte_span(level.subspan(first, last - first)));
      lines_hold = RsVec::group_is_valid(level, h.rows, g, ones) && lines_hold;
    }
    sum.update(persist::as_byte_span(level.subspan(blocks, groups)));
    note(lines_hold, "count lines of level " + std::to_string(j));
    note(!lines_hold || RsVec::summary_fits(h.levels[j], ones, level),
         "summary of level " + std::to_string(j));
  }

  // The samples' values are checked where a walk reads them (a sample beyond the text makes
  // locate report the damage): checking all 16 million of a 64 MB text here cost as much as the
  // checksum of the whole file.
  sum.update(persist::as_byte_span(s.sample_words));
  const std::uint64_t used = samples * width;
  if (used % 64 != 0 && h.sample_words > 0) {
    note((s.sample_words.back() >> (used % 64)) == 0, "bits past the last sample");
  }

  sum.update(s.deltas);
  std::uint64_t position = 0, cumulative = 0;
  for (std::uint64_t d = 0; d < h.deltas; ++d) {
    const std::uint64_t p = persist::get_u64(s.deltas, 16 * d);
    const std::uint64_t c = persist::get_u64(s.deltas, 16 * d + 8);
    // Source offsets are text offsets plus at most the last cumulative count: below 2^63.
    note(p >= position && p <= h.text_len && c >= cumulative && c < (std::uint64_t{1} << 62),
         "delta table");
    position = p;
    cumulative = c;
  }
  // Damage of any kind is reported as such first; only an intact payload is judged on structure.
  if (sum.digest() != h.payload_checksum) refuse(origin, "corrupt index data (checksum mismatch)");
  if (!structure_holds) bad(first_problem);
}

// The header's checks, as a mapped file's size check (before mapping) and for bytes.
Header checked_header(std::span<const std::uint8_t> head, std::uint64_t file_size,
                      const std::string& origin) {
  const Header h = parse_header(head, origin);
  check_header(head, h, file_size, origin);
  return h;
}

// Builds the record over `file`, whose sections stay where they are when `keep` holds the
// memory, and are copied when it is null.
FMIndex restore(std::span<const std::uint8_t> file, std::shared_ptr<const void> keep,
                const std::string& origin) {
  persist::require_little_endian_host();
  const Header h = checked_header(file, file.size(), origin);

  const std::uint8_t* at = file.data() + kHeaderSize;
  const std::uint64_t line_count = WaveletMatrix::kLevels * h.lines_per_level;
  Sections sections;
  SOSampledSuffixArray sampled;
  if (keep) {
    sections.lines = {reinterpret_cast<const RsLine*>(at), line_count};
    sections.sample_words = {reinterpret_cast<const std::uint64_t*>(at + h.line_bytes()),
                             h.sample_words};
    sampled.loaded_words = sections.sample_words;
  } else {
    // Copied first, into memory aligned for the structures, and checked there.
    auto owned = std::make_shared<RsLineBuffer>(line_count);
    std::memcpy(owned->data(), at, h.line_bytes());
    sections.lines = *owned;
    keep = std::move(owned);
    sampled.samples = BitVec::zeros(h.samples() * h.word_size);
    std::memcpy(sampled.samples.mutable_words().data(), at + h.line_bytes(), 8 * h.sample_words);
    sections.sample_words = sampled.samples.words();
  }
  sections.deltas = {at + h.line_bytes() + 8 * h.sample_words, 16 * h.deltas};
  verify_payload(sections, h, origin);
  sampled.level = h.level;
  sampled.word_size = h.word_size;
  sampled.sa_len = h.rows;

  std::vector<normalize::CumulativeDelta> deltas(h.deltas);
  for (std::uint64_t k = 0; k < h.deltas; ++k) {
    deltas[k] = {persist::get_u64(sections.deltas, 16 * k),
                 persist::get_u64(sections.deltas, 16 * k + 8)};
  }
  const auto counts = symbol_counts(h.c_array, h.rows);
  WaveletMatrix matrix(sections.lines, std::move(keep), h.levels, counts);
  if (!matrix.follows_counts(counts)) {
    refuse(origin, "inconsistent index data (the levels disagree with the bucket starts)");
  }
  return FMIndex{FMIndexBackend(h.c_array, std::move(sampled), std::move(matrix)),
                 std::move(deltas), h.text_len, h.case_insensitive(), h.requested_level};
}

}  // namespace

std::uint64_t SavedForm::size() const noexcept {
  std::uint64_t total = 0;
  for (const auto& part : parts) total += part.size();
  return total;
}

SavedForm saved_form(const FMIndex& fm) {
  persist::require_little_endian_host();
  const FMIndexBackend& index = fm.index;
  const SOSampledSuffixArray& sampled = index.sampled_sa();
  const WaveletMatrix& matrix = index.bwt_matrix();
  static_assert(sizeof(normalize::CumulativeDelta) == 16);

  SavedForm form;
  persist::HeaderWriter h(kHeaderSize);
  h.put_bytes(0, kMagic);
  h.put_u32(kVersionAt, kVersion);
  h.put_u32(kFlagsAt, fm.case_insensitive ? kCaseInsensitive : 0);
  h.put_u64(kTextLenAt, fm.text_len);
  h.put_u64(kRequestedLevelAt, fm.locate_level);
  h.put_u64(kLevelAt, sampled.level);
  h.put_u64(kWordSizeAt, sampled.word_size);
  h.put_u64(kRowsAt, sampled.sa_len);
  h.put_u64(kSampleWordsAt, sampled.words().size());
  h.put_u64(kDeltasAt, fm.deltas.size());
  h.put_u64(kLinesPerLevelAt, RsVec::line_count(index.len()));
  for (unsigned c = 0; c < 256; ++c) h.put_u64(kBucketsAt + 8 * c, index.c_array()[c]);
  for (unsigned j = 0; j < WaveletMatrix::kLevels; ++j) {
    const RsVec::Summary s = matrix.levels()[j].summary();
    const std::size_t at = kLevelsAt + j * kLevelRecord;
    h.put_u64(at, s.zeros);
    h.put_u64(at + 8, s.exception);
    h.put_u64(at + 16, (s.near_constant ? kNearConstant : 0) | (s.majority ? kMajority : 0));
  }
  const auto lines = persist::as_byte_span(matrix.lines());
  const auto samples = persist::as_byte_span(sampled.words());
  const auto deltas = persist::as_byte_span(std::span<const normalize::CumulativeDelta>(fm.deltas));
  persist::Checksum payload;
  for (const auto part : {lines, samples, deltas}) payload.update(part);
  h.put_u64(kPayloadChecksumAt, payload.digest());
  h.put_u64(kHeaderChecksumAt, persist::checksum64(h.bytes().first(kHeaderChecksumAt)));
  form.header.assign(h.bytes().begin(), h.bytes().end());
  form.parts = {form.header, lines, samples, deltas};
  return form;
}

void save_fm_index(const std::string& path, const FMIndex& fm) {
  const SavedForm form = saved_form(fm);
  persist::write_file(path, form.parts);
}

FMIndex load_fm_index(const std::string& path) {
  // The size is checked against the header before mapping, so that the mapping is whole.
  auto file = std::make_shared<persist::MappedFile>(
      path, kHeaderSize, [&](std::span<const std::uint8_t> head, std::uint64_t size) {
        (void)checked_header(head, size, path);
      });
  const auto bytes = file->bytes();
  return restore(bytes, std::move(file), path);
}

FMIndex fm_index_from_bytes(std::span<const std::uint8_t> bytes) {
  return restore(bytes, nullptr, "bytes");
}

}  // namespace quarnel::core::fm_index
