// Fuzz target for the FM-index's saved form. Each input builds a small index (its text, level and
// flags chosen by the input), edits its saved form where the format says the fields, count lines,
// blocks, samples and delta pairs lie, recomputes both checksums (almost always) so that the edits
// reach the structural checks, and loads the result. A load must either refuse with a UsageError
// or give an index whose queries stay inside its arrays, end, and fail only with a UsageError;
// an unedited form must answer as the index it came from.

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include "fm_index/fm_index.hpp"
#include "fuzz_input.hpp"
#include "persist/checksum.hpp"

namespace fm = quarnel::core::fm_index;
using quarnel::core::UsageError;
using namespace quarnel::fuzz;  // the choices reader and the field access
using quarnel::core::persist::checksum64;
using Answers = std::pair<std::vector<std::uint64_t>, std::vector<std::vector<std::uint64_t>>>;

namespace {

// The documented layout of the header.
constexpr std::size_t kHeader = 2368, kPayloadChecksumAt = 88, kHeaderChecksumAt = 2360;
constexpr std::size_t kLevelAt = 32, kWordSizeAt = 40, kRowsAt = 48, kDeltasAt = 64;
constexpr std::size_t kLinesPerLevelAt = 72, kBucketsAt = 96, kLevelsAt = kBucketsAt + 8 * 256;

Bytes text_of(Choices& in, bool ascii) {
  const std::size_t n = in.chance(16) ? in.below(65536) : in.below(2048);
  Bytes alphabet;
  const unsigned kinds = 1 + in.byte() % 12;
  for (unsigned k = 0; k < kinds; ++k) {
    const std::uint8_t c = ascii ? " \tabcAB\n"[in.byte() % 8] : in.byte();
    alphabet.push_back(c == 0 ? 'z' : c);
  }
  std::uint64_t state = in.u64() | 1;
  Bytes t(n);
  const bool periodic = in.chance(40);
  for (std::size_t i = 0; i < n; ++i) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    t[i] = periodic && i >= kinds ? t[i - kinds] : alphabet[state % alphabet.size()];
  }
  return t;
}

// One structure-aware edit of a saved form whose header says `rows` rows.
void edit(Choices& in, Bytes& b) {
  const std::uint64_t rows = get64(b, kRowsAt), per_level = get64(b, kLinesPerLevelAt);
  const std::uint64_t blocks = rows / 512 + 1;
  const std::size_t samples_at = kHeader + 8 * 64 * per_level, deltas = get64(b, kDeltasAt);
  const std::size_t deltas_at = b.size() - std::min<std::size_t>(b.size(), 16 * deltas);
  const auto level_line = [&](unsigned j, std::uint64_t line) {
    return kHeader + 64 * (j * per_level + line);
  };
  const auto nudge = [&](std::size_t at) { put64(b, at, in.value_near(get64(b, at))); };
  switch (in.byte() % 9) {
    case 0:  // a header field
      nudge(16 + 8 * in.below(10));
      break;
    case 1:  // a bucket start
      nudge(kBucketsAt + 8 * in.byte());
      break;
    case 2: {  // a level's summary: zeros, exception or flags
      const std::size_t at = kLevelsAt + 24 * (in.byte() % 8) + 8 * (in.byte() % 3);
      nudge(at);
      break;
    }
    case 3: {  // a count line: one 16-bit field or the 48-bit base
      const std::uint64_t group = in.below(per_level - blocks + 1);
      const std::size_t at = level_line(in.byte() % 8, blocks + group) + 2 * (in.byte() % 32);
      put_bits(b, at, 0, 16, in.value_near(0));
      break;
    }
    case 4: {  // a block word: a bit flipped, a bit moved (which no count line sees), any value
      const std::size_t at = level_line(in.byte() % 8, in.below(blocks)) + 8 * (in.byte() % 8);
      const std::uint64_t w = get64(b, at);
      const std::uint64_t from = std::uint64_t{1} << in.byte() % 64;
      const std::uint64_t to = std::uint64_t{1} << in.byte() % 64;
      const unsigned how = in.byte() % 3;
      const bool moves = (w & from) != 0 && (w & to) == 0;
      put64(b, at, how == 0 ? w ^ from : how == 1 ? (moves ? (w ^ from) | to : w) : in.u64());
      break;
    }
    case 5: {  // a sample
      const auto width = static_cast<unsigned>(std::min<std::uint64_t>(64, get64(b, kWordSizeAt)));
      const unsigned shift = get64(b, kLevelAt) % 64;
      const std::uint64_t count = rows == 0 ? 1 : ((rows - 1) >> shift) + 1;
      const std::uint64_t v = in.chance(128) ? in.below(rows + 2) : in.value_near(rows);
      put_bits(b, samples_at, in.below(count) * width, width == 0 ? 1 : width, v);
      break;
    }
    case 6: {  // a delta pair
      if (deltas == 0) break;
      const std::size_t at = deltas_at + 16 * in.below(deltas) + 8 * (in.byte() % 2);
      nudge(at);
      break;
    }
    case 7: {  // one line copied onto another, or a stretch of the payload zeroed
      if (b.size() <= kHeader + 64) break;
      const std::uint64_t lines = (b.size() - kHeader) / 64;
      const std::size_t from = kHeader + 64 * in.below(lines), to = kHeader + 64 * in.below(lines);
      if (in.chance(128)) {
        std::copy_n(b.begin() + from, 64, b.begin() + to);
      } else {
        std::fill(b.begin() + std::min(from, to), b.begin() + std::max(from, to) + 64, 0);
      }
      break;
    }
    default:
      raw_edit(in, b);
  }
}

