// Fuzz target for the suffix array's saved form. Each input sorts a small text (bytes or 16- or
// 32-bit tokens), edits the saved header's fields and the entries (values near the edges, swaps
// that keep a permutation, copies that break one), recomputes the checksums (almost always; the
// text's checksum sometimes over a different text given to the load) and loads the result. A
// load must refuse with a UsageError or give an array whose every query stays inside the text;
// an unedited form over its own text must answer as the array it came from.

#include <algorithm>
#include <cstdlib>

#include "base/errors.hpp"
#include "fuzz_input.hpp"
#include "persist/checksum.hpp"
#include "suffix_array/saved_form.hpp"
#include "suffix_array/suffix_index.hpp"

namespace sa = quarnel::core::suffix_array;
using quarnel::core::UsageError;
using namespace quarnel::fuzz;  // the choices reader and the field access
using quarnel::core::persist::checksum64;

namespace {

constexpr std::size_t kHeader = 64;

// Symbols in their stored width.
Bytes text_of(Choices& in, unsigned width) {
  const std::size_t n = in.chance(16) ? in.below(16384) : in.below(1024);
  const unsigned kinds = 1 + in.byte() % 8;
  std::uint64_t state = in.u64() | 1;
  Bytes t(n * width);
  for (std::size_t i = 0; i < n; ++i) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    const std::uint32_t symbol = static_cast<std::uint32_t>(state % kinds) * (width == 1 ? 1 : 977);
    std::copy_n(reinterpret_cast<const std::uint8_t*>(&symbol), width, t.begin() + i * width);
  }
  return t;
}

sa::SymbolText view(const Bytes& t, unsigned width) {
  return {t.data(), t.size() / width, width};
}

void edit(Choices& in, Bytes& b, std::uint64_t n, unsigned entry) {
  switch (in.byte() % 5) {
    case 0: {  // a header word: widths, length, checksums, reserved
      const std::size_t at = 8 + 8 * (in.byte() % 7);
      put64(b, at, in.value_near(get64(b, at)));
      break;
    }
    case 1: {  // an entry set near the edges of the positions
      if (n == 0) break;
      const std::size_t at = kHeader + entry * in.below(n);
      const std::uint64_t v = in.chance(128) ? in.below(n + 2) : in.value_near(n);
      put_bits(b, at, 0, 8 * entry, v);
      break;
    }
    case 2:    // two entries swapped: still a permutation
    case 3: {  // or one copied onto another: a repeat and a gap
      if (n == 0) break;
      const std::size_t x = kHeader + entry * in.below(n), y = kHeader + entry * in.below(n);
      if (x + entry > b.size() || y + entry > b.size()) break;
      if (in.byte() % 2 == 0) {
        std::swap_ranges(b.begin() + x, b.begin() + x + entry, b.begin() + y);
      } else {
        std::copy_n(b.begin() + x, entry, b.begin() + y);
      }
      break;
    }
    default:
      raw_edit(in, b);
  }
}

// The answers to every query kind: batch searches with and without sampled keys, locates, the
// LCP array, the BWT.
struct Answers {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  std::vector<std::uint64_t> positions, lcp;
  std::uint64_t primary = 0;
  friend bool operator==(const Answers&, const Answers&) = default;
};

Answers ask(Choices& in, const sa::SymbolText& text, const sa::IndexArray& entries) {
  sa::PatternBatch batch;
  const std::uint64_t n = text.size;
  const auto symbol = [&](std::size_t i) -> std::uint64_t {
    if (text.width == 1) return text.bytes()[i];
    if (text.width == 2) return static_cast<const std::uint16_t*>(text.data)[i];
    return static_cast<const std::uint32_t*>(text.data)[i];
  };
  for (unsigned k = 0; k < 6; ++k) {
    const std::size_t m = 1 + in.byte() % 5;
    const std::size_t at = n > m ? in.below(n - m) : 0;
    for (std::size_t i = 0; i < m; ++i) {
      const std::uint64_t s = at + i < n && in.chance(220) ? symbol(at + i) : in.byte();
      if (text.width == 1) {
        batch.bytes.push_back(static_cast<std::uint8_t>(s));
      } else {
        batch.tokens.push_back(s);
      }
    }
    batch.offsets.push_back(text.width == 1 ? batch.bytes.size() : batch.tokens.size());
  }
  std::vector<sa::SaInterval> ranges(batch.size());
  const sa::SampledKeys keys = in.chance(128) ? sa::sample_keys(text, entries) : sa::SampledKeys{};
  sa::search_many(text, entries, sa::bucket_prefixes(text), keys, batch, ranges);
  Answers a;
  for (const auto& r : ranges) {
    if (r.lo > r.hi || r.hi > n) std::abort();
    a.ranges.emplace_back(r.lo, r.hi);
  }
  a.positions = sa::locate_many(entries, ranges).positions;
  const sa::IndexArray lcp = sa::lcp_of(text, entries);
  for (std::uint64_t r = 0; r < lcp.size; ++r) a.lcp.push_back(lcp.at(r));
  if (n > 0) a.primary = sa::bwt_of(text, entries).primary;
  return a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Choices in(data, size);
  const unsigned width = std::array<unsigned, 4>{1, 1, 2, 4}[in.byte() % 4];
  const Bytes text = text_of(in, width);
  const sa::IndexArray built = sa::sort_suffixes(view(text, width));
  Bytes good = sa::saved_header(view(text, width), built);
  good.insert(good.end(), built.bytes().begin(), built.bytes().end());

  // The text given to the load: the same, or one changed in a few symbols.
  Bytes against = text;
  if (!against.empty() && in.chance(40)) {
    for (unsigned k = 1 + in.byte() % 4; k > 0; --k) against[in.below(against.size())] ^= in.byte();
  }
  Bytes blob = good;
  const unsigned edits = in.byte() % 4;
  for (unsigned k = 0; k < edits; ++k) edit(in, blob, built.size, built.width);
  if (!in.chance(8) && blob.size() >= kHeader) {
    const std::span<const std::uint8_t> all(blob);
    put64(blob, 32, checksum64(view(against, width).bytes()));
    put64(blob, 40, checksum64(all.subspan(kHeader)));
    put64(blob, 56, checksum64(all.first(56)));
  }
  const bool intact = blob == good && against == text;
  // Aligned for the entries, as a mapped file is.
  auto memory = std::make_shared<std::vector<std::uint64_t>>((blob.size() + 7) / 8);
  std::copy(blob.begin(), blob.end(), reinterpret_cast<std::uint8_t*>(memory->data()));
  const std::span<const std::uint8_t> file(reinterpret_cast<const std::uint8_t*>(memory->data()),
                                           blob.size());
  try {
    const sa::IndexArray loaded =
        sa::suffix_array_from_saved(file, view(against, width), memory, "fuzz input");
    Choices replay = in;
    const Answers got = ask(in, view(against, width), loaded);
    if (intact && !(got == ask(replay, view(text, width), built))) std::abort();
  } catch (const UsageError&) {
    if (intact) std::abort();  // an intact form refused
  }
  return 0;
}
