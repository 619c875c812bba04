#pragma once
// SA-IS: naming a level's LMS substrings by dictionary.
//
// Prose, DNA and repeats have few distinct LMS substrings (thousands among millions). Looked up
// in a hash table in text order, they are named in one sequential pass that writes the reduced
// string in place, and only the distinct ones are sorted: no induced LMS sort (two scattered
// passes over the whole array) and no naming pass in sorted order. The dictionary gives up as
// soon as it holds more than a sixteenth of the LMS substrings, or 2^20 of them, or half of
// those seen by some power of two from 4096 on.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "suffix_array/sais_impl.hpp"

namespace quarnel::core::suffix_array::sais {

template <class Sym, class Idx>
std::uint64_t Level<Sym, Idx>::key_of(Idx pos, Idx len) const {
  if constexpr (sizeof(Sym) == 1) {
    if (len <= 8 && std::size_t{pos} + 8 <= n_) {
      std::uint64_t word;
      std::memcpy(&word, t_ + pos, 8);
      return len == 8 ? word : word & ((std::uint64_t{1} << (8 * len)) - 1);
    }
  }
  std::uint64_t key = 0;
  if (packs(len)) {
    // Little-endian, as the word load of bytes above.
    for (Idx d = 0; d < len; ++d) {
      key |= std::uint64_t{t_[pos + d]} << (8 * sizeof(Sym) * d);
    }
    return key;
  }
  for (Idx d = 0; d < len; ++d) key = mix(key ^ t_[pos + d]);
  return key;
}

template <class Sym, class Idx>
bool Level<Sym, Idx>::same_symbols(Idx a, Idx b, Idx len) const {
  return std::equal(t_ + a, t_ + a + len, t_ + b);
}

// The id of the LMS substring at pos, entered if new; false once the dictionary is full, or
// where a lookup probes more than kMaxProbes slots: keys crowded on purpose must not make the
// pass quadratic.
template <class Sym, class Idx>
bool Level<Sym, Idx>::look_up(Idx pos, Idx len, std::size_t limit, Idx& id) {
  const std::uint64_t key = key_of(pos, len);
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = mix(key + len) & mask;
  for (std::size_t probe = 0;; ++probe, i = (i + 1) & mask) {
    if (probe == kMaxProbes) return false;
    Slot& slot = slots_[i];
    if (slot.len == 0) {
      if (distinct_.size() >= limit) return false;
      id = static_cast<Idx>(distinct_.size());
      slot = {key, len, id};
      distinct_.push_back({pos, len});
      return distinct_.size() * 2 <= slots_.size() || grow_slots();
    }
    if (slot.len == len && slot.key == key &&
        (packs(len) || same_symbols(distinct_[slot.id].pos, pos, len))) {
      id = slot.id;
      return true;
    }
  }
}

// Doubles the table; false where an entry would sit more than kMaxProbes slots on.
template <class Sym, class Idx>
bool Level<Sym, Idx>::grow_slots() {
  std::vector<Slot> old(slots_.size() * 2, Slot{0, 0, 0});
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.len == 0) continue;
    std::size_t i = mix(slot.key + slot.len) & mask;
    for (std::size_t probe = 0; slots_[i].len != 0; ++probe, i = (i + 1) & mask) {
      if (probe == kMaxProbes) return false;
    }
    slots_[i] = slot;
  }
  return true;
}

// The order of LMS substrings, (symbol, type) pairs compared in turn with an L-type below an
// S-type of the same symbol, needs no types where symbols differ. Where one's symbols are a
// prefix of the other's, the shorter ends in an S-type that the longer has as an L-type (else
// the longer would have an LMS position there), so it is the greater; but the last substring
// is followed by the virtual sentinel, below everything.
template <class Sym, class Idx>
bool Level<Sym, Idx>::distinct_less(const Distinct& a, const Distinct& b, Idx last) const {
  const Idx common = std::min(a.len, b.len);
  for (Idx d = 0; d < common; ++d) {
    if (t_[a.pos + d] != t_[b.pos + d]) return t_[a.pos + d] < t_[b.pos + d];
  }
  if (a.pos == last) return b.pos != last;
  if (b.pos == last) return false;
  return a.len > b.len;
}

// Names the LMS substrings by dictionary and leaves the reduced string in the tail of the
// array, names_ set; false, having written only to that tail, where the dictionary gave up.
template <class Sym, class Idx>
bool Level<Sym, Idx>::name_lms_by_dictionary(Idx m) {
  const std::size_t limit = std::min<std::size_t>(m / kDictionaryShare, kDictionaryMax);
  if (limit == 0) return false;
  slots_.assign(1024, Slot{0, 0, 0});
  distinct_.clear();
  Idx* reduced = sa_ + (n_ - m);
  Idx j = 0;
  Idx prev = n_;
  for (std::size_t w = 0; w < lms_.size(); ++w) {
    if ((w & 0xfffff) == 0) interrupt::checkpoint();
    for (std::uint64_t x = lms_[w]; x != 0; x &= x - 1) {
      const Idx i = static_cast<Idx>(w * 64 + static_cast<std::size_t>(std::countr_zero(x)));
      // Distinct substrings grow ever more slowly along a text: where every other one is new
      // early on, far more than the limit will be.
      const bool hopeless = j >= 4096 && (j & (j - 1)) == 0 && distinct_.size() * 2 > j;
      if (hopeless || (prev != n_ && !look_up(prev, i - prev + 1, limit, reduced[j++]))) {
        release_dictionary();
        return false;
      }
      prev = i;
    }
  }
  // The last LMS substring reaches the virtual sentinel: unique.
  const Idx last = prev;
  reduced[j] = static_cast<Idx>(distinct_.size());
  distinct_.push_back({last, n_ - last});
  std::vector<Idx> order(distinct_.size());
  for (Idx id = 0; id < order.size(); ++id) order[id] = id;
  std::sort(order.begin(), order.end(),
            [&](Idx a, Idx b) { return distinct_less(distinct_[a], distinct_[b], last); });
  std::vector<Idx> name(order.size());
  for (Idx r = 0; r < order.size(); ++r) name[order[r]] = r;
  for (Idx r = 0; r < m; ++r) reduced[r] = name[reduced[r]];
  names_ = static_cast<Idx>(order.size());
  release_dictionary();
  return true;
}

template <class Sym, class Idx>
void Level<Sym, Idx>::release_dictionary() {
  std::vector<Slot>().swap(slots_);
  std::vector<Distinct>().swap(distinct_);
}

}  // namespace quarnel::core::suffix_array::sais
