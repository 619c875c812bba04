// Fuzz target for the FM-index's saved form. Each input builds a small index (its text, level and
// flags chosen by the input), edits its saved form where the format says the fields, count lines,
// blocks, samples and delta pairs lie, recomputes both checksums (almost always) so that the edits
// reach the structural checks, and loads the result. A load must either refuse with a UsageError
// or give an index whose queries stay inside its arrays, end, and fail only with a UsageError;
// an unedited form must answer as the index it came from.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "fm_index/fm_index.hpp"
#include "fuzz_input.hpp"
#include "persist/checksum.hpp"

namespace fm = quarnel::core::fm_index;
using quarnel::core::UsageError;
using quarnel::fuzz::Choices;

namespace {

// The documented layout of the header.
constexpr std::size_t kHeader = 2368;
constexpr std::size_t kPayloadChecksumAt = 88;
constexpr std::size_t kHeaderChecksumAt = 2360;
constexpr std::size_t kRowsAt = 48;
constexpr std::size_t kLinesPerLevelAt = 72;
constexpr std::size_t kWordSizeAt = 40;
constexpr std::size_t kLevelAt = 32;
constexpr std::size_t kDeltasAt = 64;
constexpr std::size_t kBucketsAt = 96;
constexpr std::size_t kLevelsAt = kBucketsAt + 8 * 256;

std::vector<std::uint8_t> text_of(Choices& in, bool ascii) {
  const std::size_t n = in.chance(16) ? in.below(65536) : in.below(2048);
  std::vector<std::uint8_t> alphabet;
  const unsigned kinds = 1 + in.byte() % 12;
  for (unsigned k = 0; k < kinds; ++k) {
    const std::uint8_t c = ascii ? " \tabcAB\n"[in.byte() % 8] : in.byte();
    alphabet.push_back(c == 0 ? 'z' : c);
  }
  std::uint64_t state = in.u64() | 1;
  std::vector<std::uint8_t> t(n);
  const bool periodic = in.chance(40);
  for (std::size_t i = 0; i < n; ++i) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    t[i] = periodic && i >= kinds ? t[i - kinds] : alphabet[state % alphabet.size()];
  }
  return t;
}

std::vector<std::uint8_t> flattened(const fm::FMIndex& index) {
  const fm::SavedForm form = fm::saved_form(index);
  std::vector<std::uint8_t> blob;
  for (const auto part : form.parts) blob.insert(blob.end(), part.begin(), part.end());
  return blob;
}

// One structure-aware edit of a saved form whose header says `rows` rows.
void edit(Choices& in, std::vector<std::uint8_t>& b) {
  using quarnel::fuzz::get64;
  using quarnel::fuzz::put64;
  const std::uint64_t rows = get64(b, kRowsAt);
  const std::uint64_t per_level = get64(b, kLinesPerLevelAt);
  const std::uint64_t blocks = rows / 512 + 1;
  const std::size_t samples_at = kHeader + 8 * 64 * per_level;
  const std::size_t deltas = get64(b, kDeltasAt);
  const std::size_t deltas_at = b.size() - std::min<std::size_t>(b.size(), 16 * deltas);
  const auto level_line = [&](unsigned j, std::uint64_t line) {
    return kHeader + 64 * (j * per_level + line);
  };
  switch (in.byte() % 9) {
    case 0: {  // a header field
      const std::size_t field = 16 + 8 * in.below(10);
      put64(b, field, in.value_near(get64(b, field)));
      break;
    }
    case 1: {  // a bucket start
      const std::size_t at = kBucketsAt + 8 * in.byte();
      put64(b, at, in.value_near(get64(b, at)));
      break;
    }
    case 2: {  // a level's summary: zeros, exception or flags
      const std::size_t at = kLevelsAt + 24 * (in.byte() % 8) + 8 * (in.byte() % 3);
      put64(b, at, in.value_near(get64(b, at)));
      break;
    }
    case 3: {  // a count line: one 16-bit field or the 48-bit base
      const std::uint64_t group = in.below(per_level - blocks + 1);
      const std::size_t at = level_line(in.byte() % 8, blocks + group) + 2 * (in.byte() % 32);
      quarnel::fuzz::put_bits(b, at, 0, 16, in.value_near(0));
      break;
    }
    case 4: {  // a block word: a bit flipped, a bit moved (which no count line sees), any value
      const std::size_t at = level_line(in.byte() % 8, in.below(blocks)) + 8 * (in.byte() % 8);
      const std::uint64_t w = get64(b, at);
      const std::uint64_t from = std::uint64_t{1} << in.byte() % 64;
      const std::uint64_t to = std::uint64_t{1} << in.byte() % 64;
      switch (in.byte() % 3) {
        case 0: put64(b, at, w ^ from); break;
        case 1: put64(b, at, (w & from) != 0 && (w & to) == 0 ? (w ^ from) | to : w); break;
        default: put64(b, at, in.u64());
      }
      break;
    }
    case 5: {  // a sample
      const unsigned width = static_cast<unsigned>(std::min<std::uint64_t>(64, get64(b, kWordSizeAt)));
      const unsigned shift = get64(b, kLevelAt) % 64;
      const std::uint64_t count = rows == 0 ? 1 : ((rows - 1) >> shift) + 1;
      const std::uint64_t v = in.chance(128) ? in.below(rows + 2) : in.value_near(rows);
      quarnel::fuzz::put_bits(b, samples_at, in.below(count) * width, width == 0 ? 1 : width, v);
      break;
    }
    case 6: {  // a delta pair
      if (deltas == 0) break;
      const std::size_t at = deltas_at + 16 * in.below(deltas) + 8 * (in.byte() % 2);
      put64(b, at, in.value_near(get64(b, at)));
      break;
    }
    case 7: {  // one line copied onto another, or a stretch of the payload zeroed
      if (b.size() <= kHeader + 64) break;
      const std::uint64_t lines = (b.size() - kHeader) / 64;
      const std::size_t from = kHeader + 64 * in.below(lines);
      const std::size_t to = kHeader + 64 * in.below(lines);
      if (in.chance(128)) {
        std::copy_n(b.begin() + from, 64, b.begin() + to);
      } else {
        std::fill(b.begin() + std::min(from, to), b.begin() + std::max(from, to) + 64, 0);
      }
      break;
    }
    default:
      quarnel::fuzz::raw_edit(in, b);
  }
}

