// The first place of each fingerprint, for engines that gather a fingerprint's records
// elsewhere (a distributed shuffle): the records grouped by fingerprint in a hash table, then
// each marked.

#include <algorithm>
#include <bit>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/large_array.hpp"
#include "base/prefetch.hpp"
#include "dedup/dedup.hpp"

namespace quarnel::core::dedup {
namespace {

constexpr std::uint64_t kEmpty = kNoCopy;
// Far enough ahead to hide a miss to memory.
constexpr std::size_t kAhead = 8;

// Open addressing with linear probing at a load of a quarter to a half: a slot holds a
// fingerprint's high half and its group's first record, whose low half settles a match.
struct Slot {
  std::uint64_t high = 0;
  std::uint64_t first = kEmpty;
};

}  // namespace

Decided decide(std::span<const std::uint64_t> high, std::span<const std::uint64_t> low,
               std::span<const std::uint64_t> document, std::span<const std::uint32_t> word,
               std::span<const std::uint8_t> reference) {
  const std::size_t n = high.size();
  if (low.size() != n || document.size() != n || word.size() != n || reference.size() != n) {
    throw UsageError("records: every column must have as many rows");
  }
  std::vector<Slot> table = large_array<Slot>(std::bit_ceil(std::max<std::size_t>(2 * n, 16)));
  const std::uint64_t mask = table.size() - 1;
  const int shift = 64 - std::countr_zero(table.size());
  // Multiplied, not masked: the records that reach here share their low bits with others (the
  // sketch kept them for it), so the low bits alone would crowd.
  const auto home = [&](std::size_t r) { return (high[r] * 0x9e3779b97f4a7c15ULL) >> shift; };
  // Per record: its group's first record; per group (at its first record): the earliest corpus
  // place and whether a reference place is among them.
  std::vector<std::uint64_t> group(n);
  std::vector<std::uint64_t> earliest(n, kEmpty);
  std::vector<std::uint8_t> in_reference(n, 0);
  const auto earlier = [&](std::uint64_t a, std::uint64_t b) {
    return document[a] < document[b] || (document[a] == document[b] && word[a] < word[b]);
  };
  for (std::size_t r = 0; r < n; ++r) {
    interrupt::checkpoint_every(r);
    if (r + kAhead < n) prefetch_read(&table[home(r + kAhead)]);
    std::uint64_t s = home(r);
    while (table[s].first != kEmpty &&
           (table[s].high != high[r] || low[table[s].first] != low[r])) {
      s = (s + 1) & mask;
    }
    if (table[s].first == kEmpty) table[s] = {high[r], r};
    const std::uint64_t g = table[s].first;
    group[r] = g;
    if (reference[r] != 0) {
      in_reference[g] = 1;
    } else if (earliest[g] == kEmpty || earlier(r, earliest[g])) {
      earliest[g] = r;
    }
  }
  std::vector<Slot>().swap(table);
  Decided out;
  for (std::size_t r = 0; r < n; ++r) {
    interrupt::checkpoint_every(r);
    const std::uint64_t g = group[r];
    if (reference[r] != 0) continue;
    if (in_reference[g] != 0) {
      out.marked.push_back(r);
      out.kept.push_back(kNoCopy);
    } else if (earliest[g] != r) {
      out.marked.push_back(r);
      out.kept.push_back(earliest[g]);
    }
  }
  return out;
}

}  // namespace quarnel::core::dedup
