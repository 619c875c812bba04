#pragma once
// SA-IS: the LMS sort of a byte text by packed keys.
//
// Two LMS substrings compare as their sequences of (symbol, type) pairs, an L-type below an
// S-type of the same symbol; and so do suffixes, up to their first differing pair. A key packs
// the pairs of the next few positions, densely coded by the symbols that occur, with 0 for the
// end of the text. Sorting the LMS positions by key (first by their two leading bytes into
// 65536 buckets) orders them as their suffixes wherever keys differ. Equal keys whose LMS
// substrings end inside the positions read so far are equal substrings and share a name;
// otherwise the next key along decides. On random bytes keys rarely tie, every name is unique,
// and neither the induced LMS sort nor the recursion is needed.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "suffix_array/sais_impl.hpp"

namespace quarnel::core::suffix_array::sais {

// Codes each symbol by its rank among those present; returns false when keys would hold too
// few positions to be worth it.
template <class Sym, class Idx>
bool Level<Sym, Idx>::load_key_codes() {
  unsigned present = 0;
  for (Idx c = 0; c < k_; ++c) {
    rank_[c] = static_cast<std::uint8_t>(present);
    present += counts_[c] != 0;
  }
  code_bits_ = static_cast<unsigned>(std::bit_width(2u * present));
  key_positions_ = 64 / code_bits_;
  return key_positions_ >= 4;
}

// Types of positions q .. q + 63 as bits.
template <class Sym, class Idx>
std::uint64_t Level<Sym, Idx>::type_window(std::size_t q) const {
  const std::size_t w = q >> 6, b = q & 63;
  const std::uint64_t low = stype_[w] >> b;
  return b == 0 ? low : low | (stype_[w + 1] << (64 - b));
}

template <class Sym, class Idx>
std::uint64_t Level<Sym, Idx>::key_at(std::size_t q) const {
  if (q >= n_) return 0;
  const std::uint64_t types = type_window(q);
  const std::size_t end = std::min<std::size_t>(key_positions_, n_ - q);
  std::uint64_t key = 0;
  for (std::size_t d = 0; d < end; ++d) {
    key = (key << code_bits_) | (1u + 2u * rank_[t_[q + d]] + ((types >> d) & 1u));
  }
  return key << (code_bits_ * (key_positions_ - end));
}

// Distance from the LMS position p to the next one, or n when none follows.
template <class Sym, class Idx>
std::size_t Level<Sym, Idx>::next_lms_distance(std::size_t p) const {
  std::size_t w = p >> 6;
  std::uint64_t x = lms_[w] & ~((std::uint64_t{2} << (p & 63)) - 1);
  while (x == 0) {
    if (++w >= lms_.size()) return n_;
    x = lms_[w];
  }
  return w * 64 + static_cast<std::size_t>(std::countr_zero(x)) - p;
}

// Sorts items[0, count), whose first `offset` positions agree and whose keys at `offset` are
// loaded, and names them in order into out[0, count). A group that stays tied moves on to the
// next key in place; one that splits settles each tied part on its own.
template <class Sym, class Idx>
void Level<Sym, Idx>::settle(Keyed* items, std::size_t count, std::size_t offset, Idx* out) {
  if (count == 1) return name_group(items, count, out);
  while (true) {
    std::sort(items, items + count, [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
    const std::size_t reach = offset + key_positions_;
    if (items[0].key == items[count - 1].key) {
      if (!refines(items[0].pos, count, reach)) return name_group(items, count, out);
      offset = reach;
      load_keys(items, count, offset);
      continue;
    }
    for (std::size_t i = 0; i < count;) {
      std::size_t j = i + 1;
      while (j < count && items[j].key == items[i].key) ++j;
      if (j - i > 1 && refines(items[i].pos, j - i, reach)) {
        load_keys(items + i, j - i, reach);
        settle(items + i, j - i, reach, out + i);
      } else {
        name_group(items + i, j - i, out + i);
      }
      i = j;
    }
    return;
  }
}

template <class Sym, class Idx>
void Level<Sym, Idx>::load_keys(Keyed* items, std::size_t count, std::size_t offset) const {
  for (std::size_t i = 0; i < count; ++i) {
    if (i + 16 < count) {
      const std::size_t ahead = std::min<std::size_t>(items[i + 16].pos + offset, n_ - 1);
      prefetch_read(t_ + ahead);
      prefetch_read(stype_.data() + (ahead >> 6));
    }
    items[i].key = key_at(items[i].pos + offset);
  }
}

// Whether `count` tied LMS positions led by p, agreeing up to `reach`, read on. They must if
// their substrings go on. Equal substrings may share a name, but one shared name makes the
// whole reduced string recurse: while a budget lasts, they read on past their ends (the keys
// still order them as their suffixes), so that on random text every name stays unique.
template <class Sym, class Idx>
bool Level<Sym, Idx>::refines(std::size_t p, std::size_t count, std::size_t reach) {
  if (next_lms_distance(p) >= reach) return true;
  if (refine_budget_ < count) return false;
  refine_budget_ -= count;
  return true;
}

// Equal LMS substrings: one name, the next.
template <class Sym, class Idx>
void Level<Sym, Idx>::name_group(const Keyed* items, std::size_t count, Idx* out) {
  for (std::size_t r = 0; r < count; ++r) {
    out[r] = items[r].pos;
    sa_[m_ + items[r].pos / 2] = name_count_ + 1;
  }
  ++name_count_;
}

// Bits of entropy of the LMS positions' spread over the two-byte buckets, given their
// running totals.
template <class Sym, class Idx>
double Level<Sym, Idx>::bucket_entropy(const std::vector<Idx>& totals, Idx m) {
  double entropy = 0;
  for (std::size_t b = 1; b < totals.size(); ++b) {
    const Idx count = totals[b] - totals[b - 1];
    if (count == 0) continue;
    const double p = static_cast<double>(count) / static_cast<double>(m);
    entropy -= p * std::log2(p);
  }
  return entropy;
}

// The LMS positions sorted into sa_[0, m) by their substrings, with names (plus one) at
// sa_[m + pos / 2]; false, having changed nothing, where this sort does not apply.
template <class Sym, class Idx>
bool Level<Sym, Idx>::sort_lms_by_keys(Idx m) {
  if constexpr (!kKeySorts) {
    return false;
  } else {
    if (m < 2 || !load_key_codes()) return false;
    std::vector<Idx> starts(65537, 0);
    for_each_lms([&](Idx i) { ++starts[(std::size_t{t_[i]} << 8 | t_[i + 1]) + 1]; });
    std::size_t largest = 0;
    for (std::size_t b = 1; b <= 65536; ++b) {
      largest = std::max<std::size_t>(largest, starts[b]);
      starts[b] += starts[b - 1];
    }
    // The first keys (8 bytes an LMS position) and each bucket's sort take room beside the
    // array. Texts that crowd their LMS positions into few buckets (prose, DNA, repeats) have
    // many equal LMS substrings: their recursion stays, and induction sorts them faster.
    if (std::size_t{m} * 8 > std::size_t{n_} * 3) return false;
    if (largest * sizeof(Keyed) > std::size_t{n_} / 2) return false;
    if (bucket_entropy(starts, m) < kKeySortEntropyBits) return false;
    // The first keys are read in text order, with the text, and scattered with the positions.
    std::vector<std::uint64_t> keys = large_array<std::uint64_t>(m);
    {
      std::vector<Idx> heads(starts.begin(), starts.end() - 1);
      for_each_lms([&](Idx i) {
        const Idx slot = heads[std::size_t{t_[i]} << 8 | t_[i + 1]]++;
        sa_[slot] = i;
        keys[slot] = key_at(i);
      });
    }
    std::fill(sa_ + m, sa_ + n_, Idx{0});
    std::vector<Keyed> items(largest);
    m_ = m;
    name_count_ = 0;
    refine_budget_ = m / 4;
    for (std::size_t b = 0; b < 65536; ++b) {
      const std::size_t begin = starts[b], count = starts[b + 1] - begin;
      if (count == 0) continue;
      for (std::size_t i = 0; i < count; ++i) items[i] = {keys[begin + i], sa_[begin + i]};
      settle(items.data(), count, 0, sa_ + begin);
      if ((b & 4095) == 0) interrupt::checkpoint();
    }
    names_ = name_count_;
    return true;
  }
}

}  // namespace quarnel::core::suffix_array::sais