void recompute_checksums(std::vector<std::uint8_t>& b) {
  if (b.size() < kHeader) return;
  const std::span<const std::uint8_t> all(b);
  quarnel::fuzz::put64(b, kPayloadChecksumAt, quarnel::core::persist::checksum64(all.subspan(kHeader)));
  quarnel::fuzz::put64(b, kHeaderChecksumAt,
                       quarnel::core::persist::checksum64(all.first(kHeaderChecksumAt)));
}

std::vector<std::vector<std::uint8_t>> patterns_of(Choices& in, const std::vector<std::uint8_t>& t) {
  std::vector<std::vector<std::uint8_t>> out;
  for (unsigned k = 0; k < 6; ++k) {
    const std::size_t m = 1 + in.byte() % 6;
    if (t.size() >= m && in.chance(200)) {
      const std::size_t at = in.below(t.size() - m + 1);
      out.emplace_back(t.begin() + at, t.begin() + at + m);
    } else {
      out.emplace_back(m, in.byte());
    }
  }
  return out;
}

struct Answers {
  std::vector<std::uint64_t> counts;
  std::vector<std::vector<std::uint64_t>> located;
  friend bool operator==(const Answers&, const Answers&) = default;
};

// Every query kind over the patterns. locate is asked only for patterns of a few rows: a damaged
// index may make each walk take up to n steps before it is caught, and a sound one with a high
// level as many.
Answers ask(const fm::FMIndex& index, const std::vector<std::vector<std::uint8_t>>& patterns) {
  Answers a;
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint64_t> offsets{0};
  for (const auto& p : patterns) {
    a.counts.push_back(fm::count(index, p));
    if (a.counts.back() <= 16) {
      a.located.push_back(fm::locate(index, p));
      bytes.insert(bytes.end(), p.begin(), p.end());
      offsets.push_back(bytes.size());
    }
  }
  std::vector<std::uint64_t> many(offsets.size() - 1);
  fm::count_many(index, bytes, offsets, many);
  const auto located = fm::locate_many(index, bytes, offsets);
  if (located.offsets.size() != offsets.size()) std::abort();
  const std::uint64_t n = index.index.len();
  for (std::uint64_t k = 0; k < 4 && n > 0; ++k) {
    const std::uint64_t p = index.index.get_sa((k * 7919) % n);
    if (p >= n && p != fm::FMIndexBackend::kDamaged) std::abort();
  }
  (void)fm::heap_size(index);
  return a;
}

// The saved form written to a file and mapped back, for some inputs.
fm::FMIndex load_through_file(const std::vector<std::uint8_t>& blob) {
  // mkstemp replaces the template's six trailing X's: a fresh name in the temporary folder.
  const std::string pattern = "quarnel-fm-fuzz-" + std::string(6, 'X');
  std::string name = (std::filesystem::temp_directory_path() / pattern).string();
  char* const path = name.data();
  const int fd = mkstemp(path);
  if (fd < 0) std::abort();
  const bool written = ::write(fd, blob.data(), blob.size()) == static_cast<ssize_t>(blob.size());
  ::close(fd);
  if (!written) std::abort();
  struct Remove {
    const char* p;
    ~Remove() { ::unlink(p); }
  } remove{path};
  return fm::load_fm_index(path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Choices in(data, size);
  const bool case_insensitive = in.chance(40);
  const bool normalizing = in.chance(60);
  const std::uint64_t level = in.chance(20) ? in.value_near(64) : in.byte() % 9;
  const std::vector<std::uint8_t> text = text_of(in, case_insensitive || normalizing);
  // ASCII without 0x00: the build cannot refuse it.
  const fm::FMIndex original = fm::build_fm_index(text, level, case_insensitive, normalizing);
  const std::vector<std::uint8_t> good = flattened(original);
  std::vector<std::uint8_t> blob = good;
  const unsigned edits = in.byte() % 5;
  for (unsigned k = 0; k < edits; ++k) edit(in, blob);
  if (!in.chance(8)) recompute_checksums(blob);
  const auto patterns = patterns_of(in, text);
  const bool through_file = in.chance(4);
  try {
    const fm::FMIndex loaded = through_file ? load_through_file(blob) : fm::fm_index_from_bytes(blob);
    const Answers got = ask(loaded, patterns);
    if (blob == good && !(got == ask(original, patterns))) std::abort();
  } catch (const UsageError&) {
    if (blob == good) std::abort();  // an intact form refused
  }
  return 0;
}