std::vector<Bytes> patterns_of(Choices& in, const Bytes& t) {
  std::vector<Bytes> out;
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

// Every query kind over the patterns: the counts and places. locate is asked only for patterns of
// a few rows: a damaged index may make each walk take up to n steps before it is caught, and a
// sound one with a high level as many.
Answers ask(const fm::FMIndex& index, const std::vector<Bytes>& patterns) {
  Answers a;
  Bytes bytes;
  std::vector<std::uint64_t> offsets{0};
  for (const auto& p : patterns) {
    a.first.push_back(fm::count(index, p));
    if (a.first.back() <= 16) {
      a.second.push_back(fm::locate(index, p));
      bytes.insert(bytes.end(), p.begin(), p.end());
      offsets.push_back(bytes.size());
    }
  }
  std::vector<std::uint64_t> many(offsets.size() - 1);
  fm::count_many(index, bytes, offsets, many);
  if (fm::locate_many(index, bytes, offsets).offsets.size() != offsets.size()) std::abort();
  const std::uint64_t n = index.index.len();
  for (std::uint64_t k = 0; k < 4 && n > 0; ++k) {
    const std::uint64_t p = index.index.get_sa((k * 7919) % n);
    if (p >= n && p != fm::FMIndexBackend::kDamaged) std::abort();
  }
  (void)fm::heap_size(index);
  return a;
}

// The saved form written to a fresh file in the temporary folder and mapped back.
fm::FMIndex load_through_file(const Bytes& blob) {
  // mkstemp's template: it replaces the six X's with a name no other file has
  std::string name = (std::filesystem::temp_directory_path() / "quarnel-fm-fuzz-XXXXXX").string();
  const int fd = mkstemp(name.data());
  if (fd < 0) std::abort();
  const bool written = ::write(fd, blob.data(), blob.size()) == static_cast<ssize_t>(blob.size());
  ::close(fd);
  if (!written) std::abort();
  const std::unique_ptr<const char, int (*)(const char*)> remove(name.c_str(), ::unlink);
  return fm::load_fm_index(name.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Choices in(data, size);
  const bool case_insensitive = in.chance(40), normalizing = in.chance(60);
  const std::uint64_t level = in.chance(20) ? in.value_near(64) : in.byte() % 9;
  const Bytes text = text_of(in, case_insensitive || normalizing);
  // ASCII without 0x00: the build cannot refuse it.
  const fm::FMIndex original = fm::build_fm_index(text, level, case_insensitive, normalizing);
  const fm::SavedForm form = fm::saved_form(original);
  Bytes good;
  for (const auto part : form.parts) good.insert(good.end(), part.begin(), part.end());
  Bytes blob = good;
  const unsigned edits = in.byte() % 5;
  for (unsigned k = 0; k < edits; ++k) edit(in, blob);
  if (!in.chance(8) && blob.size() >= kHeader) {  // both checksums, so the edits reach the checks
    const std::span<const std::uint8_t> all(blob);
    put64(blob, kPayloadChecksumAt, checksum64(all.subspan(kHeader)));
    put64(blob, kHeaderChecksumAt, checksum64(all.first(kHeaderChecksumAt)));
  }
  const auto patterns = patterns_of(in, text);
  const bool through_file = in.chance(4);
  try {
    const auto loaded = through_file ? load_through_file(blob) : fm::fm_index_from_bytes(blob);
    const auto got = ask(loaded, patterns);
    if (blob == good && got != ask(original, patterns)) std::abort();
  } catch (const UsageError&) {
    if (blob == good) std::abort();  // an intact form refused
  }
  return 0;
}
