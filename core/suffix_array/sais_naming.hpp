#pragma once
// SA-IS: naming a level's LMS substrings once the induced sort has ordered them, by comparing
// each with the one ranked below it; on two lanes, marks first and numbers from the marks.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "suffix_array/sais_impl.hpp"

namespace quarnel::core::suffix_array::sais {

// LMS substring lengths (up to and including the next LMS position) go to sa_[m + pos / 2]:
// LMS positions are at least two apart, so the slots are distinct. The substring that reaches
// the virtual sentinel is unique; it gets length 0, which equals nothing.
template <class Sym, class Idx>
void Level<Sym, Idx>::store_lms_lengths(Idx m) {
  std::fill(sa_ + m, sa_ + n_, Idx{0});
  Idx prev = n_;
  for_each_lms([&](Idx i) {
    if (prev != n_) sa_[m + prev / 2] = i - prev + 1;
    prev = i;
  });
  if (prev != n_) sa_[m + prev / 2] = kMarkBit;
}

template <class Sym, class Idx>
bool Level<Sym, Idx>::same_lms_substring(Idx a, Idx len_a, Idx b, Idx len_b) const {
  if (len_a != len_b || len_a == kMarkBit) return false;
  if constexpr (sizeof(Sym) == 1) {
    // Eight bytes at a time while both stay inside the text; most substrings take one step.
    Idx d = 0;
    for (; d + 8 <= len_a && std::max(a, b) + d + 8 <= n_; d += 8) {
      std::uint64_t x, y;
      std::memcpy(&x, t_ + a + d, 8);
      std::memcpy(&y, t_ + b + d, 8);
      if (x != y) return false;
    }
    for (; d < len_a; ++d) {
      if (t_[a + d] != t_[b + d]) return false;
    }
    return true;
  } else {
    for (Idx d = 0; d < len_a; ++d) {
      if (t_[a + d] != t_[b + d]) return false;
    }
    return true;
  }
}

// Replaces each length by its substring's name plus one; returns the number of names. The
// comparisons (scattered text reads) split over two threads: a first pass marks the ranks
// whose substring differs from the one below, a second numbers them from the marks, each half
// from the count before it.
template <class Sym, class Idx>
Idx Level<Sym, Idx>::name_lms_substrings(Idx m) {
  store_lms_lengths(m);
  if (!threads_.lanes(n_).has_second()) return name_lms_substrings_in_one_pass(m);
  std::vector<std::uint64_t> differs((std::size_t{m} + 63) / 64, 0);
  const Idx mid = (m / 2) & ~Idx{63};  // the halves share no word of marks
  in_halves(m, mid, [&](Idx begin, Idx end) { mark_new_names(m, begin, end, differs.data()); });
  in_halves(m, mid, [&](Idx begin, Idx end) { assign_names(m, begin, end, differs.data()); });
  Idx names = m == 0 ? 0 : 1;
  for (const std::uint64_t word : differs) names += static_cast<Idx>(std::popcount(word));
  return names;
}

// Marks rank r of [begin, end) where its LMS substring differs from that of rank r - 1.
template <class Sym, class Idx>
void Level<Sym, Idx>::mark_new_names(Idx m, Idx begin, Idx end, std::uint64_t* differs) const {
  for (Idx r = std::max<Idx>(begin, 1); r < end; ++r) {
    if (r + kAhead < end) {
      const Idx ahead = sa_[r + kAhead];
      prefetch_read(sa_ + m + ahead / 2);
      prefetch_read(t_ + ahead);
    }
    const Idx prev = sa_[r - 1];
    const Idx pos = sa_[r];
    if (!same_lms_substring(prev, sa_[m + prev / 2], pos, sa_[m + pos / 2])) {
      differs[r / 64] |= std::uint64_t{1} << (r % 64);
    }
  }
}

// Names the ranks [begin, end) (begin a multiple of 64) from the marks.
template <class Sym, class Idx>
void Level<Sym, Idx>::assign_names(Idx m, Idx begin, Idx end, const std::uint64_t* differs) {
  Idx name = 0;
  for (Idx w = 0; w < begin / 64; ++w) name += static_cast<Idx>(std::popcount(differs[w]));
  for (Idx r = begin; r < end; ++r) {
    if (r + kAhead < end) prefetch_read(sa_ + m + sa_[r + kAhead] / 2);
    name += static_cast<Idx>((differs[r / 64] >> (r % 64)) & 1U);
    sa_[m + sa_[r] / 2] = name + 1;
  }
}

template <class Sym, class Idx>
Idx Level<Sym, Idx>::name_lms_substrings_in_one_pass(Idx m) {
  Idx name = 0;
  Idx prev = 0, prev_len = kMarkBit;
  for (Idx r = 0; r < m; ++r) {
    if (r + kAhead < m) {
      const Idx ahead = sa_[r + kAhead];
      prefetch_read(sa_ + m + ahead / 2);
      prefetch_read(t_ + ahead);
    }
    const Idx pos = sa_[r];
    const Idx len = sa_[m + pos / 2];
    if (r > 0 && !same_lms_substring(prev, prev_len, pos, len)) ++name;
    prev = pos;
    prev_len = len;
    sa_[m + pos / 2] = name + 1;
  }
  return m == 0 ? 0 : name + 1;
}

}  // namespace quarnel::core::suffix_array::sais
